#include "image/Layer.h"

#include <algorithm>
#include <cmath>

Layer::Layer() {
    // Soft light takes its square roots from here, never from a floating-point call per pixel.
    const double k = 1.0 / 255.0;
    for (int i = 0; i < 256; ++i) {
        sqrtTable[i] = static_cast<int32_t>(std::sqrt(i * k) * 255.0);
    }
}

Layer::~Layer() {
    pixels.clear();
    pixels.shrink_to_fit();
    width = 0;
    height = 0;
}

uint64_t Layer::pixelBytes(int64_t w, int64_t h) {
    if (w < 0 || h < 0) return UINT64_MAX;
    return static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * 4u;
}

void Layer::resize(int32_t newWidth, int32_t newHeight, BlendMode mode) {
    // Fresh storage: only that comes zeroed.
    pixels.clear();
    pixels.shrink_to_fit();
    resizeForOverwrite(newWidth, newHeight, mode);
    if (!PixelBytes::allocator_type::comesZeroed(pixels.size())) std::fill(pixels.begin(), pixels.end(), uint8_t{0});
}

void Layer::resizeForOverwrite(int32_t newWidth, int32_t newHeight, BlendMode mode) {
    width = newWidth < 0 ? 0 : newWidth;
    height = newHeight < 0 ? 0 : newHeight;
    const auto bytes = static_cast<size_t>(pixelBytes(width, height));
    pixels.clear();
    // Storage of exactly this size is kept: filling pages already touched costs nothing more.
    if (pixels.capacity() != bytes) pixels.shrink_to_fit();
    pixels.resize(bytes);
    alphaLocked = 0;
    clipping = 0;
    visible = 1;
    blendMode = mode;
    opacity = 100;
}
