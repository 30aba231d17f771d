#pragma once
// Byte layout of WLX files: every integer is little-endian and there is no padding anywhere.
// Reader and writer take offsets, constants and value conversions from here only.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/psd/Cp932.h"
#include "image/BlendMode.h"
#include "image/ByteOrder.h"

namespace wlx {

using byteorder::le::load16;
using byteorder::le::load32;
using byteorder::le::store16;
using byteorder::le::store32;

constexpr char kMagic[7] = {'D', 'O', 'V', 'I', 'Z', 'O', 'Z'};
constexpr uint32_t kVersion = 10;
// Length of a layer record's fields ahead of its data size: name, blend code, opacity, flags.
constexpr uint32_t kLayerHeaderSize = 35;
// Width, height and layer count are 16-bit fields.
constexpr uint32_t kMaxDimension = 0xFFFF;
constexpr uint32_t kMaxLayerCount = 0xFFFF;
constexpr char kNotStorable[] = "a WLX file holds at most 65535 layers of at most 65535 x 65535 pixels";
// A deflate stream expands at most 1032:1 (a 258-byte match in two one-bit codes), plus a little
// for the container; a block shorter than this bound cannot hold the pixels it must inflate to.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 1024;

// File header, 22 bytes.
struct FileHeader {
    static constexpr size_t kSize = 22;
    static constexpr size_t kMagicAt = 0, kTerminatorAt = 7, kVersionAt = 8, kWidthAt = 12, kHeightAt = 14,
                            kLayerCountAt = 16;  // 18 and 20: reserved 16-bit zeros
};

// Extension block header, 8 bytes, followed by extraSize bytes of opaque data.
struct ExtensionHeader {
    static constexpr size_t kSize = 8;
    static constexpr size_t kExtraSizeAt = 4;  // 0 and 2: reserved 16-bit zeros
};

// The 32-bit layer header size that follows the extension data.
constexpr size_t kLayerHeaderSizeFieldSize = 4;

// Layer record, 39 bytes, followed by dataSize bytes of zlib stream.
struct LayerRecord {
    static constexpr size_t kSize = 39;
    static constexpr size_t kNameAt = 0, kNameSize = 32, kBlendCodeAt = 32, kOpacityAt = 33, kFlagsAt = 34,
                            kDataSizeAt = 35;
    // Byte 31 stays 0 so that every written name is terminated.
    static constexpr size_t kMaxWrittenNameLength = 31;
    // How much of a name is stored: all of it when it fits, else as much as ends between two CP932
    // characters, so that no name ends in half a character.
    static size_t storedNameLength(const std::string& name) {
        if (name.size() <= kMaxWrittenNameLength) return name.size();
        return cp932::characterBoundary(name, kMaxWrittenNameLength);
    }
};
static_assert(LayerRecord::kDataSizeAt == kLayerHeaderSize);

constexpr uint8_t kFlagVisible = 0x01;

// Blend code of a record -> blend mode. Code 3 and codes above 14 read as normal.
inline BlendMode blendModeFromCode(uint8_t code) {
    static constexpr BlendMode kModes[15] = {
        blend::Normal,      blend::Multiply,   blend::LinearDodge, blend::Normal,      blend::Screen,
        blend::Overlay,     blend::SoftLight,  blend::HardLight,   blend::ColorDodge,  blend::ColorBurn,
        blend::LinearBurn,  blend::VividLight, blend::LinearLight, blend::PinLight,    blend::Difference,
    };
    return code < 15 ? kModes[code] : blend::Normal;
}

// Blend mode -> blend code written. Modes the format cannot carry are written as normal (0).
inline uint8_t blendCodeFromMode(BlendMode mode) {
    switch (mode) {
        case blend::Multiply:
        case blend::MultiplyAlt: return 1;
        case blend::LinearDodge: return 2;
        case blend::Screen: return 4;
        case blend::Overlay: return 5;
        case blend::SoftLight: return 6;
        case blend::HardLight: return 7;
        case blend::ColorDodge: return 8;
        case blend::ColorBurn: return 9;
        case blend::LinearBurn: return 10;
        case blend::VividLight: return 11;
        case blend::LinearLight: return 12;
        case blend::PinLight: return 13;
        case blend::Difference: return 14;
        default: return 0;
    }
}

// Opacity byte (128 = opaque) -> percent, rounded half up; bytes above 128 give more than 100.
inline int32_t opacityPercentFromByte(uint8_t b) { return (100 * b + 64) / 128; }

// Percent -> opacity byte: percent x 1.28 plus one half, truncated toward zero, low 8 bits.
// Integer division truncates toward zero like the double-precision form, for any int32 value.
inline uint8_t opacityByteFromPercent(int32_t percent) {
    return static_cast<uint8_t>((int64_t{128} * percent + 50) / 100);
}

}  // namespace wlx
