// A PSD the program makes from a WLX document, read by other PSD software: psd-tools (Debian
// python3-psd-tools) must see the same canvas, layers, attributes and pixels, and the merged image
// stored in the file; ImageMagick (Debian imagemagick) must open it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "support/TestFiles.h"

namespace {

using testfiles::runShell;
using testfiles::shellQuoted;

std::string hexOf(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Deterministic pixels with gradients, flat runs and a fully transparent block; layer 0 is opaque.
void paintPattern(Layer& layer, int k) {
    const int32_t w = layer.width, h = layer.height;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = layer.pixels.data() + (static_cast<size_t>(y) * w + x) * 4;
            p[0] = static_cast<uint8_t>(x * 4 + k * 30);        // blue
            p[1] = static_cast<uint8_t>(y * 7 + k * 11);        // green
            p[2] = static_cast<uint8_t>((x + y) * 3 + k * 50);  // red
            if (k == 0) p[3] = 255;
            else if (x < 8 && y < 6) p[3] = 0;
            else if (x % 13 == 0) p[3] = 255;
            else p[3] = static_cast<uint8_t>((x * 5 + y * 3 + k * 17) % 256);
        }
    }
}

// Writes the expectations (raw RGBA per layer, top row first) into dir and has psd-tools and
// ImageMagick read the file. The two must agree on the stored merged image, and where only the
// opaque bottom layer shows (the top-left 8 x 6 pixels) it must be that layer's colours.
void expectPeersRead(const std::string& dir, const std::string& psdPath, const LayerTempList& layers,
                     const std::vector<std::string>& blendKeys, int32_t w, int32_t h) {
    std::string json = "{\"width\": " + std::to_string(w) + ", \"height\": " + std::to_string(h) + ", \"layers\": [";
    for (size_t i = 0; i < layers.size(); ++i) {
        const Layer& layer = *layers[i];
        std::string rgba(layer.pixels.size(), '\0');
        for (size_t p = 0; p < rgba.size(); p += 4) {
            rgba[p] = static_cast<char>(layer.pixels[p + 2]);
            rgba[p + 1] = static_cast<char>(layer.pixels[p + 1]);
            rgba[p + 2] = static_cast<char>(layer.pixels[p]);
            rgba[p + 3] = static_cast<char>(layer.pixels[p + 3]);
        }
        const std::string pixels = dir + "/layer" + std::to_string(i) + ".rgba";
        testfiles::writeFile(pixels, rgba);
        const int opacityByte = layer.opacity >= 100 ? 255 : static_cast<int>(layer.opacity * 0.01 * 255.0 + 0.5);
        json += std::string(i ? ", " : "") + "{\"name_hex\": \"" + hexOf(layer.name) +
                "\", \"opacity\": " + std::to_string(opacityByte) +
                ", \"visible\": " + (layer.visible ? "true" : "false") + ", \"blend_key\": \"" + blendKeys[i] +
                "\", \"pixels\": \"" + pixels + "\"}";
    }

    const auto size = runShell("identify -format '%w %h\\n' " + shellQuoted(psdPath + "[0]"));
    EXPECT_EQ(size.status, 0) << size.output;
    EXPECT_EQ(size.output, std::to_string(w) + " " + std::to_string(h) + "\n");
    // ImageMagick's first image of a PSD is the stored merged image.
    const std::string merged = dir + "/merged.rgb";
    const auto converted = runShell("convert " + shellQuoted(psdPath + "[0]") + " -depth 8 rgb:" + shellQuoted(merged));
    ASSERT_EQ(converted.status, 0) << converted.output;
    const std::string rgb = testfiles::readFile(merged);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3);
    const Layer& bottom = *layers[0];
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(static_cast<uint8_t>(rgb[(static_cast<size_t>(y) * w + x) * 3 + c]),
                          bottom.pixels[(static_cast<size_t>(y) * w + x) * 4 + 2 - c])
                    << "merged pixel " << x << "," << y;

    json += "], \"merged\": \"" + merged + "\"}\n";
    const std::string expectations = dir + "/expected.json";
    testfiles::writeFile(expectations, json);
    const auto check = runShell("/usr/bin/python3 " +
                                shellQuoted(std::string(RIVODIV_SOURCE_DIR) + "/tests/interop/check_psd.py") + " " +
                                shellQuoted(psdPath) + " " + shellQuoted(expectations));
    EXPECT_EQ(check.status, 0) << check.output;
}

// The whole WLX -> PSD path of the program: layers, attributes and the merged image it composites.
TEST(PsdInteropTest, PeersReadWhatTheProgramMakesOfAWlxDocument) {
    const auto psdTools = runShell("/usr/bin/python3 -c 'import psd_tools, numpy'");
    ASSERT_EQ(psdTools.status, 0) << "/usr/bin/python3 cannot import psd_tools: install the Debian package "
                                     "python3-psd-tools\n"
                                  << psdTools.output;
    ASSERT_EQ(runShell("command -v identify").status, 0)
        << "ImageMagick's identify is missing: install the Debian package imagemagick";
    const testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());

    const int32_t w = 53, h = 29;
    const struct {
        std::string name;
        BlendMode mode;
        std::string key;  // the key peers read for the mode
        int32_t opacity;
        uint8_t visible;
    } models[] = {
        {"\x94\x77\x8C\x69", blend::Normal, "norm", 100, 1},  // 背景 in CP932
        {"mul", blend::Multiply, "mul ", 50, 1},
        {"hidden", blend::Screen, "scrn", 100, 0},
        {"\x95\x5C", blend::Overlay, "over", 33, 1},  // 表: trail byte 0x5C
        {"soft", blend::SoftLight, "sLit", 80, 1},
        {"hard", blend::HardLight, "hLit", 64, 1},
        {"dodge", blend::ColorDodge, "div ", 90, 1},
        {"vivid", blend::VividLight, "vLit", 70, 1},
        {"diff", blend::Difference, "diff", 1, 1},
    };
    LayerTempList layers;
    std::vector<std::string> keys;
    for (size_t i = 0; i < std::size(models); ++i) {
        keys.push_back(models[i].key);
        auto* layer = new Layer;
        layer->resize(w, h, models[i].mode);
        layer->name = models[i].name;
        layer->opacity = models[i].opacity;
        layer->visible = models[i].visible;
        paintPattern(*layer, static_cast<int>(i));
        layers.add(layer);
    }
    const std::string wlxPath = dir.at("doc.wlx");
    ASSERT_TRUE(writeWlxFile(wlxPath, layers, DocumentInfo{w, h, 72}));
    const auto converted = runShell(shellQuoted(RIVODIV_EXE) + " " + shellQuoted(wlxPath) + " </dev/null");
    ASSERT_EQ(converted.status, 0) << converted.output;
    EXPECT_EQ(converted.output, "");

    LayerTempList read;
    DocumentInfo doc;
    ASSERT_TRUE(readWlxFile(wlxPath, read, doc));
    expectPeersRead(dir.path(), dir.at("doc.psd"), read, keys, w, h);
}

}  // namespace
