#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxReader.h"

namespace {

struct CorpusEntry {
    std::string path;
    std::string expect;  // "convert", "refuse" or "no-crash"
    size_t layers = 0;   // layers of the WLX file written; 0 when not pinned
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
        entries.push_back({line.substr(0, firstTab), line.substr(lastTab + 1), 0});
    }
    return entries;
}

// The shared index with the repository's own outcomes in place of its: tests/data/corpus-outcomes.tsv
// holds path, outcome and layer count (0 when not pinned) for the files this reader now treats
// differently; # lines are comments.
std::vector<CorpusEntry> loadExpectations(const std::filesystem::path& index) {
    std::vector<CorpusEntry> entries = loadIndex(index);
    std::ifstream in(RIVODIV_SOURCE_DIR "/tests/data/corpus-outcomes.tsv");
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (header) {
            header = false;
            continue;
        }
        std::istringstream fields(line);
        CorpusEntry own;
        std::getline(fields, own.path, '\t');
        std::getline(fields, own.expect, '\t');
        fields >> own.layers;
        auto it = std::find_if(entries.begin(), entries.end(), [&](const CorpusEntry& e) { return e.path == own.path; });
        EXPECT_NE(it, entries.end()) << own.path << " is not in the shared index";
        if (it != entries.end()) *it = own;
    }
    return entries;
}

// The corpus lives beside the checkout, and a user's clone has none: then these tests skip, unless
// RIVODIV_REQUIRE_CORPUS is set (as in CI), where a missing corpus must not pass unnoticed.
class PsdCorpusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::is_regular_file(corpus / "index.tsv")) return;
        const std::string where = corpus.lexically_normal().string();
        const char* require = std::getenv("RIVODIV_REQUIRE_CORPUS");
        if (require != nullptr && *require != '\0' && std::string(require) != "0")
            FAIL() << "the PSD corpus is missing (RIVODIV_REQUIRE_CORPUS is set): expected " << where
                   << "/index.tsv";
        GTEST_SKIP() << "no PSD corpus: put it at " << where << " (index.tsv and its files) to run this test";
    }
    const std::filesystem::path corpus = RIVODIV_CORPUS_DIR;
};

TEST_F(PsdCorpusTest, RealFilesConvertOrAreRefusedAsIndexed) {
    const std::filesystem::path index = corpus / "index.tsv";
    const std::vector<CorpusEntry> entries = loadExpectations(index);
    ASSERT_FALSE(entries.empty()) << index.string() << " lists no files";

    std::ostringstream offending;
    int converted = 0;
    int refused = 0;
    for (const CorpusEntry& entry : entries) {
        const std::string path = (corpus / entry.path).string();
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        Conversion conversion;
        std::FILE* file = std::fopen(path.c_str(), "rb");
        const bool ok = file != nullptr && readPsd(file, layers, alphaChannels, doc, conversion);
        if (file != nullptr) std::fclose(file);
        if (!ok) layers.clear();
        (ok ? converted : refused) += 1;
        if (entry.expect == "convert") {
            if (!ok) offending << "\n  not read: " << entry.path << " (" << conversion.reason() << ")";
            else if (layers.empty()) offending << "\n  no layers: " << entry.path;
            else if (entry.layers != 0 && layers.size() != entry.layers)
                offending << "\n  " << layers.size() << " layers instead of " << entry.layers << ": " << entry.path;
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

// The whole program over copies of PSD files in one run: every convertible file gets a WLX file that
// reads back (with the expected number of layers, where one is given), every refused one the
// read-failure message and no file, and nothing crashes. Large-document (.psb) files go in under
// psb/, so that name.psb and name.psd do not both write name.wlx. Returns what went wrong, empty
// when nothing did.
std::string convertInOneRun(const std::filesystem::path& from, const std::vector<CorpusEntry>& entries,
                            const std::string& scratchName) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / (scratchName + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    std::string command = std::string("LC_ALL=C.UTF-8 \"") + RIVODIV_EXE + "\"";
    const auto copyOf = [&](const CorpusEntry& entry) {
        return fs::path(entry.path).extension() == ".psb" ? dir / "psb" / entry.path : dir / entry.path;
    };
    for (const CorpusEntry& entry : entries) {
        const fs::path copy = copyOf(entry);
        fs::create_directories(copy.parent_path());
        fs::copy_file(from / entry.path, copy);
        command += " \"" + copy.string() + "\"";
    }
    const fs::path errors = dir / "stderr.txt";
    command += " </dev/null 2>\"" + errors.string() + "\"";
    const int status = std::system(command.c_str());
    if (!WIFEXITED(status)) return "\n  the program did not exit (status " + std::to_string(status) + ")";

    std::ifstream in(errors);
    const std::string messages((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string readFailed = "rivodiv: cannot read file: ";
    std::ostringstream offending;
    // Exit code 1 tells that some file failed to convert, 0 that none did.
    const int failedExit = messages.find("rivodiv: cannot ") != std::string::npos ? 1 : 0;
    if (WEXITSTATUS(status) != failedExit)
        offending << "\n  exit code " << WEXITSTATUS(status) << " instead of " << failedExit;
    for (const CorpusEntry& entry : entries) {
        const fs::path copy = copyOf(entry);
        fs::path wlx = copy;
        wlx.replace_extension(".wlx");
        const bool reported = messages.find(readFailed + copy.string() + "\n") != std::string::npos;
        if (entry.expect == "convert") {
            LayerTempList layers;
            DocumentInfo doc;
            if (reported) offending << "\n  read failure reported: " << entry.path;
            else if (!readWlxFile(wlx.string(), layers, doc) || layers.empty())
                offending << "\n  no readable WLX written: " << entry.path;
            else if (entry.layers != 0 && layers.size() != entry.layers)
                offending << "\n  " << layers.size() << " layers instead of " << entry.layers << ": " << entry.path;
        } else if (entry.expect == "refuse") {
            if (!reported) offending << "\n  no read failure reported: " << entry.path;
            if (fs::exists(wlx)) offending << "\n  WLX written for a refused file: " << entry.path;
        }
    }
    if (offending.str().empty()) fs::remove_all(dir);
    else offending << "\nmessages:\n" << messages;
    return offending.str();
}

TEST_F(PsdCorpusTest, ProgramConvertsOrRefusesEveryFileInOneRun) {
    const std::string offending = convertInOneRun(corpus, loadExpectations(corpus / "index.tsv"), "rivodiv-corpus");
    EXPECT_TRUE(offending.empty()) << "corpus files with the wrong outcome:" << offending;
}

// A few corpus files carried in the repository, so that a clone tests real-world PSD files with
// nothing beside it.
TEST(PsdSampleTest, ProgramConvertsOrRefusesTheBundledFiles) {
    const std::vector<CorpusEntry> samples = {
        {"2layers.psd", "convert", 2},             // PackBits layer channels
        {"4x4_8bit_rgb.psd", "convert", 2},        // raw layer channels, a layer mask
        {"0layers_tblocks.psd", "convert", 1},     // no layers: one made from the merged image
        {"mask_parameters.psd", "convert", 2},     // a user mask with a separate real mask
        {"hidden-groups.psd", "convert", 3},       // two groups (one hidden) around three layers
        {"4x4_8bit_grayscale.psd", "convert", 2},  // grayscale mode
    };
    const std::string offending =
        convertInOneRun(RIVODIV_SOURCE_DIR "/tests/data/psd", samples, "rivodiv-samples");
    EXPECT_TRUE(offending.empty()) << "sample files with the wrong outcome:" << offending;
}

}  // namespace
