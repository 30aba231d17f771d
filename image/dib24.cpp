#include "image/dib24.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "image/ByteInput.h"
#include "image/Layer.h"
#include "image/Platform.h"
#include "image/Conversion.h"

namespace {

// Index of the lowest set bit; 0 for a zero mask.
int maskShift(uint32_t mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while ((mask & 1u) == 0) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

bool isRgbPaletteOr24(const bmp::InfoHeader& h) {
    return h.biCompression == bmp::kCompressionRgb &&
           (h.biBitCount == 1 || h.biBitCount == 4 || h.biBitCount == 8 || h.biBitCount == 24);
}

}  // namespace

dib24::~dib24() { destroy(); }

// Reads the info header at the start of an info block and locates what follows it.
bool dib24::parseInfo(const uint8_t* info, size_t infoSize, Source& out) {
    if (info == nullptr || infoSize < bmp::InfoHeader::kSize) return false;
    out.header = bmp::InfoHeader::load(info);
    // Smaller headers have another layout; larger ones (later header versions) keep the 40-byte
    // fields at the front and are skipped by their own size.
    const uint64_t headerEnd = out.header.biSize;
    if (headerEnd < bmp::InfoHeader::kSize || headerEnd > infoSize) return false;

    if (out.header.biCompression == bmp::kCompressionBitFields) {
        const uint64_t masksEnd = bmp::InfoHeader::kSize + bmp::kMasksSize;
        if (masksEnd > infoSize) return false;
        for (int i = 0; i < 3; ++i) out.masks[i] = bmp::load32(info + bmp::InfoHeader::kSize + 4 * i);
        out.pixelsAt = std::max(headerEnd, masksEnd);
        return true;
    }
    const uint64_t entries = bmp::colorTableEntries(out.header);
    const uint64_t tableBytes = entries * bmp::kColorEntrySize;  // entries < 2^32: no overflow
    if (tableBytes > infoSize - headerEnd) return false;
    out.colorTable = info + headerEnd;
    out.colorEntries = static_cast<size_t>(std::min<uint64_t>(entries, 256));
    out.pixelsAt = headerEnd + tableBytes;
    return true;
}

int32_t dib24::pelsPerMeterFromDpi(int32_t dpi) {
    // 1 / 0.0254 metres per inch; the product of a 32-bit dpi can leave the 32-bit range.
    const double v = dpi * 39.37007874015748 + 0.5;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

int32_t dib24::dpiFromPelsPerMeter(int32_t pelsPerMeter) {
    return static_cast<int32_t>(pelsPerMeter * 0.0254 + 0.5);
}

void dib24::copyRgbTopDown(uint8_t* to, size_t bytesPerPixel) const {
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* from = bits + static_cast<size_t>(height - 1 - y) * static_cast<size_t>(stride);
        for (int32_t x = 0; x < width; ++x, from += 3, to += bytesPerPixel) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    }
}

uint64_t dib24::imageBytes(int32_t w, int32_t h) {
    if (w <= 0 || h <= 0) return 0;
    return (static_cast<uint64_t>(w) * 3 + 3) / 4 * 4 * static_cast<uint64_t>(h);  // < 2^63: fits
}

bool dib24::create(int32_t w, int32_t h, int32_t dpi) {
    destroy();
    resolution = dpi;
    bitmapInfo = bmp::InfoHeader{};
    bitmapInfo.biSize = bmp::InfoHeader::kSize;
    bitmapInfo.biWidth = w;
    bitmapInfo.biHeight = h;
    bitmapInfo.biPlanes = 1;
    bitmapInfo.biBitCount = 24;
    bitmapInfo.biCompression = bmp::kCompressionRgb;
    bitmapInfo.biXPelsPerMeter = bitmapInfo.biYPelsPerMeter = pelsPerMeterFromDpi(dpi);

    if (w >= 0 && h >= 0) {
        const uint64_t rowStride = (static_cast<uint64_t>(w) * 3 + 3) / 4 * 4;
        const uint64_t total = imageBytes(w, h);
        // biSizeImage is 32 bits wide; past that there is no image rather than a header that does
        // not match the pixels.
        if (rowStride <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) &&
            total <= std::numeric_limits<uint32_t>::max()) {
            // A document of width or height 0 is a real image of no pixels; it still gets a small
            // block so that row arithmetic over it never starts from a null pointer.
            const size_t block = std::max<size_t>(static_cast<size_t>(total), 4);
            const bool large = PixelBytes::allocator_type::comesZeroed(block);
            uint8_t* p = nullptr;
            try {
                p = static_cast<uint8_t*>(large ? allocateLargeBlock(block) : std::calloc(block, 1));
            } catch (const std::bad_alloc&) {
            }
            if (p != nullptr) {
                memory_ = std::unique_ptr<uint8_t, BlockDeleter>(p, BlockDeleter{block, large});
                bits = p;
                width = w;
                height = h;
                stride = static_cast<int32_t>(rowStride);
            }
        }
    }
    bitmapInfo.biSizeImage = static_cast<uint32_t>(stride) * static_cast<uint32_t>(height);
    return true;
}

