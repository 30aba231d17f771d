#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "composite/Composite.h"
#include "driver/Converter.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "support/PsdBytes.h"
#include "support/TestFiles.h"

namespace {

struct Shown {
    std::string text;
    uint32_t flags;
};

// Records every message in order and answers questions from a queue (Cancel when it runs dry).
class ScriptedUi : public UserInterface {
public:
    using UserInterface::showMessage;
    int showMessage(const std::string& caption, const std::string& text, uint32_t flags,
                    const std::string&) override {
        EXPECT_EQ(caption, "rivodiv");
        shown.push_back({text, flags});
        if (flags != kQuestionFlags) return kAnswerOk;
        if (answers.empty()) return 2;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void showNote(const std::string& caption, const std::string& note) override {
        EXPECT_EQ(caption, "rivodiv");
        notes.push_back(note);
    }
    std::string chooseFile(const std::string& title) override {
        chooseTitles.push_back(title);
        return chosen;
    }

    std::vector<Shown> shown;
    std::vector<std::string> notes;
    std::deque<int> answers;
    std::vector<std::string> chooseTitles;
    std::string chosen;
};

// Stand-in formats: a source is good when it starts with "GOOD <width> <height> <layers>"; the
// writers record what they were given as text, so a test sees what reached the output file.
struct ScriptedFormats {
    int reads = 0;
    bool writerRefuses = false;
    bool writerBreaksStream = false;
    int alphaChannels = 0;
    std::vector<std::string> composited;

    // Hands each layer to take after begin(doc, count).
    template <typename Begin, typename Take>
    bool readDocument(std::FILE* in, DocumentInfo& doc, Begin begin, Take take) {
        ++reads;
        std::istringstream source(testfiles::readAll(in));
        std::string magic;
        int count = 0;
        if (!(source >> magic >> doc.width >> doc.height >> count) || magic != "GOOD") return false;
        if (!begin(count)) return false;
        for (int i = 0; i < count; ++i) {
            Layer* layer = new Layer;
            layer->resize(doc.width, doc.height, blend::Normal);
            layer->name = "L" + std::to_string(i);
            take(layer);
        }
        return true;
    }

    bool write(std::FILE* out, const std::string& text) {
        if (writerRefuses) return false;
        std::fputs(text.c_str(), out);
        if (writerBreaksStream) std::fgetc(out);  // reading a write-only stream sets its error flag
        return true;
    }

    FormatOperations operations() {
        FormatOperations ops;
        ops.readWlx = [this](std::FILE* in, DocumentInfo& doc, Conversion&, WlxLayerSink& sink) {
            return readDocument(
                in, doc, [&](int count) { return sink.begin(doc, static_cast<size_t>(count)) != 0; },
                [&](Layer* layer) { sink.layerRead(layer); });
        };
        ops.readPsd = [this](std::FILE* in, DocumentInfo& doc, Conversion&, PsdLayerSink& sink) {
            return readDocument(
                in, doc, [&](int count) { return sink.begin(doc, static_cast<size_t>(count), alphaChannels); },
                [&](Layer* layer) {
                    sink.nextPixels();
                    sink.layerRead(layer, 0);
                });
        };
        ops.composite = [this](const Layer& layer, dib24& canvas, ThreadPool&) {
            composited.push_back(layer.name);
            // Counts the layers composited onto this canvas in its first byte (white before).
            if (canvas.bits) canvas.bits[0] = canvas.bits[0] == 255 ? 1 : canvas.bits[0] + 1;
        };
        ops.writePsd = [this](std::FILE* out, const dib24& canvas, const LayerPacker& packed, const DocumentInfo& doc,
                              Conversion&) {
            std::ostringstream text;
            text << "PSD " << doc.width << "x" << doc.height << " dpi " << doc.resolution << " layers "
                 << packed.layers().size() << " canvas " << canvas.width << "x" << canvas.height;
            if (canvas.bits)
                text << " px " << int{canvas.bits[0]} << "," << int{canvas.bits[1]} << "," << int{canvas.bits[2]};
            return write(out, text.str());
        };
        ops.writeWlx = [this](std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc, Conversion&) {
            std::ostringstream text;
            text << "WLX " << doc.width << "x" << doc.height << " layers " << blocks.layers().size();
            return write(out, text.str());
        };
        return ops;
    }
};

using Names = std::vector<std::string>;

class DriverLoop : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }

