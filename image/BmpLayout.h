#pragma once
// Byte layout of Windows bitmaps as the canvas saves and loads them: the 14-byte file header, the
// 40-byte info header, colour table entries and bit-field masks. Every integer is little-endian.
#include <cstddef>
#include <cstdint>

#include "image/ByteOrder.h"

namespace bmp {

using byteorder::le::load16;
using byteorder::le::load32;
using byteorder::le::store16;
using byteorder::le::store32;

constexpr uint32_t kCompressionRgb = 0;        // BI_RGB
constexpr uint32_t kCompressionBitFields = 3;  // BI_BITFIELDS

// File header: "BM", file size, two reserved words, offset of the pixel rows.
struct FileHeader {
    static constexpr size_t kSize = 14;
    static constexpr size_t kMagicAt = 0, kFileSizeAt = 2, kReserved1At = 6, kReserved2At = 8,
                            kOffBitsAt = 10;
};

// BITMAPINFOHEADER, held unpacked.
struct InfoHeader {
    static constexpr size_t kSize = 40;

    uint32_t biSize = 0;
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 0;
    uint16_t biBitCount = 0;
    uint32_t biCompression = 0;
    uint32_t biSizeImage = 0;
    int32_t biXPelsPerMeter = 0;
    int32_t biYPelsPerMeter = 0;
    uint32_t biClrUsed = 0;
    uint32_t biClrImportant = 0;

    // p holds at least kSize bytes.
    static InfoHeader load(const uint8_t* p) {
        InfoHeader h;
        h.biSize = load32(p);
        h.biWidth = static_cast<int32_t>(load32(p + 4));
        h.biHeight = static_cast<int32_t>(load32(p + 8));
        h.biPlanes = load16(p + 12);
        h.biBitCount = load16(p + 14);
        h.biCompression = load32(p + 16);
        h.biSizeImage = load32(p + 20);
        h.biXPelsPerMeter = static_cast<int32_t>(load32(p + 24));
        h.biYPelsPerMeter = static_cast<int32_t>(load32(p + 28));
        h.biClrUsed = load32(p + 32);
        h.biClrImportant = load32(p + 36);
        return h;
    }
    void store(uint8_t* p) const {
        store32(p, biSize);
        store32(p + 4, static_cast<uint32_t>(biWidth));
        store32(p + 8, static_cast<uint32_t>(biHeight));
        store16(p + 12, biPlanes);
        store16(p + 14, biBitCount);
        store32(p + 16, biCompression);
        store32(p + 20, biSizeImage);
        store32(p + 24, static_cast<uint32_t>(biXPelsPerMeter));
        store32(p + 28, static_cast<uint32_t>(biYPelsPerMeter));
        store32(p + 32, biClrUsed);
        store32(p + 36, biClrImportant);
    }
};

// Colour table entry: blue, green, red, reserved.
constexpr size_t kColorEntrySize = 4;
// BI_BITFIELDS masks (red, green, blue) that follow a 40-byte header.
constexpr size_t kMasksSize = 12;

// Bytes of one stored row: bitCount bits per pixel, padded to a multiple of 4 bytes.
inline uint64_t rowBytes(uint64_t width, uint32_t bitCount) { return (width * bitCount + 31) / 32 * 4; }

// Entries of the colour table: biClrUsed, or the full palette of a 1, 4 or 8-bit image when 0.
inline uint64_t colorTableEntries(const InfoHeader& h) {
    if (h.biClrUsed != 0) return h.biClrUsed;
    if (h.biBitCount == 1 || h.biBitCount == 4 || h.biBitCount == 8) return uint64_t{1} << h.biBitCount;
    return 0;
}

}  // namespace bmp
