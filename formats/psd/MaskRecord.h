#pragma once
// A layer record's mask data: which user mask shapes the layer, its rectangle and default colour,
// and the density and feather of its user and vector masks.
#include <cstdint>
#include <vector>

#include "formats/psd/PsdLayerInfo.h"

namespace psd {

// Which user mask shapes the layer: the one last applied when the record has it and its channel, else
// the plain one; none when switched off or without a channel. Then the mask parameters, after the
// mask as last applied when the record is long enough to hold it; those cut short by the record are
// left at their defaults. record is the mask data as the file holds it.
void chooseMask(PSDLayerInfo& info, const std::vector<uint8_t>& record);

}  // namespace psd
