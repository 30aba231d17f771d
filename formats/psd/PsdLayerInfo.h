#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "formats/psd/PsdLayout.h"

// One rectangle of a record's layer mask data, with the value that holds outside it.
struct MaskRectangle {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    uint8_t defaultColour = 0;
    uint8_t flags = 0;
};

// Density and feather of a mask, from the record's mask parameters: density 255 and feather 0 leave
// the mask as it is.
struct MaskShaping {
    uint8_t density = 255;
    double feather = 0;  // radius in pixels
};

// Section type of a group record (lsct/lsdk); anything else is an ordinary layer.
enum class Section : uint32_t { Layer = 0, OpenFolder = 1, ClosedFolder = 2, Divider = 3 };

// One layer record as read in the first pass over the records; the second pass turns it into a Layer.
struct PSDLayerInfo {
    explicit PSDLayerInfo(uint16_t channels);

    std::string name;                     // code page 932 bytes, empty when the record's name is empty
    std::vector<int64_t> channelLengths;  // declared data length of each channel, compression code included
    std::vector<int32_t> channelIds;      // read as unsigned 16-bit: transparency is 65535, a mask 65534
    uint8_t hasTransparency = 0;          // 1 when some channel is the transparency channel
    psd::LayerRect rect{};                // top, left, bottom, right, channel count, in file byte order
    uint16_t channelCount = 0;
    psd::LayerBlend blend{};              // signature through extra data length, in file byte order
    Section section = Section::Layer;     // group records carry no pixels of their own
    int32_t maskChannel = 0;              // the user mask applied to alpha (65534 or 65533), or 0 for none
    MaskRectangle mask;                   // where that mask lies and what holds outside it
    bool hiddenByGroup = false;           // some enclosing group is hidden
    std::vector<uint8_t> groupOpacities;  // of the enclosing groups, times their fill opacity, innermost first
    uint8_t fillOpacity = 255;            // iOpa: the opacity of the pixels alone, beside the layer's
    bool blendsClipped = true;            // clbl: layers clipped to this one take its blend mode
    std::vector<uint8_t> vectorMask;      // data of the vmsk or vsms block, empty without one
    MaskShaping userShaping, vectorShaping;
    bool fillLayer = false;               // a shape's fill: its pixels are already its vector mask's
    bool solidFill = false;               // a fill of one colour (SoCo), which covers the whole canvas
    int64_t pairedWith = -1;              // a group's divider and folder record: the index of the other

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
