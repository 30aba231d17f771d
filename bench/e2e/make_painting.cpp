// Writes a layered painting for the end-to-end benchmark with the project's own WLX writer.
// Usage: make_painting OUTPUT.wlx [WIDTH HEIGHT LAYERS]   (default 2048 2048 12)
//
// The layers are what a digital painting is made of: an opaque paper ground, flat colour fills,
// multiply shading, screen and linear dodge glows, an overlay noise texture, inked line art and a
// hidden pencil sketch. Most layers are transparent over much of the canvas, as real ones are. A
// fixed pseudo-random generator makes the same document every run.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/wlx/WlxWriter.h"

namespace {

struct Random {
    uint64_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<uint32_t>(state >> 16);
    }
    double unit() { return (next() & 0xFFFFFF) / 16777216.0; }
    double range(double lo, double hi) { return lo + (hi - lo) * unit(); }
};

struct Rgb {
    double r, g, b;
};

uint8_t toByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0) + 0.5); }

class Painter {
public:
    Painter(Layer& layer) : layer_(layer), w_(layer.width), h_(layer.height) {}

    // Source-over of a straight-alpha colour onto the layer's pixel.
    void blend(int32_t x, int32_t y, Rgb c, double a) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_ || a <= 0) return;
        uint8_t* p = layer_.pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(w_) + static_cast<size_t>(x)) * 4;
        const double under = p[3] / 255.0;
        const double out = a + under * (1 - a);
        const double k = a / out;
        p[0] = toByte(c.b * k + p[0] * (1 - k));
        p[1] = toByte(c.g * k + p[1] * (1 - k));
        p[2] = toByte(c.r * k + p[2] * (1 - k));
        p[3] = toByte(out * 255.0);
    }

    // An anti-aliased ellipse, filled with c and faded by alpha.
    void ellipse(double cx, double cy, double rx, double ry, Rgb c, double alpha) {
        const int32_t x0 = static_cast<int32_t>(cx - rx - 2), x1 = static_cast<int32_t>(cx + rx + 2);
        const int32_t y0 = static_cast<int32_t>(cy - ry - 2), y1 = static_cast<int32_t>(cy + ry + 2);
        for (int32_t y = std::max(y0, 0); y <= std::min(y1, h_ - 1); ++y) {
            for (int32_t x = std::max(x0, 0); x <= std::min(x1, w_ - 1); ++x) {
                const double u = (x - cx) / rx, v = (y - cy) / ry;
                const double d = (1 - std::sqrt(u * u + v * v)) * std::min(rx, ry);
                blend(x, y, c, alpha * std::clamp(d + 0.5, 0.0, 1.0));
            }
        }
    }

    // A radial falloff: full at the centre, gone at radius.
    void glow(double cx, double cy, double radius, Rgb c, double alpha) {
        const int32_t r = static_cast<int32_t>(radius) + 1;
        for (int32_t y = std::max(static_cast<int32_t>(cy) - r, 0); y <= std::min(static_cast<int32_t>(cy) + r, h_ - 1); ++y) {
            for (int32_t x = std::max(static_cast<int32_t>(cx) - r, 0); x <= std::min(static_cast<int32_t>(cx) + r, w_ - 1); ++x) {
                const double t = 1 - std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy)) / radius;
                if (t > 0) blend(x, y, c, alpha * t * t);
            }
        }
    }

    // A stroke: discs of the pen's width stamped along a wavy path.
    void stroke(Random& rng, double width, Rgb c, double alpha) {
        double x = rng.range(0, w_), y = rng.range(0, h_);
        double angle = rng.range(0, 6.283);
        const int32_t steps = static_cast<int32_t>(rng.range(0.1, 0.4) * (w_ + h_));
        const double turn = rng.range(-0.02, 0.02);
        for (int32_t i = 0; i < steps; ++i) {
            angle += turn + 0.01 * std::sin(i * 0.05);
            x += std::cos(angle) * width * 0.5;
            y += std::sin(angle) * width * 0.5;
            const double pen = width * (0.6 + 0.4 * std::sin(i * 0.02));
            const int32_t r = static_cast<int32_t>(pen) + 1;
            for (int32_t dy = -r; dy <= r; ++dy) {
                for (int32_t dx = -r; dx <= r; ++dx) {
                    const double d = pen - std::sqrt(static_cast<double>(dx * dx + dy * dy));
                    const int32_t px = static_cast<int32_t>(x) + dx, py = static_cast<int32_t>(y) + dy;
                    if (d > 0 && px >= 0 && py >= 0 && px < w_ && py < h_) {
                        uint8_t* p = layer_.pixels.data() +
                                     (static_cast<size_t>(py) * static_cast<size_t>(w_) + static_cast<size_t>(px)) * 4;
                        // Overlapping stamps of one stroke keep the stronger coverage, like a pen.
                        const uint8_t a = toByte(255 * alpha * std::min(d, 1.0));
                        if (a > p[3]) {
                            p[0] = toByte(c.b);
                            p[1] = toByte(c.g);
                            p[2] = toByte(c.r);
                            p[3] = a;
                        }
                    }
                }
            }
        }
    }