bool dib24::create(int32_t w, int32_t h, int32_t dpi, Conversion& conversion) {
    destroy();
    if (!conversion.reserve(imageBytes(w, h), "the canvas")) return false;
    create(w, h, dpi);
    if (bits == nullptr) return conversion.fail("a canvas of " + std::to_string(w) + " x " + std::to_string(h) + " cannot be held");
    return true;
}

void dib24::fill(uint32_t colorref) {
    const auto blue = static_cast<uint8_t>(colorref >> 16);
    const auto green = static_cast<uint8_t>(colorref >> 8);
    const auto red = static_cast<uint8_t>(colorref);
    if (bits == nullptr || width <= 0 || height <= 0) return;
    for (int32_t x = 0; x < width; ++x) {
        bits[3 * static_cast<size_t>(x)] = blue;
        bits[3 * static_cast<size_t>(x) + 1] = green;
        bits[3 * static_cast<size_t>(x) + 2] = red;
    }
    // The other rows copy the first, a block at a time.
    for (int32_t y = 1; y < height; ++y)
        std::memcpy(bits + static_cast<size_t>(y) * static_cast<size_t>(stride), bits, static_cast<size_t>(width) * 3);
}

void dib24::BlockDeleter::operator()(uint8_t* p) const {
    if (large)
        releaseLargeBlock(p, bytes);
    else
        std::free(p);
}

void dib24::destroy() {
    memory_.reset();
    bits = nullptr;
    width = height = stride = 0;
}

bool dib24::saveBmp(std::FILE* out) const {
    if (bits == nullptr || out == nullptr) return false;
    uint8_t head[bmp::FileHeader::kSize + bmp::InfoHeader::kSize] = {};
    head[bmp::FileHeader::kMagicAt] = 'B';
    head[bmp::FileHeader::kMagicAt + 1] = 'M';
    // The file size field stays 0; readers take the size from the info header.
    bmp::store32(head + bmp::FileHeader::kOffBitsAt, sizeof head);
    bitmapInfo.store(head + bmp::FileHeader::kSize);
    const size_t pixelBytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
    return std::fwrite(head, 1, sizeof head, out) == sizeof head &&
           std::fwrite(bits, 1, pixelBytes, out) == pixelBytes;
}

bool dib24::loadBmp(std::FILE* in) {
    if (in == nullptr) return false;
    ByteInput source(in);
    uint8_t fileHeader[bmp::FileHeader::kSize];
    if (!source.read(fileHeader, sizeof fileHeader)) return false;
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M') return false;
    const uint32_t offBits = bmp::load32(fileHeader + bmp::FileHeader::kOffBitsAt);
    if (offBits < bmp::FileHeader::kSize + bmp::InfoHeader::kSize) return false;

    std::vector<uint8_t> info;
    // Blocks grow only as far as the file really holds: a header promising gigabytes costs nothing.
    source.readBlock(offBits - bmp::FileHeader::kSize, info);
    if (info.size() != offBits - bmp::FileHeader::kSize) return false;
    Source src;
    if (!parseInfo(info.data(), info.size(), src) || !isRgbPaletteOr24(src.header)) return false;
    const bmp::InfoHeader& h = src.header;
    if (h.biWidth <= 0 || h.biHeight <= 0) return false;

    std::vector<uint8_t> rows;
    const uint64_t rowsSize = bmp::rowBytes(static_cast<uint64_t>(h.biWidth), h.biBitCount) *
                              static_cast<uint64_t>(h.biHeight);
    source.readBlock(rowsSize, rows);
    if (rows.size() != rowsSize) return false;
    src.rows = rows.data();
    src.rowsSize = rows.size();
    return loadFrom(src);
}

