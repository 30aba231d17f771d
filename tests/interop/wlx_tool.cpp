// Helper of the paint-program interop step:
//   wlx_tool sample OUT.wlx    writes the sample document whose PSD the paint program must show
//   wlx_tool dump IN.wlx DIR   writes DIR/layers.tsv (index, name as UTF-8, opacity %, visible, blend mode) and
//                              DIR/layerN.rgba (canvas-sized, RGBA, top row first), bottom layer first
#include <cstdio>
#include <fstream>
#include <string>

#include "formats/psd/Cp932.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"

namespace {

// CP932 bytes as UTF-8 text; names that are not CP932 are shown as "#hex".
std::string utf8Name(const std::string& cp932) {
    std::u16string units;
    std::string out;
    if (!cp932::toUtf16(cp932, units)) {
        out = "#";
        for (unsigned char c : cp932) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", c);
            out += hex;
        }
        return out;
    }
    for (char16_t u : units) {  // CP932 holds only BMP characters
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | u >> 6);
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | u >> 12);
            out += static_cast<char>(0x80 | (u >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

struct SampleLayer {
    const char* name;  // CP932
    int32_t opacity;
    uint8_t visible;
};

// Names a user meets: kanji and kana, half-width katakana, exactly 31 bytes (the longest a WLX
// name holds) with 5C trail bytes, NEC and IBM extension characters, a backslash.
const SampleLayer kSample[] = {
    {"\x94\x77\x8c\x69", 100, 1},                                  // 背景
    {"\x83\x8c\x83\x43\x83\x84\x81\x5b\x82\x50", 50, 1},          // レイヤー１
    {"\xca\xde\xb0\xbd\xde\xa4\xbc\xae\xdd", 75, 0},              // ﾊﾞｰｽﾞ､ｼｮﾝ (half-width)
    {"a\x83\x5c\x94\x5c\x95\x5c\x8f\x5c\x97\x5c\x90\x5c\x83\x5c\x94\x5c\x95\x5c\x8f\x5c\x97\x5c\x90\x5c"
     "\x83\x5c\x94\x5c\x95\x5c", 33, 1},                          // a + ソ能表十予申 ... (31 bytes)
    {"\x87\x40\x87\x90\xfb\xfc \xed\x40", 1, 1},                  // ①≒髙 纊
    {"C:\\work\\\x95\x5c", 0, 1},                                 // C:\work\表
    {"plain name", 99, 0},
};

int sample(const std::string& path) {
    constexpr int32_t w = 40, h = 24;
    LayerTempList layers;
    uint32_t seed = 12345;
    for (size_t k = 0; k < std::size(kSample); ++k) {
        auto* layer = new Layer;
        layer->resize(w, h, blend::Normal);
        layer->name = kSample[k].name;
        layer->opacity = kSample[k].opacity;
        layer->visible = kSample[k].visible;
        for (size_t i = 0; i < layer->pixels.size(); i += 4) {
            seed = seed * 1103515245u + 12345u;
            const uint32_t r = seed >> 8;
            const size_t x = i / 4 % w, y = i / 4 / w;
            layer->pixels[i + 0] = static_cast<uint8_t>(x * 6 + k * 20);
            layer->pixels[i + 1] = static_cast<uint8_t>(y * 10 + (r & 7));
            layer->pixels[i + 2] = static_cast<uint8_t>(r >> 8);
            // The bottom layer opaque; the others with transparent, partly and fully opaque areas.
            layer->pixels[i + 3] = k == 0 ? 255 : (x + k) % 5 == 0 ? 0 : (y % 3 == 0 ? 255 : static_cast<uint8_t>(r >> 16));
        }
        layers.add(layer);
    }
    DocumentInfo doc{w, h, 72};
    return writeWlxFile(path, layers, doc) ? 0 : 1;
}

int dump(const std::string& path, const std::string& dir) {
    LayerTempList layers;
    DocumentInfo doc;
    if (!readWlxFile(path, layers, doc)) {
        std::fprintf(stderr, "wlx_tool: cannot read %s\n", path.c_str());
        return 1;
    }
    std::ofstream list(dir + "/layers.tsv");
    list << "width\t" << doc.width << "\theight\t" << doc.height << "\n";
    for (size_t k = 0; k < layers.size(); ++k) {
        const Layer& layer = *layers[k];
        list << k << '\t' << utf8Name(layer.name) << '\t' << layer.opacity << '\t' << int(layer.visible) << '\t'
             << layer.blendMode << '\n';
        std::ofstream raw(dir + "/layer" + std::to_string(k) + ".rgba", std::ios::binary);
        for (size_t i = 0; i < layer.pixels.size(); i += 4) {
            const char rgba[4] = {static_cast<char>(layer.pixels[i + 2]), static_cast<char>(layer.pixels[i + 1]),
                                  static_cast<char>(layer.pixels[i]), static_cast<char>(layer.pixels[i + 3])};
            raw.write(rgba, 4);
        }
    }
    return list ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "sample" && argc == 3) return sample(argv[2]);
    if (command == "dump" && argc == 4) return dump(argv[2], argv[3]);
    std::fprintf(stderr, "usage: wlx_tool sample OUT.wlx | wlx_tool dump IN.wlx DIR\n");
    return 2;
}