private:
    Layer& layer_;
    int32_t w_, h_;
};

Rgb randomColour(Random& rng) { return Rgb{rng.range(30, 250), rng.range(30, 250), rng.range(30, 250)}; }

void paper(Layer& layer, Random& rng) {
    uint8_t* p = layer.pixels.data();
    for (int32_t y = 0; y < layer.height; ++y) {
        const double t = static_cast<double>(y) / std::max(layer.height - 1, 1);
        for (int32_t x = 0; x < layer.width; ++x, p += 4) {
            const double grain = (rng.next() & 3);
            p[0] = toByte(215 - 20 * t + grain);
            p[1] = toByte(228 - 10 * t + grain);
            p[2] = toByte(236 + grain);
            p[3] = 255;
        }
    }
}

void fills(Layer& layer, Random& rng) {
    Painter painter(layer);
    const double scale = std::min(layer.width, layer.height);
    for (int i = 0; i < 14; ++i) {
        painter.ellipse(rng.range(0, layer.width), rng.range(0, layer.height), rng.range(0.04, 0.2) * scale,
                        rng.range(0.04, 0.2) * scale, randomColour(rng), 1.0);
    }
}

void shading(Layer& layer, Random& rng) {
    Painter painter(layer);
    const double scale = std::min(layer.width, layer.height);
    for (int i = 0; i < 8; ++i) {
        painter.ellipse(rng.range(0, layer.width), rng.range(0, layer.height), rng.range(0.05, 0.25) * scale,
                        rng.range(0.05, 0.2) * scale, Rgb{rng.range(90, 160), rng.range(80, 140), rng.range(120, 200)},
                        rng.range(0.3, 0.7));
    }
}

void glows(Layer& layer, Random& rng) {
    Painter painter(layer);
    const double scale = std::min(layer.width, layer.height);
    for (int i = 0; i < 6; ++i) {
        painter.glow(rng.range(0, layer.width), rng.range(0, layer.height), rng.range(0.05, 0.3) * scale,
                     Rgb{rng.range(200, 255), rng.range(140, 230), rng.range(60, 160)}, rng.range(0.5, 1.0));
    }
}

