#pragma once
// What a PSD's layers carry that their WLX layers cannot: counted record by record while the layer
// records are read, and told in one line once the read has succeeded.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/psd/PsdLayerInfo.h"

class Uncarried {
public:
    // Whether the reader should hand over the data of an additional information block of this key.
    static bool wants(const uint8_t* key);
    // One additional information block of the record being read.
    void block(const uint8_t* key, const uint8_t* data, size_t size);
    // The record itself, once its blocks are given, and its blending ranges. Ends the record.
    void record(const PSDLayerInfo& info, const uint8_t* ranges, size_t rangesSize);
    // "note: not carried over: 3 layer effects, 1 group blend mode", or empty when nothing is lost.
    std::string note() const;

private:
    // In the order the note names them.
    enum Kind { Effects, Adjustments, Fills, GroupBlends, LayerBlends, Artboards, Ranges, Knockouts, SmartFilters, kKinds };
    uint64_t counts_[kKinds] = {};
    // Of the record being read. Effects as each block counts them: a later block, where there,
    // describes them more fully.
    uint64_t effects_[3] = {};  // lrFX, lfx2, lmfx
    int effectsFrom_ = -1;      // the fullest block seen
    bool adjustment_ = false;
    bool fill_ = false;
    bool knockout_ = false;
    bool smartFilters_ = false;
    bool artboard_ = false;  // with a background the white paper does not show
    uint8_t groupKey_[4] = {};  // the blend key of the section block, which is the group's own
    bool hasGroupKey_ = false;
};
