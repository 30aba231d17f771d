#pragma once
#include <cstdint>
#include <cstdio>
#include <vector>

// The flat 24-bit canvas: blue, green, red; rows bottom to top, each padded to a multiple of 4
// bytes (stride). Without GDI the pixels live in an ordinary zeroed block.
class dib24 {
public:
    dib24() = default;
    virtual ~dib24();
    dib24(const dib24&) = delete;
    dib24& operator=(const dib24&) = delete;

    // Always true. When the image cannot be held (size overflow, not enough memory) the object is
    // left without pixels and with zero size.
    bool create(int32_t w, int32_t h, int32_t dpi);
    // COLORREF layout: red in bits 0-7, green 8-15, blue 16-23. Padding bytes are not written.
    void fill(uint32_t colorref);
    void destroy();

    uint8_t* bits = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
    int32_t resolution = 0;

private:
    std::vector<uint8_t> memory_;
};