    std::string at(const std::string& name) const { return dir.at(name); }
    void put(const std::string& name, const std::string& content) { testfiles::writeFile(at(name), content); }
    std::string get(const std::string& name) const { return testfiles::readFile(at(name)); }
    Names entries() const {
        Names names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    bool isLink(const std::string& name) const { return std::filesystem::is_symlink(at(name)); }

    int run(const std::vector<std::string>& arguments, FormatOperations ops) {
        ui.shown.clear();
        RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts, std::move(ops)};
        return runConversion(arguments, context);
    }
    int run(const std::vector<std::string>& arguments) { return run(arguments, formats.operations()); }
    int runReal(const std::vector<std::string>& arguments, const MemoryBudget& budget, ThreadPool* pool) {
        ui.shown.clear();
        RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts, FormatOperations::real(), budget, pool};
        return runConversion(arguments, context);
    }

    void expectMessages(const std::vector<Shown>& expected) {
        ASSERT_EQ(ui.shown.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(ui.shown[i].text, expected[i].text) << i;
            EXPECT_EQ(ui.shown[i].flags, expected[i].flags) << i;
        }
    }
    Shown missing(const std::string& p) { return {texts.fileMissing + p, kErrorFlags}; }
    Shown unknown(const std::string& p) { return {texts.unknownFormat + p, kErrorFlags}; }
    Shown readFailed(const std::string& p) { return {texts.readFailed + p, kErrorFlags}; }
    Shown writeFailed(const std::string& p) { return {texts.writeFailed + p, kErrorFlags}; }
    Shown psdQuestion(const std::string& p) { return {texts.psdExists + p + texts.existsQuestion, kQuestionFlags}; }
    Shown wlxQuestion(const std::string& p) { return {texts.wlxExists + p + texts.existsQuestion, kQuestionFlags}; }

    testfiles::TempDir dir;
    ScriptedUi ui;
    ScriptedFormats formats;
    MessageTexts texts;
};

// Two layers composited bottom first onto white: the first byte counts them.
const char* kWhiteCanvasAfterTwo = "PSD 3x2 dpi 72 layers 2 canvas 3x2 px 2,255,255";

TEST_F(DriverLoop, ConvertsBothDirectionsSilentlyWithLowerCaseOutputExtensions) {
    for (const char* name : {"cat.wlx", "CAT.WLX", "Cat.V2.Wlx", ".wlx"}) put(name, "GOOD 3 2 2");
    put("dog.PSD", "GOOD 4 5 3");
    put("big.Psb", "GOOD 4 5 3");  // a large document reads as a PSD does
    formats.alphaChannels = 3;  // dropped on the way to WLX
    EXPECT_EQ(run({at("cat.wlx"), at("dog.PSD"), at("CAT.WLX"), at("Cat.V2.Wlx"), at(".wlx"), at("big.Psb")}), 0);
    expectMessages({});
    for (const char* name : {"cat.psd", "CAT.psd", "Cat.V2.psd", ".psd"}) EXPECT_EQ(get(name), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get("dog.wlx"), "WLX 4x5 layers 3");
    EXPECT_EQ(get("big.wlx"), "WLX 4x5 layers 3");
    EXPECT_EQ(formats.composited, (Names{"L0", "L1", "L0", "L1", "L0", "L1", "L0", "L1"}));
}

