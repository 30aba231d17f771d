#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/BlendMode.h"

class dib24;

// Optional rectangle for compositeOnto, in layer coordinates; right and bottom are exclusive.
struct CompositeBounds {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// One full-canvas raster layer: 4 bytes per pixel (blue, green, red, alpha), rows top to bottom,
// straight alpha.
class Layer {
public:
    Layer();
    virtual ~Layer();
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    // Replaces the pixels by width x height transparent black pixels and resets the attributes.
    // Negative sizes are taken as 0.
    void resize(int32_t newWidth, int32_t newHeight, BlendMode mode);

    // Blends this layer onto the canvas (bottom-up rows), optionally only inside bounds.
    void compositeOnto(dib24& canvas, const CompositeBounds* bounds = nullptr) const;

    // Bytes the pixels of a width x height layer take, or UINT64_MAX for negative sizes.
    static uint64_t pixelBytes(int64_t w, int64_t h);

    int32_t refCount = 0;
    int32_t sqrtTable[256];
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
    uint8_t alphaLocked = 0;
    uint8_t clipping = 0;
    uint8_t visible = 1;
    std::string name;  // code page 932 bytes, never converted
    int32_t opacity = 100;
    BlendMode blendMode = blend::Normal;
};
