// A written PSD read by other PSD software: psd-tools (Debian python3-psd-tools) must see the same
// canvas, layers, attributes and pixels, and the merged image stored in the file; ImageMagick
// (Debian imagemagick) must open it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"

namespace {

struct Shell {
    int status = -1;
    std::string output;
};

// Runs a shell command, capturing standard output and standard error together.
Shell run(const std::string& command) {
    Shell r;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
    r.status = pclose(pipe);
    return r;
}

std::string shellQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

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
            p[0] = static_cast<uint8_t>(x * 4 + k * 30);          // blue
            p[1] = static_cast<uint8_t>(y * 7 + k * 11);          // green
            p[2] = static_cast<uint8_t>((x + y) * 3 + k * 50);    // red
            if (k == 0) p[3] = 255;
            else if (x < 8 && y < 6) p[3] = 0;
            else if (x % 13 == 0) p[3] = 255;
            else p[3] = static_cast<uint8_t>((x * 5 + y * 3 + k * 17) % 256);
        }
    }
}

struct LayerModel {
    std::string name;
    BlendMode mode;
    int32_t opacity;
    bool visible;
    bool locked;
};

class PsdInteropTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "rivodiv_interop_" + std::to_string(getpid()) + "/";
        ASSERT_EQ(run("mkdir -p " + shellQuoted(dir_)).status, 0);
    }
    void TearDown() override {
        if (!HasFailure()) run("rm -rf " + shellQuoted(dir_));
    }
    std::string dir_;

    // Writes the expectations (raw RGBA per layer and RGB merged, top row first) and has psd-tools
    // and ImageMagick read the file.
    void expectPeersRead(const std::string& psdPath, const LayerTempList& layers, const dib24& canvas) {
        const int32_t w = canvas.width, h = canvas.height;
        std::string json = "{\"width\": " + std::to_string(w) + ", \"height\": " + std::to_string(h) + ", \"layers\": [";
        for (size_t i = 0; i < layers.size(); ++i) {
            const Layer& layer = *layers[i];
            std::vector<uint8_t> rgba(layer.pixels.size());
            for (size_t p = 0; p < rgba.size(); p += 4) {
                rgba[p] = layer.pixels[p + 2];
                rgba[p + 1] = layer.pixels[p + 1];
                rgba[p + 2] = layer.pixels[p];
                rgba[p + 3] = layer.pixels[p + 3];
            }
            const std::string pixels = dir_ + "layer" + std::to_string(i) + ".rgba";
            writeBytes(pixels, rgba);
            const int opacityByte = layer.opacity >= 100 ? 255 : static_cast<int>(layer.opacity * 0.01 * 255.0 + 0.5);
            json += std::string(i ? ", " : "") + "{\"name_hex\": \"" + hexOf(layer.name) +
                    "\", \"opacity\": " + std::to_string(opacityByte) +
                    ", \"visible\": " + (layer.visible ? "true" : "false") + ", \"blend_key\": \"" +
                    psd::blendKeyFor(layer.blendMode) + "\", \"pixels\": \"" + pixels + "\"}";
        }
        std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* row = canvas.bits + static_cast<size_t>(h - 1 - y) * canvas.stride;
            for (int32_t x = 0; x < w; ++x) {
                uint8_t* out = rgb.data() + (static_cast<size_t>(y) * w + x) * 3;
                out[0] = row[x * 3 + 2];
                out[1] = row[x * 3 + 1];
                out[2] = row[x * 3];
            }
        }
        const std::string merged = dir_ + "merged.rgb";
        writeBytes(merged, rgb);
        json += "], \"merged\": \"" + merged + "\"}\n";
        const std::string expectations = dir_ + "expected.json";
        std::ofstream(expectations) << json;

        const Shell check = run("/usr/bin/python3 " + shellQuoted(std::string(RIVODIV_SOURCE_DIR) + "/tests/interop/check_psd.py") +
                              " " + shellQuoted(psdPath) + " " + shellQuoted(expectations));
        EXPECT_EQ(check.status, 0) << check.output;

        const Shell size = run("identify -format '%w %h\\n' " + shellQuoted(psdPath + "[0]"));
        EXPECT_EQ(size.status, 0) << size.output;
        EXPECT_EQ(size.output, std::to_string(w) + " " + std::to_string(h) + "\n");
        // ImageMagick's first image of a PSD is the stored merged image.
        const Shell pixels = run("convert " + shellQuoted(psdPath + "[0]") + " -depth 8 rgb:- | cmp - " + shellQuoted(merged));
        EXPECT_EQ(pixels.status, 0) << "ImageMagick's merged image differs: " << pixels.output;
    }
};