TEST_F(DriverLoop, ChecksEveryInputBeforeConvertingAny) {
    for (const char* name : {"a.wlx", "b.txt", "cat.wlxx", "cat.wl", "cat.", "cat.psd.txt", "catpsd"})
        put(name, "GOOD 1 1 1");
    std::filesystem::create_directory(at("pics.wlx"));
    std::filesystem::create_directory(at("my.pics"));
    put("my.pics/cat", "GOOD 1 1 1");
    const struct {
        std::vector<std::string> arguments;
        std::string reported;
        bool missingMessage;
    } rows[] = {
        {{at("a.wlx"), at("nothere.wlx")}, at("nothere.wlx"), true},
        {{at("a.wlx"), at("b.txt")}, at("b.txt"), false},
        {{at("nothere.txt"), at("b.txt")}, at("nothere.txt"), true},  // existence comes first
        {{at("pics.wlx")}, at("pics.wlx"), true},
        {{at("a.wlx"), ""}, "", true},
        {{at("a.wlx"), at("b.txt"), at("nothere.wlx")}, at("b.txt"), false},  // first failure only
        // The format comes from the last dot of the file name alone.
        {{at("cat.wlxx")}, at("cat.wlxx"), false},
        {{at("cat.wl")}, at("cat.wl"), false},
        {{at("cat.")}, at("cat."), false},
        {{at("cat.psd.txt")}, at("cat.psd.txt"), false},
        {{at("my.pics/cat")}, at("my.pics/cat"), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reported);
        EXPECT_EQ(run(row.arguments), 1);
        expectMessages({row.missingMessage ? missing(row.reported) : unknown(row.reported)});
    }
    EXPECT_EQ(formats.reads, 0);
    EXPECT_EQ(get("a.psd"), "<missing>");

    // A bare start checks the chosen file the same way; choosing nothing ends quietly.
    ui.chosen = at("catpsd");
    EXPECT_EQ(run({}), 1);
    expectMessages({unknown(at("catpsd"))});
    ui.chosen = "";
    EXPECT_EQ(run({}), 1);
    expectMessages({});
    EXPECT_EQ(formats.reads, 0);
}

TEST_F(DriverLoop, ReadFailureIsReportedBeforeAnyQuestionAndTheRunGoesOn) {
    put("bad.wlx", "garbage");
    put("bad.psd", "old");
    put("good.psd", "GOOD 2 2 1");
    put("good.wlx", "old wlx");
    put("c.psd", "GOOD 1 1 0");
    ui.answers = {kAnswerOk};
    // The files after the failed one are converted, and the run still ends in failure.
    EXPECT_EQ(run({at("bad.wlx"), at("good.psd"), at("c.psd")}), 1);
    expectMessages({readFailed(at("bad.wlx")), wlxQuestion(at("good.wlx"))});
    EXPECT_EQ(formats.reads, 3);
    EXPECT_EQ(get("bad.psd"), "old");
    EXPECT_EQ(get("good.wlx"), "WLX 2x2 layers 1");
    EXPECT_EQ(get("c.wlx"), "WLX 1x1 layers 0");
}

TEST_F(DriverLoop, CancelKeepsTheOldFileAndGoesOnAndTheSamePathIsConvertedTwice) {
    put("a.wlx", "GOOD 3 2 2");
    put("a.psd", "old psd");
    put("b.psd", "GOOD 2 2 1");
    put("b.wlx", "old wlx");
    put("c.psd", "GOOD 7 7 1");
    ui.answers = {2, 0, kAnswerOk};  // Cancel, a closed box, then OK for the second run over c.psd
    // Declining is the user's choice, not a failure.
    EXPECT_EQ(run({at("a.wlx"), at("b.psd"), at("c.psd"), at("c.psd")}), 0);
    expectMessages({psdQuestion(at("a.psd")), wlxQuestion(at("b.wlx")), wlxQuestion(at("c.wlx"))});
    EXPECT_EQ(formats.reads, 4);
    EXPECT_EQ(get("a.psd"), "old psd");
    EXPECT_EQ(get("b.wlx"), "old wlx");
    EXPECT_EQ(get("c.wlx"), "WLX 7x7 layers 1");
    // The layers are composited as they are read, before the question; the answer only decides
    // whether anything is written.
    EXPECT_EQ(formats.composited, (Names{"L0", "L1"}));
}

