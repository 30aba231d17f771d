#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "formats/psd/PsdLayout.h"

// One layer record as read in the first pass over the records; the second pass turns it into a Layer.
struct PSDLayerInfo {
    explicit PSDLayerInfo(uint16_t channels);

    std::string name;                     // code page 932 bytes, empty when the record's name is empty
    std::vector<int32_t> channelLengths;  // declared data length of each channel, compression code included
    std::vector<int32_t> channelIds;      // read as unsigned 16-bit: transparency is 65535, a mask 65534
    uint8_t hasTransparency = 0;          // 1 when some channel is the transparency channel
    psd::LayerRect rect{};                // top, left, bottom, right, channel count, in file byte order
    uint16_t channelCount = 0;
    psd::LayerBlend blend{};              // signature through extra data length, in file byte order

    int32_t top() const { return psd::load32s(rect.bytes + psd::LayerRect::kTopAt); }
    int32_t left() const { return psd::load32s(rect.bytes + psd::LayerRect::kLeftAt); }
    int32_t bottom() const { return psd::load32s(rect.bytes + psd::LayerRect::kBottomAt); }
    int32_t right() const { return psd::load32s(rect.bytes + psd::LayerRect::kRightAt); }
    const uint8_t* blendKey() const { return blend.bytes + psd::LayerBlend::kKeyAt; }
    uint8_t opacity() const { return blend.bytes[psd::LayerBlend::kOpacityAt]; }
    uint8_t clipping() const { return blend.bytes[psd::LayerBlend::kClippingAt]; }
    uint8_t flags() const { return blend.bytes[psd::LayerBlend::kFlagsAt]; }
    uint32_t extraLength() const { return psd::load32(blend.bytes + psd::LayerBlend::kExtraLengthAt); }
};

// The records of one read, bottom layer first. Owns them: clearing or destroying frees every record.
class PSDLayerInfoList : public std::vector<PSDLayerInfo*> {
public:
    PSDLayerInfoList() = default;
    virtual ~PSDLayerInfoList();
    PSDLayerInfoList(const PSDLayerInfoList&) = delete;
    PSDLayerInfoList& operator=(const PSDLayerInfoList&) = delete;

    void clear();
};
