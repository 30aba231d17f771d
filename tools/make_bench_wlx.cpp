// Writes a layered WLX document for timing conversions, with the project's own writer.
// Usage: make_bench_wlx OUTPUT.wlx [WIDTH HEIGHT LAYERS]   (default 2048 2048 12)
//
// An opaque ground, then layers in the common blend modes, each a soft-edged disc of a gradient
// with a little grain (so deflate has real work) and transparent elsewhere. A fixed generator
// makes the same document on every run.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/wlx/WlxWriter.h"

namespace {

uint8_t clampByte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: make_bench_wlx OUTPUT.wlx [WIDTH HEIGHT LAYERS]\n");
        return 2;
    }
    const int32_t width = argc == 5 ? std::atoi(argv[2]) : 2048;
    const int32_t height = argc == 5 ? std::atoi(argv[3]) : 2048;
    const int32_t count = argc == 5 ? std::atoi(argv[4]) : 12;
    const BlendMode modes[] = {blend::Normal, blend::Multiply, blend::Screen, blend::Overlay,
                               blend::SoftLight, blend::Normal, blend::LinearDodge, blend::Darken};
    uint32_t seed = 12345;
    auto grain = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return static_cast<double>(seed & 7) - 3.5;
    };

    LayerTempList layers;
    for (int32_t i = 0; i < count; ++i) {
        auto* layer = new Layer;
        layer->resize(width, height, i == 0 ? blend::Normal : modes[i % 8]);
        layer->name = "Layer " + std::to_string(i + 1);
        layer->opacity = i == 0 ? 100 : 60 + (i * 7) % 41;
        const double cx = width * (0.2 + 0.6 * ((i * 37) % 11) / 10.0);
        const double cy = height * (0.2 + 0.6 * ((i * 53) % 13) / 12.0);
        const double radius = (i == 0 ? 4.0 : 0.25 + 0.05 * (i % 4)) * std::fmax(width, height);
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* p = layer->pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
            for (int32_t x = 0; x < width; ++x, p += 4) {
                const double d = std::hypot(x - cx, y - cy);
                const double alpha = std::fmin(1.0, std::fmax(0.0, (radius - d) / (radius * 0.3)));
                if (alpha <= 0) continue;
                const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
                p[0] = clampByte(255 * u * ((i * 29) % 7) / 6.0 + grain());
                p[1] = clampByte(255 * v * ((i * 31) % 5) / 4.0 + grain());
                p[2] = clampByte(255 * (1 - u * v) + grain());
                p[3] = clampByte(255 * alpha);
            }
        }
        layers.add(layer);
    }
    DocumentInfo doc;
    doc.width = width;
    doc.height = height;
    if (!writeWlxFile(argv[1], layers, doc)) {
        std::fprintf(stderr, "make_bench_wlx: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