TEST_F(DriverLoop, SourceThatCannotBeOpenedIsAReadFailure) {
    put("a.psd", "GOOD 1 1 1");
    put("b.psd", "GOOD 1 1 1");
    // b.psd passes the checks, then vanishes before its turn comes.
    FormatOperations ops = formats.operations();
    ops.readPsd = [&, read = ops.readPsd](std::FILE* in, DocumentInfo& d, Conversion& c, PsdLayerSink& sink) {
        std::remove(at("b.psd").c_str());
        return read(in, d, c, sink);
    };
    EXPECT_EQ(run({at("a.psd"), at("b.psd")}, ops), 1);
    expectMessages({readFailed(at("b.psd"))});
    EXPECT_EQ(entries(), (Names{"a.psd", "a.wlx"}));
}

TEST_F(DriverLoop, FailedWriteKeepsTheOldFileAndReports) {
    put("a.wlx", "GOOD 3 2 2");
    put("b.psd", "GOOD 1 1 1");
    put("c.wlx", "GOOD 1 1 0");
    for (bool refuse : {true, false}) {
        SCOPED_TRACE(refuse ? "writer refuses" : "stream fails");
        put("a.psd", "old psd");
        put("b.wlx", "old wlx");
        formats.writerRefuses = refuse;
        formats.writerBreaksStream = !refuse;
        ui.answers = {kAnswerOk, kAnswerOk};
        EXPECT_EQ(run({at("a.wlx"), at("b.psd"), at("c.wlx")}), 1);
        expectMessages({psdQuestion(at("a.psd")), writeFailed(at("a.psd")), wlxQuestion(at("b.wlx")),
                        writeFailed(at("b.wlx")), writeFailed(at("c.psd"))});
        EXPECT_EQ(get("a.psd"), "old psd");
        EXPECT_EQ(get("b.wlx"), "old wlx");
        // No temporary is left, and no output where there was none.
        EXPECT_EQ(entries(), (Names{"a.psd", "a.wlx", "b.psd", "b.wlx", "c.wlx"}));
    }
}

TEST_F(DriverLoop, OutputsThatCannotBeWrittenAreReportedAndKept) {
    put("a.wlx", "GOOD 3 2 2");
    std::filesystem::create_directory(at("a.psd"));
    put("b.wlx", "GOOD 1 1 0");
    ASSERT_EQ(symlink("missing/x.psd", at("b.psd").c_str()), 0);  // dangling: no question, no replacement
    put("c.wlx", "GOOD 70000 70000 0");  // a canvas too large to make
    put("c.psd", "old");
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("a.wlx"), at("b.wlx"), at("c.wlx")}), 1);
    expectMessages({writeFailed(at("a.psd")), writeFailed(at("b.psd")), psdQuestion(at("c.psd")),
                    writeFailed(at("c.psd"))});
    EXPECT_TRUE(std::filesystem::is_directory(at("a.psd")));
    EXPECT_TRUE(isLink("b.psd"));
    EXPECT_EQ(get("c.psd"), "old");
    EXPECT_EQ(entries(), (Names{"a.psd", "a.wlx", "b.psd", "b.wlx", "c.psd", "c.wlx"}));
}

