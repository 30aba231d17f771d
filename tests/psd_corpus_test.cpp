#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "formats/psd/PsdReader.h"

namespace {

struct CorpusEntry {
    std::string path;
    std::string expect;  // "convert", "refuse" or "no-crash"
};

// index.tsv: a header line, then tab-separated rows whose first column is the path and last the
// expected outcome.
std::vector<CorpusEntry> loadIndex(const std::filesystem::path& index) {
    std::vector<CorpusEntry> entries;
    std::ifstream in(index);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        const size_t firstTab = line.find('\t');
        const size_t lastTab = line.rfind('\t');
        if (firstTab == std::string::npos) continue;
        entries.push_back({line.substr(0, firstTab), line.substr(lastTab + 1)});
    }
    return entries;
}

TEST(PsdCorpusTest, RealFilesConvertOrAreRefusedAsIndexed) {
    const std::filesystem::path corpus = RIVODIV_CORPUS_DIR;
    const std::filesystem::path index = corpus / "index.tsv";
    ASSERT_TRUE(std::filesystem::is_regular_file(index))
        << "the PSD corpus is missing: expected " << index.string();
    const std::vector<CorpusEntry> entries = loadIndex(index);
    ASSERT_FALSE(entries.empty()) << index.string() << " lists no files";

    std::ostringstream offending;
    int converted = 0;
    int refused = 0;
    for (const CorpusEntry& entry : entries) {
        const std::string path = (corpus / entry.path).string();
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        const bool ok = readPsdFile(path, layers, alphaChannels, doc);
        (ok ? converted : refused) += 1;
        if (entry.expect == "convert") {
            if (!ok) offending << "\n  not read: " << entry.path;
            else if (layers.empty()) offending << "\n  no layers: " << entry.path;
            for (const Layer* layer : layers) {
                if (layer->width != doc.width || layer->height != doc.height) {
                    offending << "\n  layer not canvas-sized: " << entry.path;
                    break;
                }
            }
        } else if (entry.expect == "refuse") {
            if (ok) offending << "\n  read but should be refused: " << entry.path;
            if (!layers.empty()) offending << "\n  refused but layers left: " << entry.path;
        } else if (entry.expect != "no-crash") {
            offending << "\n  unknown expectation '" << entry.expect << "': " << entry.path;
        }
    }
    EXPECT_TRUE(offending.str().empty()) << "corpus files with the wrong outcome:" << offending.str();
    std::cout << "[ corpus   ] " << entries.size() << " files: " << converted << " read, " << refused
              << " refused\n";
}

}  // namespace
