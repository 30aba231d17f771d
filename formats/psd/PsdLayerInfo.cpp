#include "formats/psd/PsdLayerInfo.h"

PSDLayerInfo::PSDLayerInfo(uint16_t channels)
    : channelLengths(channels, 0), channelIds(channels, 0), channelCount(channels) {}

PSDLayerInfoList::~PSDLayerInfoList() { clear(); }

void PSDLayerInfoList::clear() {
    for (PSDLayerInfo* info : *this) delete info;
    std::vector<PSDLayerInfo*>::clear();
    shrink_to_fit();
}