TEST_F(DriverLoop, ReplacedFileKeepsItsPermissionsAndLinks) {
    put("a.wlx", "GOOD 3 2 2");
    put("a.psd", "old");
    chmod(at("a.psd").c_str(), 0640);
    put("b.psd", "GOOD 1 1 1");
    put("c.psd", "GOOD 2 2 1");
    std::filesystem::create_directory(at("real"));
    put("real/target.wlx", "old");
    ASSERT_EQ(symlink("real/target.wlx", at("c.wlx").c_str()), 0);
    ui.answers = {kAnswerOk, kAnswerOk};
    const mode_t mask = umask(022);
    EXPECT_EQ(run({at("a.wlx"), at("b.psd"), at("c.psd")}), 0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(at("a.psd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(at("b.wlx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_TRUE(isLink("c.wlx"));
    EXPECT_EQ(get("real/target.wlx"), "WLX 2x2 layers 1");
}

TEST_F(DriverLoop, BareNamesAndTheChosenFileGetTheirOutputBesideThem) {
    put("cat.wlx", "GOOD 3 2 2");
    put("a.psd", "GOOD 1 1 1");
    ui.chosen = "a.psd";
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const int codes[] = {run({"cat.wlx"}), run({})};
    std::filesystem::current_path(previous);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 0);
    expectMessages({});
    EXPECT_EQ(ui.chooseTitles, (Names{texts.chooseTitle}));
    EXPECT_EQ(get("cat.psd"), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get("a.wlx"), "WLX 1x1 layers 1");
}

TEST_F(DriverLoop, RealFormatsRejectAForeignFile) {
    put("a.wlx", "not a layered paint file");
    put("b.psd", "not a psd file either");
    EXPECT_EQ(run({at("a.wlx"), at("b.psd")}, FormatOperations::real()), 1);
    expectMessages({readFailed(at("a.wlx")), readFailed(at("b.psd"))});
    EXPECT_EQ(entries(), (Names{"a.wlx", "b.psd"}));
}

// A conversion that succeeds with approximate colours, or without what its layers cannot carry, says
// so once, after the file is written; one that does not write says nothing of it.
TEST_F(DriverLoop, RealPsdToWlxNotesApproximateColoursOnlyWhenWritten) {
    using namespace psdbytes;
    const struct {
        const char* name;
        uint16_t mode, channels;
        bool exists;
        Bytes blocks;  // of a layer, when not empty
        std::vector<std::string> notes;
    } rows[] = {
        {"cmyk", 4, 4, false, {}, {"CMYK without a colour profile: colours are approximate"}},
        {"multi", 7, 3, false, {}, {"multichannel document: its first three channels are read as red, green and blue"}},
        {"rgb", 3, 3, false, {}, {}},
        {"declined", 4, 4, true, {}, {}},
        {"knockout", 4, 4, false, infoBlock("knko", {1}),
         {"CMYK without a colour profile: colours are approximate", "note: not carried over: 1 knockout"}},
        {"declined knockout", 3, 3, true, infoBlock("knko", {1}), {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestPsd psd;
        psd.mode = row.mode;
        psd.channels = row.channels;
        psd.merged = rawMerged(std::vector<Bytes>(row.channels, Bytes(4, 40)));
        if (!row.blocks.empty()) {
            psd.layers.emplace_back();
            psd.layers.back().additional = row.blocks;
        }
        const Bytes bytes = psd.build();
        put(std::string(row.name) + ".psd", std::string(bytes.begin(), bytes.end()));
        if (row.exists) put(std::string(row.name) + ".wlx", "old");
        ui.notes.clear();
        EXPECT_EQ(runReal({at(std::string(row.name) + ".psd")}, MemoryBudget(UINT64_MAX / 2), nullptr), 0);
        EXPECT_EQ(ui.notes, row.notes);
        EXPECT_EQ(get(std::string(row.name) + ".wlx") == "old", row.exists);
    }
}

TEST_F(DriverLoop, RunningOutOfMemoryFailsThatFileAndTheRunGoesOn) {
    put("a.psd", "GOOD 1 1 1");
    put("a.wlx", "old");
    put("b.wlx", "GOOD 1 1 1");
    put("c.wlx", "GOOD 1 1 1");
    put("d.psd", "GOOD 2 2 1");
    // The WLX writer runs out of memory once, the PSD writer always, the WLX reader the second time.
    FormatOperations ops = formats.operations();
    int wlxWrites = 0, wlxReads = 0;
    ops.writeWlx = [&, write = ops.writeWlx](std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& d,
                                            Conversion& c) {
        if (wlxWrites++ == 0) throw std::bad_alloc();
        return write(out, blocks, d, c);
    };
    ops.writePsd = [](std::FILE*, const dib24&, const LayerPacker&, const DocumentInfo&, Conversion&) -> bool {
        throw std::bad_alloc();
    };
    ops.readWlx = [&, read = ops.readWlx](std::FILE* in, DocumentInfo& d, Conversion& c, WlxLayerSink& sink) {
        if (wlxReads++ == 1) throw std::bad_alloc();
        return read(in, d, c, sink);
    };
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("a.psd"), at("b.wlx"), at("c.wlx"), at("d.psd")}, ops), 1);
    expectMessages({wlxQuestion(at("a.wlx")), writeFailed(at("a.wlx")), writeFailed(at("b.psd")),
                    readFailed(at("c.wlx"))});
    EXPECT_EQ(get("a.wlx"), "old");
    EXPECT_EQ(get("d.wlx"), "WLX 2x2 layers 1");
    // No temporary is left behind.
    EXPECT_EQ(entries(), (Names{"a.psd", "a.wlx", "b.wlx", "c.wlx", "d.psd", "d.wlx"}));
}

// The real formats through the loop: the file is the one the plain reader, compositor and writer
// make, with any number of threads; a canvas that cannot be held is refused after the question,
// and leaves no file.
TEST_F(DriverLoop, RealWlxToPsdGivesThePlainBytesOrRefusesTheCanvasAfterTheQuestion) {
    constexpr int32_t kWidth = 40, kHeight = 30;
    LayerTempList layers;
    for (BlendMode mode : {blend::Normal, blend::Multiply, blend::Hue}) {
        auto* layer = new Layer;
        layer->resize(kWidth, kHeight, mode);
        // Runs of 7 pixels: packed, the layers take far less than whole.
        for (size_t i = 0; i < layer->pixels.size(); ++i)
            layer->pixels[i] = static_cast<uint8_t>((i / 28 * 37 + i % 4 * 50) % 251 + mode);
        layers.add(layer);
    }
    ASSERT_TRUE(writeWlxFile(at("a.wlx"), layers, DocumentInfo{kWidth, kHeight, 72}));

    LayerTempList read;
    DocumentInfo doc;
    ASSERT_TRUE(readWlxFile(at("a.wlx"), read, doc));
    dib24 canvas;
    ASSERT_TRUE(canvas.create(kWidth, kHeight, 0));
    canvas.fill(0xffffff);
    for (const Layer* layer : read) compositeOnto(*layer, canvas);
    ASSERT_TRUE(writePsdFile(at("plain.psd"), canvas, read, LayerTempList(), doc));

    // No layers, but a merged image past the 4 GiB a canvas can have.
    ASSERT_TRUE(writeWlxFile(at("huge.wlx"), LayerTempList(), DocumentInfo{65535, 65535, 72}));
    const struct {
        const char* name;
        size_t threads;
        bool written;
    } rows[] = {{"a", 1, true}, {"a", 3, true}, {"huge", 2, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(row.threads) + " threads");
        const std::string output = at(std::string(row.name) + ".psd");
        std::filesystem::remove(output);
        ThreadPool pool(row.threads);
        EXPECT_EQ(runReal({at(std::string(row.name) + ".wlx")}, MemoryBudget(UINT64_MAX / 2), &pool), row.written ? 0 : 1);
        if (row.written) {
            expectMessages({});
            EXPECT_EQ(get("a.psd"), get("plain.psd"));
        } else {
            expectMessages({writeFailed(output)});
            EXPECT_FALSE(std::filesystem::exists(output));
        }
    }
}

}  // namespace
