// The program's output must not depend on how many threads it runs with: both conversions of a
// document with every blend mode, run through the executable with RIVODIV_THREADS 1, 2 and 3. Each
// thread count compresses the PSD's layers its own way while reading; the bytes are the plain
// writer's.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxWriter.h"
#include "support/TestFiles.h"

namespace {

using testfiles::readFile;
using testfiles::runShell;
using testfiles::shellQuoted;

// Odd sizes, so that neither the row bands nor the layer windows come out even; flat areas, noise
// and partial alpha in every layer.
void writeDocument(const std::string& path) {
    constexpr int32_t kWidth = 301, kHeight = 203;
    std::mt19937 rng(7);
    LayerTempList layers;
    for (BlendMode mode = 0; mode < blend::ModeCount; mode += 2) {
        auto* layer = new Layer;
        layer->resize(kWidth, kHeight, mode);
        layer->opacity = 40 + mode * 2;
        layer->visible = mode != 6;
        layer->name = "layer " + std::to_string(mode);
        for (size_t i = 0; i < layer->pixels.size(); i += 4) {
            const size_t y = i / 4 / kWidth;
            const bool flat = (y / 16 + mode) % 3 == 0;
            for (int c = 0; c < 3; ++c) layer->pixels[i + c] = static_cast<uint8_t>(flat ? 40 * c + mode : rng());
            layer->pixels[i + 3] = static_cast<uint8_t>(flat ? 255 : rng() % 3 == 0 ? 0 : rng());
        }
        layers.add(layer);
    }
    ASSERT_TRUE(writeWlxFile(path, layers, DocumentInfo{kWidth, kHeight, 72}));
}

// Converts a copy of source in a directory of its own with the given thread count; the output's bytes.
std::string convertWith(const testfiles::TempDir& dir, const std::string& source, const std::string& ext,
                        int threads) {
    const std::string run = dir.at(std::to_string(threads) + ext);
    const std::string input = run + "/doc" + ext;
    EXPECT_EQ(runShell("mkdir " + shellQuoted(run) + " && cp " + shellQuoted(source) + " " + shellQuoted(input))
                  .status,
              0);
    const auto r = runShell("RIVODIV_THREADS=" + std::to_string(threads) + " " + shellQuoted(RIVODIV_EXE) + " " +
                            shellQuoted(input) + " </dev/null");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    return readFile(run + (ext == ".wlx" ? "/doc.psd" : "/doc.wlx"));
}

TEST(ThreadsIdentityTest, BothConversionsGiveTheSameBytesWithAnyThreadCount) {
    testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    writeDocument(dir.at("doc.wlx"));
    const std::string psd = convertWith(dir, dir.at("doc.wlx"), ".wlx", 1);
    ASSERT_NE(psd, "<missing>");
    testfiles::writeFile(dir.at("doc.psd"), psd);
    const std::string wlx = convertWith(dir, dir.at("doc.psd"), ".psd", 1);
    ASSERT_NE(wlx, "<missing>");
    LayerTempList layers, alphas;
    DocumentInfo doc;
    ASSERT_TRUE(readPsdFile(dir.at("doc.psd"), layers, alphas, doc));
    ASSERT_TRUE(writeWlxFile(dir.at("plain.wlx"), layers, doc));
    EXPECT_TRUE(readFile(dir.at("plain.wlx")) == wlx) << "1 thread, PSD -> WLX";
    for (int threads : {2, 3}) {
        EXPECT_TRUE(convertWith(dir, dir.at("doc.wlx"), ".wlx", threads) == psd) << threads << " threads, WLX -> PSD";
        EXPECT_TRUE(convertWith(dir, dir.at("doc.psd"), ".psd", threads) == wlx) << threads << " threads, PSD -> WLX";
    }
}

}  // namespace