bool dib24::loadDib(const uint8_t* info, size_t infoSize, const uint8_t* rows, size_t rowsSize) {
    Source src;
    if (!parseInfo(info, infoSize, src) || !isRgbPaletteOr24(src.header)) return false;
    src.rows = rows;
    src.rowsSize = rows == nullptr ? 0 : rowsSize;
    return loadFrom(src);
}

bool dib24::loadPackedDibMemory(const uint8_t* block, size_t size) {
    Source src;
    if (!parseInfo(block, size, src)) return false;
    const bmp::InfoHeader& h = src.header;
    const bool accepted = isRgbPaletteOr24(h) ||
                          (h.biBitCount == 32 && (h.biCompression == bmp::kCompressionRgb ||
                                                  h.biCompression == bmp::kCompressionBitFields));
    if (!accepted || src.pixelsAt > size) return false;
    src.rows = block + src.pixelsAt;
    src.rowsSize = size - static_cast<size_t>(src.pixelsAt);
    return loadFrom(src);
}

bool dib24::loadFrom(const Source& src) {
    const bmp::InfoHeader& h = src.header;
    // Top-down (negative height) and empty bitmaps are not taken.
    if (h.biWidth <= 0 || h.biHeight <= 0) return false;
    const uint64_t srcStride = bmp::rowBytes(static_cast<uint64_t>(h.biWidth), h.biBitCount);
    const uint64_t need = srcStride * static_cast<uint64_t>(h.biHeight);
    if (src.rows == nullptr || src.rowsSize < need) return false;

    create(h.biWidth, h.biHeight, dpiFromPelsPerMeter(h.biXPelsPerMeter));
    if (bits == nullptr) return false;

    const size_t w = static_cast<size_t>(width);
    const size_t rowsCount = static_cast<size_t>(height);
    const size_t dstStride = static_cast<size_t>(stride);
    const size_t inStride = static_cast<size_t>(srcStride);

    if (h.biBitCount == 24) {
        std::memcpy(bits, src.rows, dstStride * rowsCount);  // same stride, same row order
        return true;
    }

    if (h.biBitCount == 32) {
        int shifts[3] = {0, 0, 0};
        const bool fields = h.biCompression == bmp::kCompressionBitFields;
        if (fields)
            for (int i = 0; i < 3; ++i) shifts[i] = maskShift(src.masks[i]);
        for (size_t y = 0; y < rowsCount; ++y) {
            const uint8_t* s = src.rows + y * inStride;
            uint8_t* d = bits + y * dstStride;
            for (size_t x = 0; x < w; ++x, s += 4, d += 3) {
                if (fields) {
                    const uint32_t px = bmp::load32(s);
                    d[0] = static_cast<uint8_t>((px & src.masks[2]) >> shifts[2]);
                    d[1] = static_cast<uint8_t>((px & src.masks[1]) >> shifts[1]);
                    d[2] = static_cast<uint8_t>((px & src.masks[0]) >> shifts[0]);
                } else {
                    d[0] = s[0];
                    d[1] = s[1];
                    d[2] = s[2];
                }
            }
        }
        return true;
    }

    // 1, 4 or 8 bits: indices into the colour table. Entries the table does not have read as
    // black instead of past its end.
    uint8_t palette[256][3] = {};
    for (size_t i = 0; i < src.colorEntries; ++i)
        std::memcpy(palette[i], src.colorTable + i * bmp::kColorEntrySize, 3);
    for (size_t y = 0; y < rowsCount; ++y) {
        const uint8_t* s = src.rows + y * inStride;
        uint8_t* d = bits + y * dstStride;
        for (size_t x = 0; x < w; ++x, d += 3) {
            unsigned index;
            if (h.biBitCount == 1)
                index = (s[x / 8] >> (7 - x % 8)) & 1u;
            else if (h.biBitCount == 4)
                index = (x % 2 == 0) ? s[x / 2] >> 4 : s[x / 2] & 0x0fu;
            else
                index = s[x];
            std::memcpy(d, palette[index], 3);
        }
    }
    return true;
}
