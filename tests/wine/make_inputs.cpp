// Writes the WLX documents the Windows program is compared on with the project's own writer:
// one per blend mode (and one out-of-range code), odd and empty canvas sizes, and layer names
// that stress the PSD name fields.
// Usage: make_wine_inputs DIRECTORY
#include <cstdio>
#include <string>

#include "formats/wlx/WlxWriter.h"

namespace {

// A deterministic pattern with every alpha value somewhere, so that compositing and PackBits
// runs both get exercised.
void paint(Layer& layer, uint32_t seed, bool opaque) {
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < layer.pixels.size(); i += 4) {
        const size_t pixel = i / 4;
        state = state * 1103515245u + 12345u;
        const bool run = (pixel / 7) % 3 == 0;  // stretches of one colour pack as runs
        layer.pixels[i] = static_cast<uint8_t>(run ? seed * 40 : state >> 24);
        layer.pixels[i + 1] = static_cast<uint8_t>(run ? 200 - seed : state >> 16);
        layer.pixels[i + 2] = static_cast<uint8_t>(run ? 90 : pixel * 3 + seed);
        layer.pixels[i + 3] = opaque ? 255 : static_cast<uint8_t>(run ? 255 : state >> 8);
    }
}

Layer* layer(int32_t width, int32_t height, const std::string& name, BlendMode mode, int32_t opacity,
             bool visible, uint32_t seed, bool opaque) {
    auto* l = new Layer;
    l->resize(width, height, mode);
    l->name = name;
    l->opacity = opacity;
    l->visible = visible ? 1 : 0;
    paint(*l, seed, opaque);
    return l;
}

bool write(const std::string& directory, const std::string& file, int32_t width, int32_t height,
           const LayerTempList& layers) {
    const DocumentInfo doc{width, height, 72};
    if (writeWlxFile(directory + "/" + file, layers, doc)) return true;
    std::fprintf(stderr, "make_wine_inputs: cannot write %s/%s\n", directory.c_str(), file.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_wine_inputs DIRECTORY\n");
        return 2;
    }
    const std::string directory = argv[1];
    bool ok = true;
    int count = 0;

    // Every blend mode over an opaque base, with a hidden layer that must not show; code 30 is
    // no mode and composites as normal.
    for (BlendMode mode = 0; mode <= blend::ModeCount; ++mode) {
        const BlendMode code = mode == blend::ModeCount ? 30 : mode;
        LayerTempList layers;
        layers.add(layer(19, 11, "base", blend::Normal, 100, true, 1, true));
        layers.add(layer(19, 11, "mode " + std::to_string(code), code, 100 - mode * 3, true, 2 + mode, false));
        layers.add(layer(19, 11, "hidden", blend::Difference, 60, false, 3, false));
        char file[32];
        std::snprintf(file, sizeof file, "blend_%02d.wlx", code);
        ok = write(directory, file, 19, 11, layers) && ok;
        ++count;
    }

    // Canvas sizes: one pixel, odd widths (row padding of the merged image), empty canvases.
    const struct {
        int32_t width, height;
    } sizes[] = {{1, 1}, {3, 2}, {130, 3}, {0, 0}, {257, 129}};
    for (const auto& size : sizes) {
        LayerTempList layers;
        layers.add(layer(size.width, size.height, "a", blend::Normal, 100, true, 4, false));
        layers.add(layer(size.width, size.height, "b", blend::Screen, 50, true, 5, false));
        const std::string file = "size_" + std::to_string(size.width) + "x" + std::to_string(size.height) + ".wlx";
        ok = write(directory, file, size.width, size.height, layers) && ok;
        ++count;
    }

    // Names: empty, code page 932 with a 0x5C trail byte (hyou), katakana, longer than a Pascal
    // string holds, bytes that are not valid code page 932; no layers at all; flags and opacity 0.
    {
        LayerTempList layers;
        const char* names[] = {"", "\x95\x5C\x83\x5C", "\x83\x8C\x83\x43\x83\x84\x81\x5B 1", "\x81", "\xFF\xFE"};
        uint32_t seed = 6;
        for (const char* name : names) layers.add(layer(8, 6, name, blend::Normal, 80, true, seed++, false));
        layers.add(layer(8, 6, std::string(300, 'n'), blend::Multiply, 0, true, seed++, false));
        layers[1]->alphaLocked = 1;
        layers[2]->clipping = 1;
        ok = write(directory, "names.wlx", 8, 6, layers) && ok;
        ++count;
        LayerTempList none;
        ok = write(directory, "no_layers.wlx", 4, 4, none) && ok;
        ++count;
    }

    std::printf("make_wine_inputs: %d documents in %s\n", count, directory.c_str());
    return ok ? 0 : 1;
}
