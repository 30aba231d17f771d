// Every input a fuzz target once found something with, replayed through the same reader: it must
// fail cleanly or give whole layers (the sanitizer build catches the rest).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxReader.h"

namespace {

const std::filesystem::path kFindings = std::filesystem::path(RIVODIV_SOURCE_DIR) / "tests/data/fuzz";

bool wholeLayers(const LayerTempList& layers, const DocumentInfo& doc) {
    for (const Layer* layer : layers) {
        if (layer->pixels.size() != Layer::pixelBytes(doc.width, doc.height)) return false;
    }
    return true;
}

TEST(FuzzRegressionTest, EveryKeptFindingReadsCleanly) {
    int replayed = 0;
    for (const char* target : {"fuzz_read_psd", "fuzz_read_wlx"}) {
        if (!std::filesystem::is_directory(kFindings / target)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(kFindings / target)) {
            SCOPED_TRACE(entry.path().string());
            LayerTempList layers, alphas;
            DocumentInfo doc;
            if (std::string(target) == "fuzz_read_psd") {
                readPsdFile(entry.path().string(), layers, alphas, doc);
            } else {
                readWlxFile(entry.path().string(), layers, doc);
            }
            EXPECT_TRUE(wholeLayers(layers, doc) && wholeLayers(alphas, doc));
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}

}  // namespace
