// Writes small seed documents: fuzz/make_seeds <psd-dir> <wlx-dir>. With the project's own writers,
// a handful of shapes that reach the readers' branches: several layers with varied attributes, a
// hidden one, alpha channels in the merged image, a one-pixel canvas, an empty document. And the
// reader tests' sample documents, which its writer does not make: every colour mode and depth, ZIP
// with and without prediction, deep layers in Lr16/Lr32 blocks, large documents.
#include <cstdio>
#include <string>

#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxWriter.h"
#include "image/dib24.h"
#include "tests/support/PsdSamples.h"

namespace {

Layer* makeLayer(int32_t w, int32_t h, const char* name, BlendMode mode, int32_t opacity, bool visible,
                 uint32_t seed) {
    auto* layer = new Layer;
    layer->resize(w, h, mode);
    layer->name = name;
    layer->opacity = opacity;
    layer->visible = visible ? 1 : 0;
    // Runs and noise both, so that packed rows have run and literal packets.
    for (size_t i = 0; i < layer->pixels.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        layer->pixels[i] = (i / 16) % 2 == 0 ? static_cast<uint8_t>(i / 64) : static_cast<uint8_t>(seed >> 24);
    }
    return layer;
}

struct Shape {
    const char* name;
    int32_t width, height;
    int layers;
    int alphas;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds <psd-dir> <wlx-dir>\n");
        return 2;
    }
    const std::string psdDir = argv[1];
    const std::string wlxDir = argv[2];
    const Shape shapes[] = {
        {"three_layers", 7, 5, 3, 0}, {"alpha_channels", 6, 4, 2, 2}, {"one_pixel", 1, 1, 1, 0},
        {"no_layers", 3, 3, 0, 0},    {"wide", 300, 2, 2, 1},
    };
    const BlendMode modes[] = {blend::Normal, blend::Multiply, blend::Screen, blend::Overlay};
    for (const Shape& s : shapes) {
        DocumentInfo doc;
        doc.width = s.width;
        doc.height = s.height;
        doc.resolution = 150;
        LayerTempList layers;
        LayerTempList alphas;
        for (int i = 0; i < s.layers; ++i) {
            layers.add(makeLayer(s.width, s.height, i == 1 ? "" : "layer", modes[i % 4], 100 - 30 * i, i != 2,
                                 static_cast<uint32_t>(i + 1)));
        }
        for (int i = 0; i < s.alphas; ++i) {
            alphas.add(makeLayer(s.width, s.height, "alpha", blend::AlphaChannel, 100, true, 77u + i));
        }
        dib24 canvas;
        canvas.create(s.width, s.height, doc.resolution);
        canvas.fill(0x336699);
        if (!writePsdFile(psdDir + "/" + s.name + ".psd", canvas, layers, alphas, doc)) return 1;
        if (!writeWlxFile(wlxDir + "/" + s.name + ".wlx", layers, doc)) return 1;
    }
    for (const psdsamples::Sample& s : psdsamples::samples()) {
        const std::string path = psdDir + "/" + s.file + (s.psd.version == 2 ? ".psb" : ".psd");
        const psdbytes::Bytes bytes = s.psd.build();
        // The fuzz targets take inputs of 4096 bytes at most: a longer seed would be cut.
        if (bytes.size() > 4096) {
            std::fprintf(stderr, "make_seeds: %s is %zu bytes, more than 4096\n", s.file, bytes.size());
            return 1;
        }
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (out == nullptr) return 1;
        const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
        if (std::fclose(out) != 0 || !written) return 1;
    }
    return 0;
}
