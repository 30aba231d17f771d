// End to end through the built program: WLX -> PSD -> WLX keeps everything both formats carry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"

namespace fs = std::filesystem;

namespace {

struct LayerPlan {
    std::string name;
    BlendMode mode;
    int32_t opacity;
    uint8_t visible;
    std::string nameAfter = {};  // the name both trips give, when not the name itself
};

Layer* makeLayer(const LayerPlan& plan, int32_t w, int32_t h, uint32_t seed) {
    auto* layer = new Layer;
    layer->resize(w, h, plan.mode);
    layer->name = plan.name;
    layer->opacity = plan.opacity;
    layer->visible = plan.visible;
    std::mt19937 rng(seed);
    for (size_t i = 0; i < layer->pixels.size(); i += 4) {
        const uint32_t r = rng();
        // Runs and noise both, so PackBits sees literals and runs; a quarter fully transparent.
        const bool flat = (i / 4) % 7 < 3;
        layer->pixels[i + 0] = flat ? 40 : static_cast<uint8_t>(r);
        layer->pixels[i + 1] = flat ? 90 : static_cast<uint8_t>(r >> 8);
        layer->pixels[i + 2] = flat ? 200 : static_cast<uint8_t>(r >> 16);
        layer->pixels[i + 3] = (r >> 24) % 4 == 0 ? 0 : static_cast<uint8_t>(r >> 24);
    }
    return layer;
}

int runProgram(const fs::path& source) {
    const std::string command =
        std::string("\"") + RIVODIV_EXE + "\" \"" + source.string() + "\" </dev/null 2>\"" +
        (source.parent_path() / "stderr.txt").string() + "\"";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class RoundTripThroughProgram : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("rivodiv-roundtrip-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(RoundTripThroughProgram, WlxToPsdToWlxKeepsWhatBothFormatsCarry) {
    const int32_t w = 37, h = 23;
    std::string longName;  // 20 x CP932 "表" (trail byte 5C): 31 bytes would cut inside a character
    for (int i = 0; i < 20; ++i) longName += "\x95\x5c";
    const std::string kept = longName.substr(0, 30);
    const std::string japanese = "\x83\x8C\x83\x43\x83\x84\x81\x5B";  // CP932 "レイヤー"
    const LayerPlan plans[] = {
        {"background", blend::Normal, 100, 1}, {japanese, blend::Multiply, 50, 1},
        {longName, blend::Screen, 33, 0, kept}, {"\xb1\xdd", blend::Overlay, 1, 1},  // half-width "ｱﾝ"
        {"", blend::SoftLight, 0, 1},          {"\x87\x90\xed\x40", blend::HardLight, 99, 1},  // codes CP932 has twice
        {"\\\x95\x5c", blend::ColorDodge, 75, 1},
        // Names older versions cut inside a character: the PSD names the characters before it.
        {"a\x81", blend::ColorBurn, 2, 1, "a"},  {longName.substr(0, 31), blend::Normal, 90, 1, kept},
        {"lddg", blend::LinearDodge, 64, 1},   {"lbrn", blend::LinearBurn, 100, 0},
        {"vivid", blend::VividLight, 10, 1},   {"linear", blend::LinearLight, 20, 1},
        {"pin", blend::PinLight, 30, 1},       {"diff", blend::Difference, 40, 1},
    };
    LayerTempList original;
    uint32_t seed = 7;
    for (const auto& plan : plans) original.add(makeLayer(plan, w, h, seed++));
    DocumentInfo doc{w, h, 72};
    const fs::path wlx = dir / "a" / "Pic.WLX";
    ASSERT_TRUE(writeWlxFile(wlx.string(), original, doc));

    ASSERT_EQ(runProgram(wlx), 0);
    const fs::path psd = dir / "a" / "Pic.psd";
    ASSERT_TRUE(fs::exists(psd)) << "no PSD written";

    LayerTempList fromPsd, alphas;
    DocumentInfo psdDoc;
    ASSERT_TRUE(readPsdFile(psd.string(), fromPsd, alphas, psdDoc));
    EXPECT_EQ(psdDoc.resolution, 72);
    EXPECT_TRUE(alphas.empty());

    // The PSD goes on to a second directory so its WLX does not meet the first one.
    const fs::path psd2 = dir / "b" / "Pic.psd";
    fs::copy_file(psd, psd2);
    ASSERT_EQ(runProgram(psd2), 0);
    LayerTempList back;
    DocumentInfo backDoc;
    ASSERT_TRUE(readWlxFile((dir / "b" / "Pic.wlx").string(), back, backDoc));

    for (const LayerTempList* list : {&fromPsd, &back}) {
        ASSERT_EQ(list->size(), original.size());
        for (size_t i = 0; i < original.size(); ++i) {
            const Layer& a = *original[i];
            const Layer& b = *(*list)[i];
            SCOPED_TRACE("layer " + std::to_string(i));
            // An unnamed layer above the second is named by the PSD reader.
            const std::string& after = plans[i].nameAfter.empty() ? a.name : plans[i].nameAfter;
            const std::string expectedName = a.name.empty() ? japanese : after;
            EXPECT_EQ(b.name, expectedName);
            EXPECT_EQ(b.width, w);
            EXPECT_EQ(b.height, h);
            EXPECT_EQ(b.blendMode, a.blendMode);
            EXPECT_EQ(b.opacity, a.opacity);
            EXPECT_EQ(b.visible, a.visible);
            EXPECT_TRUE(b.pixels == a.pixels) << "pixels differ";
        }
    }
    EXPECT_EQ(backDoc.width, w);
    EXPECT_EQ(backDoc.height, h);
}

// A document of width or height 0 holds no pixels, but it is a document: both directions convert it
// and keep its size and layers.
TEST_F(RoundTripThroughProgram, ZeroWidthOrHeightConvertsBothWays) {
    for (auto [w, h] : {std::pair<int32_t, int32_t>{0, 4}, {5, 0}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        fs::remove_all(dir / "a");
        fs::remove_all(dir / "b");
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        LayerTempList original;
        original.add(makeLayer({"one", blend::Normal, 100, 1}, w, h, 1));
        original.add(makeLayer({"two", blend::Multiply, 50, 0}, w, h, 2));
        const DocumentInfo doc{w, h, 72};
        ASSERT_TRUE(writeWlxFile((dir / "a" / "z.wlx").string(), original, doc));

        ASSERT_EQ(runProgram(dir / "a" / "z.wlx"), 0);
        EXPECT_EQ(readAll(dir / "a" / "stderr.txt"), "");
        LayerTempList fromPsd, alphas;
        DocumentInfo psdDoc;
        ASSERT_TRUE(readPsdFile((dir / "a" / "z.psd").string(), fromPsd, alphas, psdDoc));
        EXPECT_EQ(psdDoc.width, w);
        EXPECT_EQ(psdDoc.height, h);
        EXPECT_EQ(fromPsd.size(), 2u);

        fs::copy_file(dir / "a" / "z.psd", dir / "b" / "z.psd");
        ASSERT_EQ(runProgram(dir / "b" / "z.psd"), 0);
        EXPECT_EQ(readAll(dir / "b" / "stderr.txt"), "");
        LayerTempList back;
        DocumentInfo backDoc;
        ASSERT_TRUE(readWlxFile((dir / "b" / "z.wlx").string(), back, backDoc));
        EXPECT_EQ(backDoc.width, w);
        EXPECT_EQ(backDoc.height, h);
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back[1]->name, "two");
        EXPECT_EQ(back[1]->visible, 0);
    }
}

}  // namespace
