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
    resizeForOverwrite(newWidth, newHeight, mode);
    if (!PixelBytes::allocator_type::comesZeroed(pixels.size())) std::fill(pixels.begin(), pixels.end(), uint8_t{0});
}

void Layer::resizeForOverwrite(int32_t newWidth, int32_t newHeight, BlendMode mode) {
    pixels.clear();
    pixels.shrink_to_fit();
    resetAttributes(newWidth, newHeight, mode);
    pixels.resize(static_cast<size_t>(pixelBytes(width, height)));
}

void Layer::resizeReusing(PixelBytes storage, int32_t newWidth, int32_t newHeight, BlendMode mode, bool overwrite) {
    const uint64_t bytes = pixelBytes(std::max(newWidth, 0), std::max(newHeight, 0));
    if (storage.empty() || storage.size() != bytes) {
        storage = PixelBytes();  // let go first: the fresh pixels may need its room
        return overwrite ? resizeForOverwrite(newWidth, newHeight, mode) : resize(newWidth, newHeight, mode);
    }
    pixels.swap(storage);
    resetAttributes(newWidth, newHeight, mode);
    if (!overwrite) std::fill(pixels.begin(), pixels.end(), uint8_t{0});
}

void Layer::resetAttributes(int32_t newWidth, int32_t newHeight, BlendMode mode) {
    width = newWidth < 0 ? 0 : newWidth;
    height = newHeight < 0 ? 0 : newHeight;
    alphaLocked = 0;
    clipping = 0;
    visible = 1;
    blendMode = mode;
    opacity = 100;
}