// Value noise on a coarse lattice plus fine grain, mid grey: overlay leaves the mean unchanged.
void texture(Layer& layer, Random& rng) {
    constexpr int32_t kCell = 16;
    const int32_t cols = layer.width / kCell + 2, rows = layer.height / kCell + 2;
    std::string lattice(static_cast<size_t>(cols) * static_cast<size_t>(rows), '\0');
    for (char& v : lattice) v = static_cast<char>(rng.next() & 0x3F);
    auto at = [&](int32_t cx, int32_t cy) {
        return static_cast<double>(static_cast<uint8_t>(lattice[static_cast<size_t>(cy) * static_cast<size_t>(cols) +
                                                                static_cast<size_t>(cx)]));
    };
    uint8_t* p = layer.pixels.data();
    for (int32_t y = 0; y < layer.height; ++y) {
        const int32_t cy = y / kCell;
        const double fy = static_cast<double>(y % kCell) / kCell;
        for (int32_t x = 0; x < layer.width; ++x, p += 4) {
            const int32_t cx = x / kCell;
            const double fx = static_cast<double>(x % kCell) / kCell;
            const double top = at(cx, cy) + (at(cx + 1, cy) - at(cx, cy)) * fx;
            const double bottom = at(cx, cy + 1) + (at(cx + 1, cy + 1) - at(cx, cy + 1)) * fx;
            const uint8_t v = toByte(96 + top + (bottom - top) * fy + (rng.next() & 15));
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    }
}

void lineArt(Layer& layer, Random& rng, double width, Rgb ink, double alpha, int strokes) {
    Painter painter(layer);
    for (int i = 0; i < strokes; ++i) painter.stroke(rng, width, ink, alpha);
}

struct Kind {
    const char* name;
    BlendMode mode;
    int32_t opacity;
};

// The layer stack above the paper repeats this cycle; the sketch is always the top layer.
const Kind kCycle[] = {
    {"Fills", blend::Normal, 100},      {"Shading", blend::Multiply, 80}, {"Line art", blend::Normal, 100},
    {"Glow", blend::Screen, 90},        {"Texture", blend::Overlay, 35},  {"Light", blend::LinearDodge, 60},
    {"Colour fills", blend::Normal, 85}, {"Shadows", blend::Multiply, 60}, {"Highlights", blend::Screen, 70},
    {"Detail lines", blend::Normal, 100},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 5) {
        std::fprintf(stderr, "usage: make_painting OUTPUT.wlx [WIDTH HEIGHT LAYERS]\n");
        return 2;
    }
    const std::string path = argv[1];
    const int32_t width = argc == 5 ? std::atoi(argv[2]) : 2048;
    const int32_t height = argc == 5 ? std::atoi(argv[3]) : 2048;
    const int32_t count = argc == 5 ? std::atoi(argv[4]) : 12;
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535 || count < 2 || count > 65535) {
        std::fprintf(stderr, "make_painting: size 1..65535, at least 2 layers\n");
        return 2;
    }

    Random rng{0x9E3779B97F4A7C15ull};
    LayerTempList layers;
    const double pen = std::max(1.5, std::min(width, height) / 700.0);
    for (int32_t i = 0; i < count; ++i) {
        auto* layer = new Layer;
        layer->resize(width, height, blend::Normal);
        layers.add(layer);
        if (i == 0) {
            layer->name = "Paper";
            paper(*layer, rng);
            continue;
        }
        if (i == count - 1) {
            layer->name = "Sketch (hidden)";
            layer->visible = 0;
            layer->opacity = 50;
            lineArt(*layer, rng, pen * 0.7, Rgb{90, 90, 100}, 0.6, 40);
            continue;
        }
        const Kind& kind = kCycle[(i - 1) % (sizeof kCycle / sizeof kCycle[0])];
        layer->name = std::string(kind.name) + " " + std::to_string(i);
        layer->blendMode = kind.mode;
        layer->opacity = kind.opacity;
        switch ((i - 1) % (sizeof kCycle / sizeof kCycle[0])) {
            case 0:
            case 6: fills(*layer, rng); break;
            case 1:
            case 7: shading(*layer, rng); break;
            case 2: lineArt(*layer, rng, pen, Rgb{25, 20, 30}, 1.0, 30); break;
            case 9: lineArt(*layer, rng, pen * 0.6, Rgb{40, 30, 50}, 0.9, 50); break;
            case 3:
            case 5:
            case 8: glows(*layer, rng); break;
            default: texture(*layer, rng); break;
        }
    }
    const DocumentInfo doc{width, height, 72};
    if (!writeWlxFile(path, layers, doc)) {
        std::fprintf(stderr, "make_painting: cannot write %s\n", path.c_str());
        return 1;
    }
    std::printf("%s: %d x %d, %d layers\n", path.c_str(), width, height, count);
    return 0;
}
