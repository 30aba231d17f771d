#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "image/BmpLayout.h"

class Conversion;

// The flat 24-bit canvas: blue, green, red; rows bottom to top, each padded to a multiple of 4
// bytes (stride). The pixel at column x, row y counted from the top starts at
// (height - 1 - y) * stride + 3 * x. Without GDI the pixels live in an ordinary zeroed block.
class dib24 {
public:
    dib24() = default;
    virtual ~dib24();
    dib24(const dib24&) = delete;
    dib24& operator=(const dib24&) = delete;

    // Always true. A width or height of 0 gives an image of that size with no pixels. When the
    // image cannot be held (size negative, stride * height past 32 bits, allocation refused) the object is left without pixels and with zero size; the header keeps
    // the requested values.
    bool create(int32_t w, int32_t h, int32_t dpi);
    // As above, with the pixels reserved in the conversion's memory budget first; false, with the
    // reason in conversion, when they are refused or cannot be held.
    bool create(int32_t w, int32_t h, int32_t dpi, Conversion& conversion);
    // COLORREF layout: red in bits 0-7, green 8-15, blue 16-23. Padding bytes are not written.
    void fill(uint32_t colorref);
    // Releases the pixels; harmless when there are none.
    void destroy();

    // A 14-byte file header, the 40-byte info header and the rows as they are in memory. False
    // when there is no image or the stream refuses the bytes.
    bool saveBmp(std::FILE* out) const;
    // A BMP file: BI_RGB with 1, 4, 8 or 24 bits per pixel, bottom-up rows. False on anything
    // short, unknown or too large; the stream is read no further than the file promises.
    bool loadBmp(std::FILE* in);
    // An info header with its colour table, and the pixel rows apart from it: BI_RGB with 1, 4, 8
    // or 24 bits. Both blocks are bounded by their sizes.
    bool loadDib(const uint8_t* info, size_t infoSize, const uint8_t* rows, size_t rowsSize);
    // A packed DIB in one memory block (info header, colour table or masks, rows): BI_RGB with 1,
    // 4, 8, 24 or 32 bits, or BI_BITFIELDS with 32.
    bool loadPackedDibMemory(const uint8_t* block, size_t size);

    // Dots per inch to dots per metre and back, rounded half up in double precision.
    // Bytes of pixel memory a w x h canvas takes (stride x height); 0 unless both are positive.
    static uint64_t imageBytes(int32_t w, int32_t h);
    static int32_t pelsPerMeterFromDpi(int32_t dpi);
    static int32_t dpiFromPelsPerMeter(int32_t pelsPerMeter);

    // The pixels as viewers take them: top row first, red, green, blue, each pixel bytesPerPixel
    // bytes from the last (3, or 4 leaving every fourth byte as it was) into width x height of them.
    void copyRgbTopDown(uint8_t* to, size_t bytesPerPixel) const;

    bmp::InfoHeader bitmapInfo;
    uint8_t* bits = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int32_t resolution = 0;

private:
    // Where the source pixels of a load come from; every pointer is bounded by its count.
    struct Source {
        bmp::InfoHeader header;
        const uint8_t* colorTable = nullptr;
        size_t colorEntries = 0;
        uint32_t masks[3] = {0, 0, 0};  // red, green, blue; BI_BITFIELDS only
        uint64_t pixelsAt = 0;          // where rows following in the same block start
        const uint8_t* rows = nullptr;
        size_t rowsSize = 0;
    };
    // Fills header, colour table or masks, and pixelsAt from an info block; false when it is
    // too short for what its header declares.
    static bool parseInfo(const uint8_t* info, size_t infoSize, Source& out);
    bool loadFrom(const Source& src);

    // Large images come from the system in large pages, as layers do: a fresh canvas is then
    // faulted in hundreds of times fewer steps.
    struct BlockDeleter {
        BlockDeleter() noexcept {}
        BlockDeleter(size_t size, bool isLarge) noexcept : bytes(size), large(isLarge) {}
        size_t bytes = 0;
        bool large = false;
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, BlockDeleter> memory_;
};
