#pragma once
// Byte layout of the PSD files rivodiv reads and writes (RGB, 8 bits per channel): version 1 is
// read and written, version 2 (the large-document PSB, with wider length fields) is read.
// Every integer is big-endian; fixed-size records are held as byte images in file order. The reader
// and the writer both take their constants and record shapes from here.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/BlendMode.h"
#include "image/ByteOrder.h"

namespace psd {

// a * b, or UINT64_MAX when it does not fit in 64 bits (never fits in a file or in memory either).
constexpr uint64_t product(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }

using byteorder::be::load16;
using byteorder::be::load32;
using byteorder::be::store16;
using byteorder::be::store32;
inline int32_t load32s(const uint8_t* p) { return static_cast<int32_t>(load32(p)); }

constexpr char kSignature[4] = {'8', 'B', 'P', 'S'};
constexpr char kResourceSignature[4] = {'8', 'B', 'I', 'M'};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kVersionLarge = 2;
constexpr uint16_t kDepth = 8;
constexpr uint16_t kModeRgb = 3;
constexpr uint16_t kCompressionRaw = 0;
constexpr uint16_t kCompressionPackBits = 1;
constexpr uint16_t kCompressionZip = 2;
constexpr uint16_t kCompressionZipPredicted = 3;
constexpr uint16_t kResourceResolution = 1005;
constexpr uint16_t kResourceAlphaNames = 1006;

// Channels: the document's colour channels come first (red, green, blue), then its alpha channels;
// the channel count is 16-bit.
constexpr uint16_t kColourChannels = 3;
constexpr uint32_t kMaxChannels = 65535;
// The layer count is signed: a negative count means the merged image's first alpha is transparency.
constexpr uint32_t kMaxLayerCount = 32767;

// Channel IDs of a layer record, signed in the file's own terms; read as unsigned 16-bit they are
// 65535, 65534 and 65533.
constexpr int16_t kChannelTransparency = -1;
constexpr int16_t kChannelMask = -2;
constexpr int16_t kChannelRealMask = -3;  // the user mask as last applied, beside a vector mask
constexpr uint16_t unsignedChannelId(int16_t id) { return static_cast<uint16_t>(id); }

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

// Display units written in the resolution information.
constexpr uint16_t kUnitPixelsPerInch = 1;
constexpr uint16_t kUnitCentimetres = 2;

// Pascal strings: a length byte, that many bytes, then zero bytes until the whole field is a
// multiple of its padding: 2 for a resource block's name, 4 for a layer name, 1 (none) for the
// alpha channel names.
constexpr size_t kResourceNamePadding = 2;
constexpr size_t kLayerNamePadding = 4;
constexpr size_t kAlphaNamePadding = 1;
// A name longer than this is cut when written.
constexpr size_t kMaxNameLength = 255;
// Bytes of a Pascal string field whose length byte is `length`.
constexpr uint64_t pascalFieldSize(uint64_t length, size_t padding) {
    return (1 + length + padding - 1) / padding * padding;
}

// First 18 bytes of a layer record: top, left, bottom, right (signed), channel count.
struct LayerRect {
    static constexpr size_t kSize = 18;
    uint8_t bytes[kSize];
    static constexpr size_t kTopAt = 0, kLeftAt = 4, kBottomAt = 8, kRightAt = 12, kChannelCountAt = 16;
};

// Size of one channel entry of a layer record: 2-byte ID, 4-byte data length.
constexpr size_t kChannelEntrySize = 6;

// The length fields whose width depends on the version: a large document (version 2) has 8-byte
// lengths where a PSD has 4, and 4-byte PackBits row counts where a PSD has 2.
struct FieldWidths {
    size_t sectionLength;  // the layer and mask section, and its layer info
    size_t channelLength;  // a channel's data length in a layer record
    size_t rowCount;       // a packed row's byte count
    size_t channelEntry() const { return 2 + channelLength; }
};
constexpr FieldWidths kWidthsPsd{4, 4, 2};
constexpr FieldWidths kWidthsLarge{8, 8, 4};
constexpr FieldWidths fieldWidths(uint16_t version) { return version == kVersionLarge ? kWidthsLarge : kWidthsPsd; }

// A big-endian unsigned integer of 1 to 8 bytes.
inline uint64_t loadBe(const uint8_t* p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

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

// The extra data opens with two length-prefixed blocks: the layer mask data and the blending ranges.
constexpr size_t kMaskAndRangesLengthsSize = 8;

// Layer mask data: one rectangle (top, left, bottom, right) with its default colour and flags, then
// (in longer records) the flags, default colour and rectangle of the mask as last applied.
struct MaskData {
    static constexpr size_t kSize = 18;            // the plain mask alone
    static constexpr size_t kSizeWithReal = 36;    // with the mask as last applied
    static constexpr size_t kRectAt = 0, kDefaultColourAt = 16, kFlagsAt = 17;
    static constexpr size_t kRealFlagsAt = 18, kRealDefaultColourAt = 19, kRealRectAt = 20;
};
// Mask flag: it is switched off and shapes nothing.
constexpr uint8_t kMaskDisabled = 0x02;
// Mask flag: the user mask was rendered from other data (the vector mask).
constexpr uint8_t kMaskFromRendering = 0x08;
// Mask flag: a parameters byte follows the rectangles (after the mask as last applied, when the
// record has it), then the parameters it names, in this order: user mask density (1 byte) and
// feather (8-byte double), vector mask density and feather.
constexpr uint8_t kMaskHasParameters = 0x10;
constexpr uint8_t kParamUserDensity = 0x01, kParamUserFeather = 0x02, kParamVectorDensity = 0x04,
                  kParamVectorFeather = 0x08;
constexpr size_t kMaskDataRead = MaskData::kSizeWithReal + 1 + 2 * (1 + 8);  // the most the reader uses

// Additional layer information: signature, key, data length, then the data. In a large document
// the keys below have an 8-byte length, the others 4 bytes.
struct InfoBlockHead {
    static constexpr size_t kSize = 12;
    uint8_t bytes[kSize];
    static constexpr size_t kSignatureAt = 0, kKeyAt = 4, kLengthAt = 8;
};
constexpr char kKeysWithLongLength[][4] = {{'L', 'M', 's', 'k'}, {'L', 'r', '1', '6'}, {'L', 'r', '3', '2'},
                                           {'L', 'a', 'y', 'r'}, {'M', 't', '1', '6'}, {'M', 't', '3', '2'},
                                           {'M', 't', 'r', 'n'}, {'A', 'l', 'p', 'h'}, {'F', 'M', 's', 'k'},
                                           {'l', 'n', 'k', '2'}, {'F', 'E', 'i', 'd'}, {'F', 'X', 'i', 'd'},
                                           {'P', 'x', 'S', 'D'}, {'c', 'i', 'n', 'f'}, {'l', 'n', 'k', 'E'},
                                           {'p', 't', 'h', 's'}};
// Bytes of the length of a block with this key in a document of this version.
inline size_t infoBlockLengthSize(uint16_t version, const uint8_t key[4]) {
    if (version != kVersionLarge) return 4;
    for (const char (&k)[4] : kKeysWithLongLength) {
        if (std::memcmp(key, k, 4) == 0) return 8;
    }
    return 4;
}
// Keys: the layer name as UTF-16, and the group markers.
constexpr char kKeyUnicodeName[4] = {'l', 'u', 'n', 'i'};
constexpr char kKeySection[4] = {'l', 's', 'c', 't'};
constexpr char kKeySectionNested[4] = {'l', 's', 'd', 'k'};
constexpr char kSignatureLong[4] = {'8', 'B', '6', '4'};
// Keys: fill opacity (1 byte) and whether clipped layers blend as a group with their base (1 byte).
constexpr char kKeyFillOpacity[4] = {'i', 'O', 'p', 'a'};
constexpr char kKeyBlendClipped[4] = {'c', 'l', 'b', 'l'};

// Row byte counts are 16-bit: the longest packed row a PSD can describe (and one rivodiv writes).
constexpr int32_t kMaxPackedRow = 65535;

// The channels rivodiv carries, with the byte of a blue-green-red-alpha pixel each fills; every
// written layer has all four, in this order.
struct LayerChannel {
    int16_t id;
    int byteIndex;
};
constexpr size_t kLayerChannelCount = 4;
constexpr LayerChannel kLayerChannels[kLayerChannelCount] = {
    {kChannelTransparency, 3}, {0, 2}, {1, 1}, {2, 0}};

// Pixel byte a channel ID (read as unsigned 16-bit) fills, or -1 for channels not carried. The
// merged image's colour channels are 0, 1 and 2 as well.
constexpr int pixelByteForChannel(uint32_t id) {
    for (const LayerChannel& channel : kLayerChannels) {
        if (id == unsignedChannelId(channel.id)) return channel.byteIndex;
    }
    return -1;
}

// The 4-byte PSD key written for a blend mode ("norm" for anything outside 2..22).
const char* blendKeyFor(BlendMode mode);
// The blend mode a key stands for when read: the lower mode where two share a key, exclusion for
// "smud", normal for "norm" and every unknown key.
BlendMode blendModeForKey(const uint8_t key[4]);

}  // namespace psd
