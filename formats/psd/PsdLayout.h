#pragma once
// Byte layout of the PSD files rivodiv reads and writes (version 1, RGB, 8 bits per channel).
// Every integer is big-endian; fixed-size records are held as byte images in file order.
#include <cstdint>
#include <cstring>

#include "image/BlendMode.h"
#include "image/ByteOrder.h"

namespace psd {

using byteorder::be::load16;
using byteorder::be::load32;
using byteorder::be::store16;
using byteorder::be::store32;
inline int16_t load16s(const uint8_t* p) { return static_cast<int16_t>(load16(p)); }
inline int32_t load32s(const uint8_t* p) { return static_cast<int32_t>(load32(p)); }

constexpr char kSignature[4] = {'8', 'B', 'P', 'S'};
constexpr char kResourceSignature[4] = {'8', 'B', 'I', 'M'};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kDepth = 8;
constexpr uint16_t kModeRgb = 3;
constexpr uint16_t kCompressionRaw = 0;
constexpr uint16_t kCompressionPackBits = 1;
constexpr uint16_t kResourceResolution = 1005;
constexpr uint16_t kResourceAlphaNames = 1006;
constexpr int16_t kChannelTransparency = -1;
constexpr int16_t kChannelMask = -2;
constexpr int16_t kChannelRealMask = -3;  // the user mask as last applied, beside a vector mask

// File header, 26 bytes.
struct FileHeader {
    static constexpr size_t kSize = 26;
    uint8_t bytes[kSize];
    // offsets
    static constexpr size_t kSignatureAt = 0, kVersionAt = 4, kChannelsAt = 12, kHeightAt = 14,
                            kWidthAt = 18, kDepthAt = 22, kModeAt = 24;
};

// Resolution information (resource 1005), 16 bytes.
struct ResolutionInfo {
    static constexpr size_t kSize = 16;
    uint8_t bytes[kSize];
    static constexpr size_t kHResAt = 0, kHResUnitAt = 4, kWidthUnitAt = 6, kVResAt = 8,
                            kVResUnitAt = 12, kHeightUnitAt = 14;
};

// First 18 bytes of a layer record: top, left, bottom, right (signed), channel count.
struct LayerRect {
    static constexpr size_t kSize = 18;
    uint8_t bytes[kSize];
    static constexpr size_t kTopAt = 0, kLeftAt = 4, kBottomAt = 8, kRightAt = 12, kChannelCountAt = 16;
};

// Blend block of a layer record: signature, key, opacity, clipping, flags, filler, extra length.
struct LayerBlend {
    static constexpr size_t kSize = 16;
    uint8_t bytes[kSize];
    static constexpr size_t kSignatureAt = 0, kKeyAt = 4, kOpacityAt = 8, kClippingAt = 9, kFlagsAt = 10,
                            kFillerAt = 11, kExtraLengthAt = 12;
};

// Layer flags.
constexpr uint8_t kFlagTransparencyProtected = 0x01;
constexpr uint8_t kFlagHidden = 0x02;

// Additional layer information keys: the layer name as UTF-16, and the group markers.
constexpr char kKeyUnicodeName[4] = {'l', 'u', 'n', 'i'};
constexpr char kKeySection[4] = {'l', 's', 'c', 't'};
constexpr char kKeySectionNested[4] = {'l', 's', 'd', 'k'};
constexpr char kSignatureLong[4] = {'8', 'B', '6', '4'};

// Size of one channel entry of a layer record: 2-byte ID, 4-byte data length.
constexpr size_t kChannelEntrySize = 6;

// The 4-byte PSD key written for a blend mode ("norm" for anything outside 2..22).
const char* blendKeyFor(BlendMode mode);
// The blend mode a key stands for when read: the lower mode where two share a key, exclusion for
// "smud", normal for "norm" and every unknown key.
BlendMode blendModeForKey(const uint8_t key[4]);

}  // namespace psd

// ---- What the writer adds ----
namespace psd {

// A resource block's head: signature, ID, the empty name (2 bytes), data size.
constexpr size_t kResourceHeadSize = 12;
// Display units written in the resolution information.
constexpr uint16_t kUnitPixelsPerInch = 1;
constexpr uint16_t kUnitCentimetres = 2;
// Row byte counts are 16-bit: the longest packed row a file can describe.
constexpr int32_t kMaxPackedRow = 65535;
// Every written layer carries transparency, red, green and blue.
constexpr size_t kLayerChannelCount = 4;
// A name longer than this is cut when written.
constexpr size_t kMaxNameLength = 255;

// The four channels of every written layer, in record order, with the pixel byte each comes from
// (pixels are blue, green, red, alpha).
struct LayerChannel {
    int16_t id;
    int byteIndex;
};
constexpr LayerChannel kLayerChannels[kLayerChannelCount] = {
    {kChannelTransparency, 3}, {0, 2}, {1, 1}, {2, 0}};

}  // namespace psd
