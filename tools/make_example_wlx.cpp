// Writes the example layered document examples/example.wlx with the project's own WLX writer.
// Usage: make_example_wlx [output path]
//
// The picture is a small evening landscape: a sky gradient, a sun, hills, a soft shadow, a warm
// glow and a hidden layer of guide lines. Only sqrt and plain arithmetic are used, so every
// platform produces the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "formats/wlx/WlxWriter.h"

namespace {

constexpr int32_t kWidth = 256;
constexpr int32_t kHeight = 192;

struct Rgb {
    double r, g, b;
};

uint8_t toByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0) + 0.5); }

void setPixel(Layer& layer, int32_t x, int32_t y, Rgb c, double alpha) {
    uint8_t* p = layer.pixels.data() + (static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 4;
    p[0] = toByte(c.b);
    p[1] = toByte(c.g);
    p[2] = toByte(c.r);
    p[3] = toByte(alpha * 255.0);
}

// 1 inside, 0 outside, a linear ramp of the given width across the edge.
double softEdge(double distanceInside, double feather) { return std::clamp(distanceInside / feather + 0.5, 0.0, 1.0); }

Layer* newLayer(const std::string& name, BlendMode mode, int32_t opacity, bool visible) {
    auto* layer = new Layer;
    layer->resize(kWidth, kHeight, mode);
    layer->name = name;
    layer->opacity = opacity;
    layer->visible = visible ? 1 : 0;
    return layer;
}

Layer* background() {
    Layer* layer = newLayer("Sky", blend::Normal, 100, true);
    for (int32_t y = 0; y < kHeight; ++y) {
        const double t = static_cast<double>(y) / (kHeight - 1);
        const Rgb c{40 + 200 * t, 60 + 110 * t, 140 - 40 * t};
        for (int32_t x = 0; x < kWidth; ++x) setPixel(*layer, x, y, c, 1.0);
    }
    return layer;
}

Layer* sun() {
    Layer* layer = newLayer("Sun", blend::Screen, 90, true);
    const double cx = 180, cy = 70, radius = 26;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const double d = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
            const double core = softEdge(radius - d, 3.0);
            const double halo = 0.45 * softEdge(radius * 2.2 - d, radius * 1.6);
            const double a = std::max(core, halo);
            if (a > 0) setPixel(*layer, x, y, Rgb{255, 220 - 60 * (1 - core), 120 - 80 * (1 - core)}, a);
        }
    }
    return layer;
}

Layer* hills() {
    // "Mountains" in code page 932 (yama, then "2" in the usual layer numbering).
    Layer* layer = newLayer("\x8E\x52 2", blend::Normal, 100, true);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const double u = (x - 70.0) / 110.0, v = (x - 210.0) / 90.0;
            const double ridge = std::min(150 - 55 * (1 - u * u), 160 - 40 * (1 - v * v));
            const double a = softEdge(y - ridge, 2.5);
            const double shade = static_cast<double>(y - 100) / 92.0;
            if (a > 0) setPixel(*layer, x, y, Rgb{50 + 30 * shade, 110 - 40 * shade, 60 - 20 * shade}, a);
        }
    }
    return layer;
}

Layer* shadow() {
    // "Shadow" in code page 932.
    Layer* layer = newLayer("\x89\x65", blend::Multiply, 70, true);
    const double cx = 100, cy = 160, rx = 70, ry = 14;
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            const double d = std::sqrt((x - cx) * (x - cx) / (rx * rx) + (y - cy) * (y - cy) / (ry * ry));
            const double a = std::clamp(1.0 - d, 0.0, 1.0);
            if (a > 0) setPixel(*layer, x, y, Rgb{60, 40, 90}, a * a);
        }
    }
    return layer;
}

Layer* glow() {
    // "Layer 5" in code page 932.
    Layer* layer = newLayer("\x83\x8C\x83\x43\x83\x84\x81\x5B 5", blend::Overlay, 60, true);
    for (int32_t y = 0; y < kHeight; ++y) {
        const double band = 1.0 - std::abs(y - 105.0) / 40.0;
        if (band <= 0) continue;
        for (int32_t x = 0; x < kWidth; ++x) setPixel(*layer, x, y, Rgb{255, 140, 60}, band);
    }
    return layer;
}

Layer* guides() {
    Layer* layer = newLayer("Guides (hidden)", blend::Difference, 40, false);
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            if (x % 32 == 0 || y % 32 == 0) setPixel(*layer, x, y, Rgb{0, 255, 255}, 1.0);
        }
    }
    return layer;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "examples/example.wlx";
    LayerTempList layers;
    for (Layer* layer : {background(), sun(), hills(), shadow(), glow(), guides()}) layers.add(layer);
    const DocumentInfo doc{kWidth, kHeight, 72};
    if (!writeWlxFile(path, layers, doc)) {
        std::fprintf(stderr, "make_example_wlx: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %d x %d, %zu layers\n", path.c_str(), kWidth, kHeight, layers.size());
    return 0;
}
