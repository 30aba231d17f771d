// The program's output must not depend on how many threads it runs with: both conversions of a
// document with every blend mode, run through the conversion loop with pools of 1, 2, 3 and 8
// threads. Each thread count streams the layers through its stages in windows of its own; the
// bytes are those of the plain writers, and the executable agrees.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "composite/Composite.h"
#include "driver/Converter.h"
#include "formats/psd/PsdReader.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxReader.h"
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

// Answers every question with OK and fails the test on any other message.
class QuietUi : public UserInterface {
public:
    using UserInterface::showMessage;
    int showMessage(const std::string&, const std::string& text, uint32_t flags, const std::string& reason) override {
        ADD_FAILURE() << text << " " << reason << " " << flags;
        return kAnswerOk;
    }
    std::string chooseFile(const std::string&) override { return {}; }
};

// Converts source in a directory of its own through the loop with the given thread count; the
// output's bytes.
std::string convertWith(const testfiles::TempDir& dir, const std::string& source, const std::string& ext,
                        size_t threads) {
    const std::string run = dir.at(std::to_string(threads) + ext);
    const std::string input = run + "/doc" + ext;
    EXPECT_EQ(testfiles::runShell("mkdir " + shellQuoted(run)).status, 0);
    testfiles::writeFile(input, readFile(source));
    QuietUi ui;
    ThreadPool pool(threads);
    RunContext context{ui, PathSyntax::posix(CodePageBytes::none())};
    context.pool = &pool;
    EXPECT_EQ(runConversion({input}, context), 0);
    return readFile(run + (ext == ".wlx" ? "/doc.psd" : "/doc.wlx"));
}

// The executable with RIVODIV_THREADS; the output's bytes.
std::string convertWithProgram(const testfiles::TempDir& dir, const std::string& source, const std::string& ext) {
    const std::string run = dir.at("exe" + ext);
    const std::string input = run + "/doc" + ext;
    EXPECT_EQ(runShell("mkdir " + shellQuoted(run) + " && cp " + shellQuoted(source) + " " + shellQuoted(input))
                  .status,
              0);
    const auto r = runShell("RIVODIV_THREADS=2 " + shellQuoted(RIVODIV_EXE) + " " + shellQuoted(input) + " </dev/null");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    return readFile(run + (ext == ".wlx" ? "/doc.psd" : "/doc.wlx"));
}

TEST(ThreadsIdentityTest, BothConversionsGiveThePlainWritersBytesWithAnyThreadCount) {
    testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    writeDocument(dir.at("doc.wlx"));
    // The plain path: every layer held, composited onto white, then written.
    LayerTempList layers, alphas;
    DocumentInfo doc;
    ASSERT_TRUE(readWlxFile(dir.at("doc.wlx"), layers, doc));
    dib24 canvas;
    ASSERT_TRUE(canvas.create(doc.width, doc.height, 0));
    canvas.fill(0xffffff);
    for (const Layer* layer : layers) compositeOnto(*layer, canvas);
    ASSERT_TRUE(writePsdFile(dir.at("doc.psd"), canvas, layers, alphas, doc));
    const std::string psd = readFile(dir.at("doc.psd"));
    layers.clear();
    ASSERT_TRUE(readPsdFile(dir.at("doc.psd"), layers, alphas, doc));
    ASSERT_TRUE(writeWlxFile(dir.at("plain.wlx"), layers, doc));
    const std::string wlx = readFile(dir.at("plain.wlx"));
    for (size_t threads : {1, 2, 3, 8}) {
        EXPECT_TRUE(convertWith(dir, dir.at("doc.wlx"), ".wlx", threads) == psd) << threads << " threads, WLX -> PSD";
        EXPECT_TRUE(convertWith(dir, dir.at("doc.psd"), ".psd", threads) == wlx) << threads << " threads, PSD -> WLX";
    }
    EXPECT_TRUE(convertWithProgram(dir, dir.at("doc.wlx"), ".wlx") == psd) << "the program, WLX -> PSD";
    EXPECT_TRUE(convertWithProgram(dir, dir.at("doc.psd"), ".psd") == wlx) << "the program, PSD -> WLX";
}

}  // namespace
