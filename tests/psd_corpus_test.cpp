#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxReader.h"

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

// The whole program over a copy of the corpus in one run: every convertible file gets a WLX file
// that reads back, every refused one the read-failure message and no file, and nothing crashes.
// Large-document (.psb) files go in as name.psb.psd so that their content reaches the reader.
TEST(PsdCorpusTest, ProgramConvertsOrRefusesEveryFileInOneRun) {
    namespace fs = std::filesystem;
    const fs::path corpus = RIVODIV_CORPUS_DIR;
    ASSERT_TRUE(fs::is_regular_file(corpus / "index.tsv")) << "the PSD corpus is missing: " << corpus.string();
    const std::vector<CorpusEntry> entries = loadIndex(corpus / "index.tsv");
    const fs::path dir = fs::temp_directory_path() / ("rivodiv-corpus-" + std::to_string(getpid()));
    fs::remove_all(dir);
    std::string command = std::string("\"") + RIVODIV_EXE + "\"";
    const auto copyOf = [&](const CorpusEntry& entry) {
        fs::path copy = dir / entry.path;
        if (copy.extension() != ".psd") copy += ".psd";
        return copy;
    };
    for (const CorpusEntry& entry : entries) {
        const fs::path copy = copyOf(entry);
        fs::create_directories(copy.parent_path());
        fs::copy_file(corpus / entry.path, copy);
        command += " \"" + copy.string() + "\"";
    }
    const fs::path errors = dir / "stderr.txt";
    command = "LC_ALL=C.UTF-8 " + command + " </dev/null 2>\"" + errors.string() + "\"";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "the program did not exit normally";
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::ifstream in(errors);
    const std::string messages((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string readFailed = "rivodiv: cannot read file: ";
    std::ostringstream offending;
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
        } else if (entry.expect == "refuse") {
            if (!reported) offending << "\n  no read failure reported: " << entry.path;
            if (fs::exists(wlx)) offending << "\n  WLX written for a refused file: " << entry.path;
        }
    }
    EXPECT_TRUE(offending.str().empty()) << "corpus files with the wrong outcome:" << offending.str()
                                         << "\nmessages:\n" << messages;
    if (!HasFailure()) fs::remove_all(dir);
}

}  // namespace
