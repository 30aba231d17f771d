#include "image/dib24.h"

// Placeholder until the canvas class lands in full.
dib24::~dib24() { destroy(); }

bool dib24::create(int32_t w, int32_t h, int32_t dpi) {
    destroy();
    resolution = dpi;
    if (w <= 0 || h <= 0) return true;
    const int64_t s = (static_cast<int64_t>(w) * 3 + 3) / 4 * 4;
    memory_.assign(static_cast<size_t>(s * h), 0);
    bits = memory_.data();
    width = w;
    height = h;
    stride = static_cast<int32_t>(s);
    return true;
}

void dib24::fill(uint32_t colorref) {
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = bits + static_cast<size_t>(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<uint8_t>(colorref >> 16);
            row[x * 3 + 1] = static_cast<uint8_t>(colorref >> 8);
            row[x * 3 + 2] = static_cast<uint8_t>(colorref);
        }
    }
}

void dib24::destroy() {
    memory_.clear();
    memory_.shrink_to_fit();
    bits = nullptr;
    width = height = stride = 0;
}
