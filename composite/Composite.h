#pragma once
#include <cstdint>

class Layer;
class dib24;

// Optional rectangle for compositeOnto, in layer coordinates; right and bottom are exclusive.
struct CompositeBounds {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Blends the layer onto the canvas (bottom-up rows) in its blend mode and opacity, optionally only
// inside bounds. A hidden layer, or one whose pixels are shorter than its size, changes nothing.
void compositeOnto(const Layer& layer, dib24& canvas, const CompositeBounds* bounds = nullptr);