TEST_F(PsdInteropTest, PsdToolsAndImageMagickReadWhatWeWrite) {
    const Shell psdTools = run("/usr/bin/python3 -c 'import psd_tools, numpy'");
    ASSERT_EQ(psdTools.status, 0) << "/usr/bin/python3 cannot import psd_tools: install the Debian package "
                                     "python3-psd-tools\n"
                                  << psdTools.output;
    const Shell identify = run("command -v identify");
    ASSERT_EQ(identify.status, 0) << "ImageMagick's identify is missing: install the Debian package imagemagick";

    const int32_t w = 61, h = 37;
    DocumentInfo doc;
    doc.width = w;
    doc.height = h;
    const LayerModel models[] = {
        {"\x94\x77\x8C\x69", blend::Normal, 100, true, false},              // 背景 in CP932
        {"\x95\x5C\x83\x8C\x83\x43\x83\x84\x81\x5B", blend::Multiply, 50, true, true},  // 表レイヤー
        {"hidden", blend::Screen, 100, false, false},
        {"overlay 33", blend::Overlay, 33, true, false},
        {"soft", blend::SoftLight, 80, true, false},
        {"exclusion", blend::Exclusion, 100, true, false},
        {"lum", blend::Luminosity, 1, true, false},
    };
    LayerTempList layers, alphas;
    for (size_t i = 0; i < std::size(models); ++i) {
        auto* layer = new Layer;
        layer->resize(w, h, models[i].mode);
        layer->name = models[i].name;
        layer->opacity = models[i].opacity;
        layer->visible = models[i].visible ? 1 : 0;
        layer->alphaLocked = models[i].locked ? 1 : 0;
        paintPattern(*layer, static_cast<int>(i));
        layers.add(layer);
    }
    dib24 canvas;
    canvas.create(w, h, 72);
    canvas.fill(0xFFFFFF);
    for (int32_t y = 0; y < h; ++y) {  // bottom-up rows
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = canvas.bits + static_cast<size_t>(y) * canvas.stride + x * 3;
            p[0] = static_cast<uint8_t>(x * 3);
            p[1] = static_cast<uint8_t>(y * 5);
            p[2] = x > w / 2 ? 200 : static_cast<uint8_t>(x ^ y);
        }
    }

    const std::string psdPath = dir_ + "model.psd";
    ASSERT_TRUE(writePsdFile(psdPath, canvas, layers, alphas, doc));
    expectPeersRead(psdPath, layers, canvas);
}

// The whole WLX -> PSD path of the program: layers, attributes and the merged image it composites.
TEST_F(PsdInteropTest, PeersReadWhatTheProgramMakesOfAWlxDocument) {
    const int32_t w = 53, h = 29;
    const LayerModel models[] = {
        {"\x94\x77\x8C\x69", blend::Normal, 100, true, false},
        {"mul", blend::Multiply, 50, true, false},
        {"hidden", blend::Screen, 100, false, false},
        {"\x95\x5C", blend::Overlay, 33, true, false},  // 表: trail byte 0x5C
        {"soft", blend::SoftLight, 80, true, false},
        {"hard", blend::HardLight, 64, true, false},
        {"dodge", blend::ColorDodge, 90, true, false},
        {"vivid", blend::VividLight, 70, true, false},
        {"diff", blend::Difference, 1, true, false},
    };
    LayerTempList layers;
    for (size_t i = 0; i < std::size(models); ++i) {
        auto* layer = new Layer;
        layer->resize(w, h, models[i].mode);
        layer->name = models[i].name;
        layer->opacity = models[i].opacity;
        layer->visible = models[i].visible ? 1 : 0;
        paintPattern(*layer, static_cast<int>(i));
        layers.add(layer);
    }
    const std::string wlxPath = dir_ + "doc.wlx";
    ASSERT_TRUE(writeWlxFile(wlxPath, layers, DocumentInfo{w, h, 72}));
    const Shell converted = run(shellQuoted(RIVODIV_EXE) + " " + shellQuoted(wlxPath) + " </dev/null");
    ASSERT_EQ(converted.status, 0) << converted.output;
    EXPECT_EQ(converted.output, "");

    // What the program read, composited bottom first onto white: the merged image to expect.
    LayerTempList read;
    DocumentInfo doc;
    ASSERT_TRUE(readWlxFile(wlxPath, read, doc));
    dib24 canvas;
    canvas.create(w, h, 0);
    canvas.fill(0xFFFFFF);
    for (const Layer* layer : read) layer->compositeOnto(canvas);
    expectPeersRead(dir_ + "doc.psd", read, canvas);
}

}  // namespace
