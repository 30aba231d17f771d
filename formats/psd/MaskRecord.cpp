#include "formats/psd/MaskRecord.h"

#include <algorithm>
#include <cstring>

#include "formats/psd/PsdLayout.h"

namespace psd {
namespace {

constexpr uint32_t kMaskId = unsignedChannelId(kChannelMask);
constexpr uint32_t kRealMaskId = unsignedChannelId(kChannelRealMask);

MaskRectangle maskRectangle(const uint8_t* rect, uint8_t defaultColour, uint8_t flags) {
    MaskRectangle mask;
    mask.top = load32s(rect);
    mask.left = load32s(rect + 4);
    mask.bottom = load32s(rect + 8);
    mask.right = load32s(rect + 12);
    mask.defaultColour = defaultColour;
    mask.flags = flags;
    return mask;
}

bool hasChannel(const PSDLayerInfo& info, uint32_t id) {
    return std::find(info.channelIds.begin(), info.channelIds.end(), static_cast<int32_t>(id)) != info.channelIds.end();
}

// The mask parameters, after the mask as last applied when the record is long enough to hold it.
// Parameters cut short by the record are left at their defaults.
void readMaskParameters(PSDLayerInfo& info, const std::vector<uint8_t>& record) {
    if (record.size() <= MaskData::kFlagsAt || !(record[MaskData::kFlagsAt] & kMaskHasParameters)) return;
    size_t at = record.size() >= MaskData::kSizeWithReal ? MaskData::kSizeWithReal : MaskData::kSize;
    if (at >= record.size()) return;
    const uint8_t which = record[at++];
    auto density = [&](uint8_t bit, MaskShaping& shaping) {
        if (!(which & bit)) return true;
        if (at + 1 > record.size()) return false;
        shaping.density = record[at++];
        return true;
    };
    auto feather = [&](uint8_t bit, MaskShaping& shaping) {
        if (!(which & bit)) return true;
        if (at + 8 > record.size()) return false;
        const uint64_t bits = loadBe(&record[at], 8);
        double radius = 0;
        std::memcpy(&radius, &bits, sizeof radius);
        shaping.feather = radius;
        at += 8;
        return true;
    };
    density(kParamUserDensity, info.userShaping) && feather(kParamUserFeather, info.userShaping) &&
        density(kParamVectorDensity, info.vectorShaping) && feather(kParamVectorFeather, info.vectorShaping);
}

}  // namespace

void chooseMask(PSDLayerInfo& info, const std::vector<uint8_t>& record) {
    if (record.size() >= MaskData::kSizeWithReal && hasChannel(info, kRealMaskId)) {
        info.mask = maskRectangle(&record[MaskData::kRealRectAt], record[MaskData::kRealDefaultColourAt],
                                  record[MaskData::kRealFlagsAt]);
        info.maskChannel = kRealMaskId;
    } else if (record.size() >= MaskData::kSize && hasChannel(info, kMaskId)) {
        info.mask = maskRectangle(&record[MaskData::kRectAt], record[MaskData::kDefaultColourAt],
                                  record[MaskData::kFlagsAt]);
        info.maskChannel = kMaskId;
    }
    if (info.mask.flags & kMaskDisabled) info.maskChannel = 0;
    readMaskParameters(info, record);
}

}  // namespace psd
