#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Converter.h"

namespace {

struct Shown {
    std::string caption;
    std::string text;
    uint32_t flags;
};

// Records every message in order and answers questions from a queue (Cancel when it runs dry).
class ScriptedUi : public UserInterface {
public:
    int showMessage(const std::string& caption, const std::string& text, uint32_t flags) override {
        shown.push_back({caption, text, flags});
        if (flags != kQuestionFlags) return kAnswerOk;
        if (answers.empty()) return 2;
        const int answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::string chooseFile(const std::string& title) override {
        chooseTitles.push_back(title);
        return chosen;
    }

    std::vector<Shown> shown;
    std::deque<int> answers;
    std::vector<std::string> chooseTitles;
    std::string chosen;
};

std::string readAll(std::FILE* in) {
    std::string data;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.append(buffer, n);
    return data;
}

// Stand-in formats: a source is good when it starts with "GOOD <width> <height> <layers>"; the
// writers record what they were given as text, so a test sees what reached the output file.
struct ScriptedFormats {
    int reads = 0;
    bool writerRefuses = false;
    bool writerBreaksStream = false;
    int alphaChannels = 0;
    std::vector<std::string> composited;
    std::vector<std::string>* log = nullptr;

    bool readDocument(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, bool setsResolution) {
        ++reads;
        if (log) log->push_back("read");
        std::istringstream source(readAll(in));
        std::string magic;
        int count = 0;
        if (!(source >> magic >> doc.width >> doc.height >> count) || magic != "GOOD") return false;
        if (setsResolution) doc.resolution = 300;
        for (int i = 0; i < count; ++i) {
            Layer* layer = new Layer;
            layer->resize(doc.width, doc.height, blend::Normal);
            layer->name = "L" + std::to_string(i);
            layers.add(layer);
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
        ops.readWlx = [this](std::FILE* in, LayerTempList& layers, DocumentInfo& doc) {
            return readDocument(in, layers, doc, false);
        };
        ops.readPsd = [this](std::FILE* in, LayerTempList& layers, LayerTempList& alpha,
                             DocumentInfo& doc) {
            if (!readDocument(in, layers, doc, true)) return false;
            for (int i = 0; i < alphaChannels; ++i) alpha.add(new Layer);
            return true;
        };
        ops.composite = [this](const Layer& layer, dib24& canvas) {
            composited.push_back(layer.name);
            // Counts the layers composited onto this canvas in its first byte (white before).
            if (canvas.bits) canvas.bits[0] = canvas.bits[0] == 255 ? 1 : canvas.bits[0] + 1;
        };
        ops.writePsd = [this](std::FILE* out, const dib24& canvas, const LayerTempList& layers,
                              const LayerTempList& alpha, const DocumentInfo& doc) {
            std::ostringstream text;
            text << "PSD " << doc.width << "x" << doc.height << " dpi " << doc.resolution << " layers "
                 << layers.size() << " alpha " << alpha.size() << " canvas " << canvas.width << "x"
                 << canvas.height;
            if (canvas.bits)
                text << " px " << int{canvas.bits[0]} << "," << int{canvas.bits[1]} << ","
                     << int{canvas.bits[2]};
            return write(out, text.str());
        };
        ops.writeWlx = [this](std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc) {
            std::ostringstream text;
            text << "WLX " << doc.width << "x" << doc.height << " layers " << layers.size();
            return write(out, text.str());
        };
        return ops;
    }
};

class DriverLoop : public ::testing::Test {
protected:
    void SetUp() override {
        char dirTemplate[] = "/tmp/rivodiv-driver-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    std::string at(const std::string& name) const { return dir + "/" + name; }
    void put(const std::string& name, const std::string& content) {
        std::ofstream(at(name), std::ios::binary) << content;
    }
    std::string get(const std::string& name) const {
        std::ifstream in(at(name), std::ios::binary);
        if (!in) return "<missing>";
        std::ostringstream data;
        data << in.rdbuf();
        return data.str();
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    int run(const std::vector<std::string>& arguments) {
        RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts, formats.operations()};
        return runConversion(arguments, context);
    }
    int runReal(const std::vector<std::string>& arguments) {
        RunContext context{ui, PathSyntax::posix(CodePageBytes::none())};
        return runConversion(arguments, context);
    }

    void expectMessages(const std::vector<Shown>& expected) {
        ASSERT_EQ(ui.shown.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(ui.shown[i].caption, "rivodiv") << i;
            EXPECT_EQ(ui.shown[i].text, expected[i].text) << i;
            EXPECT_EQ(ui.shown[i].flags, expected[i].flags) << i;
        }
    }
    Shown missing(const std::string& p) { return {"", texts.fileMissing + p, kErrorFlags}; }
    Shown unknown(const std::string& p) { return {"", texts.unknownFormat + p, kErrorFlags}; }
    Shown readFailed(const std::string& p) { return {"", texts.readFailed + p, kErrorFlags}; }
    Shown writeFailed(const std::string& p) { return {"", texts.writeFailed + p, kErrorFlags}; }
    Shown psdQuestion(const std::string& p) {
        return {"", texts.psdExists + p + texts.existsQuestion, kQuestionFlags};
    }
    Shown wlxQuestion(const std::string& p) {
        return {"", texts.wlxExists + p + texts.existsQuestion, kQuestionFlags};
    }

    std::string dir;
    ScriptedUi ui;
    ScriptedFormats formats;
    MessageTexts texts;
};

const char* kWhiteCanvasAfterTwo = "PSD 3x2 dpi 72 layers 2 alpha 0 canvas 3x2 px 2,255,255";

TEST_F(DriverLoop, ConvertsBothDirectionsSilently) {
    put("cat.wlx", "GOOD 3 2 2");
    put("dog.psd", "GOOD 4 5 3");
    EXPECT_EQ(run({at("cat.wlx"), at("dog.psd")}), 0);
    expectMessages({});
    EXPECT_EQ(get("cat.psd"), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get("dog.wlx"), "WLX 4x5 layers 3");
    EXPECT_EQ(formats.composited, (std::vector<std::string>{"L0", "L1"}));
    EXPECT_EQ(entries(), (std::vector<std::string>{"cat.psd", "cat.wlx", "dog.psd", "dog.wlx"}));
}

TEST_F(DriverLoop, ChecksEveryInputBeforeConvertingAny) {
    put("a.wlx", "GOOD 1 1 1");
    put("b.txt", "GOOD 1 1 1");
    mkdir(at("pics.wlx").c_str(), 0755);
    struct {
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
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reported);
        ui.shown.clear();
        EXPECT_EQ(run(row.arguments), 1);
        expectMessages({row.missingMessage ? missing(row.reported) : unknown(row.reported)});
        EXPECT_EQ(formats.reads, 0);
        EXPECT_EQ(get("a.psd"), "<missing>");
    }
    ui.shown.clear();
    run({""});
    ASSERT_EQ(ui.shown.size(), 1u);
    EXPECT_EQ(ui.shown[0].text, texts.fileMissing);  // nothing after the colon and blank
}

TEST_F(DriverLoop, FormatComesFromTheLastDotOfTheFileName) {
    for (const char* name : {"cat.wlxx", "cat.wl", "cat.", "cat", "cat.psd.txt"}) put(name, "GOOD 1 1 1");
    mkdir(at("my.pics").c_str(), 0755);
    put("my.pics/cat", "GOOD 1 1 1");
    for (const char* name : {"cat.wlxx", "cat.wl", "cat.", "cat", "cat.psd.txt", "my.pics/cat"}) {
        ui.shown.clear();
        EXPECT_EQ(run({at(name)}), 1) << name;
        expectMessages({unknown(at(name))});
    }
    EXPECT_EQ(formats.reads, 0);
}

TEST_F(DriverLoop, UpperCaseExtensionsGiveLowerCaseOutputExtensions) {
    put("CAT.WLX", "GOOD 3 2 2");
    put("x.PSD", "GOOD 1 1 1");
    put("Cat.V2.Wlx", "GOOD 3 2 2");
    put(".wlx", "GOOD 3 2 2");
    EXPECT_EQ(run({at("CAT.WLX"), at("x.PSD"), at("Cat.V2.Wlx"), at(".wlx")}), 0);
    expectMessages({});
    EXPECT_EQ(get("CAT.psd"), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get("x.wlx"), "WLX 1x1 layers 1");
    EXPECT_EQ(get("Cat.V2.psd"), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get(".psd"), kWhiteCanvasAfterTwo);
}

TEST_F(DriverLoop, QuestionComesOnlyAfterASuccessfulRead) {
    std::vector<std::string> log;
    formats.log = &log;
    put("bad.wlx", "garbage");
    put("bad.psd", "old");
    put("good.psd", "GOOD 2 2 1");
    put("good.wlx", "old wlx");
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("bad.wlx"), at("good.psd")}), 0);
    expectMessages({readFailed(at("bad.wlx")), wlxQuestion(at("good.wlx"))});
    EXPECT_EQ(log, (std::vector<std::string>{"read", "read"}));
    EXPECT_EQ(get("bad.psd"), "old");
    EXPECT_EQ(get("good.wlx"), "WLX 2x2 layers 1");
}

TEST_F(DriverLoop, CancelKeepsTheOldFileAndGoesOn) {
    put("a.wlx", "GOOD 3 2 2");
    put("a.psd", "old psd");
    put("b.psd", "GOOD 2 2 1");
    put("b.wlx", "old wlx");
    put("c.psd", "GOOD 7 7 1");
    ui.answers = {2, 0};  // Cancel, then a closed box
    EXPECT_EQ(run({at("a.wlx"), at("b.psd"), at("c.psd")}), 0);
    expectMessages({psdQuestion(at("a.psd")), wlxQuestion(at("b.wlx"))});
    EXPECT_EQ(get("a.psd"), "old psd");
    EXPECT_EQ(get("b.wlx"), "old wlx");
    EXPECT_EQ(get("c.wlx"), "WLX 7x7 layers 1");
    EXPECT_TRUE(formats.composited.empty());  // nothing is composited for a skipped file
}

TEST_F(DriverLoop, SamePathTwiceIsConvertedTwice) {
    put("cat.wlx", "GOOD 3 2 2");
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("cat.wlx"), at("cat.wlx")}), 0);
    expectMessages({psdQuestion(at("cat.psd"))});
    EXPECT_EQ(formats.reads, 2);
    EXPECT_EQ(formats.composited.size(), 4u);
    EXPECT_EQ(get("cat.psd"), kWhiteCanvasAfterTwo);
}

TEST_F(DriverLoop, CorruptSourceAmongGoodOnes) {
    put("a.wlx", "GOOD 3 2 2");
    put("b.psd", "truncated");
    put("c.psd", "GOOD 1 1 0");
    EXPECT_EQ(run({at("a.wlx"), at("b.psd"), at("c.psd")}), 0);
    expectMessages({readFailed(at("b.psd"))});
    EXPECT_EQ(get("a.psd"), kWhiteCanvasAfterTwo);
    EXPECT_EQ(get("b.wlx"), "<missing>");
    EXPECT_EQ(get("c.wlx"), "WLX 1x1 layers 0");
}

TEST_F(DriverLoop, SourceThatCannotBeOpenedIsAReadFailure) {
    put("a.psd", "GOOD 1 1 1");
    put("b.psd", "GOOD 1 1 1");
    // b.psd passes the checks, then vanishes before its turn comes.
    FormatOperations ops = formats.operations();
    auto read = ops.readPsd;
    ops.readPsd = [&](std::FILE* in, LayerTempList& l, LayerTempList& a, DocumentInfo& d) {
        std::remove(at("b.psd").c_str());
        return read(in, l, a, d);
    };
    RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts, ops};
    EXPECT_EQ(runConversion({at("a.psd"), at("b.psd")}, context), 0);
    expectMessages({readFailed(at("b.psd"))});
    EXPECT_EQ(formats.reads, 1);
    EXPECT_EQ(entries(), (std::vector<std::string>{"a.psd", "a.wlx"}));
}

TEST_F(DriverLoop, AlphaChannelsDoNotReachTheWlxFile) {
    put("a.psd", "GOOD 2 3 2");
    formats.alphaChannels = 3;
    EXPECT_EQ(run({at("a.psd")}), 0);
    expectMessages({});
    EXPECT_EQ(get("a.wlx"), "WLX 2x3 layers 2");
}

TEST_F(DriverLoop, PsdFromWlxDeclares72DotsPerInchAndGetsNoAlphaChannels) {
    put("a.wlx", "GOOD 3 2 0");
    EXPECT_EQ(run({at("a.wlx")}), 0);
    EXPECT_EQ(get("a.psd"), "PSD 3x2 dpi 72 layers 0 alpha 0 canvas 3x2 px 255,255,255");
}

TEST_F(DriverLoop, OutputNameTakenByADirectoryIsAWriteFailure) {
    put("a.wlx", "GOOD 3 2 2");
    mkdir(at("a.psd").c_str(), 0755);
    EXPECT_EQ(run({at("a.wlx")}), 0);
    expectMessages({writeFailed(at("a.psd"))});
    struct stat st {};
    ASSERT_EQ(stat(at("a.psd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(entries(), (std::vector<std::string>{"a.psd", "a.wlx"}));
}

TEST_F(DriverLoop, FailedWriteKeepsTheOldFileAndReports) {
    put("a.wlx", "GOOD 3 2 2");
    put("b.psd", "GOOD 1 1 1");
    for (bool refuse : {true, false}) {
        SCOPED_TRACE(refuse ? "writer refuses" : "stream fails");
        put("a.psd", "old psd");
        put("b.wlx", "old wlx");
        formats.writerRefuses = refuse;
        formats.writerBreaksStream = !refuse;
        ui.shown.clear();
        ui.answers = {kAnswerOk, kAnswerOk};
        EXPECT_EQ(run({at("a.wlx"), at("b.psd")}), 0);
        expectMessages({psdQuestion(at("a.psd")), writeFailed(at("a.psd")),
                        wlxQuestion(at("b.wlx")), writeFailed(at("b.wlx"))});
        EXPECT_EQ(get("a.psd"), "old psd");
        EXPECT_EQ(get("b.wlx"), "old wlx");
        EXPECT_EQ(entries(), (std::vector<std::string>{"a.psd", "a.wlx", "b.psd", "b.wlx"}));
    }
}

TEST_F(DriverLoop, FailedWriteWithoutOldFileLeavesNothing) {
    put("a.wlx", "GOOD 3 2 2");
    formats.writerBreaksStream = true;
    EXPECT_EQ(run({at("a.wlx")}), 0);
    expectMessages({writeFailed(at("a.psd"))});
    EXPECT_EQ(entries(), (std::vector<std::string>{"a.wlx"}));
}

TEST_F(DriverLoop, ReplacedFileKeepsItsPermissions) {
    put("a.wlx", "GOOD 3 2 2");
    put("a.psd", "old");
    chmod(at("a.psd").c_str(), 0640);
    put("b.psd", "GOOD 1 1 1");
    ui.answers = {kAnswerOk};
    const mode_t mask = umask(022);
    EXPECT_EQ(run({at("a.wlx"), at("b.psd")}), 0);
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(at("a.psd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(at("b.wlx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(DriverLoop, OverwritingThroughALinkReplacesItsTarget) {
    put("a.psd", "GOOD 2 2 1");
    mkdir(at("real").c_str(), 0755);
    put("real/target.wlx", "old");
    ASSERT_EQ(symlink("real/target.wlx", at("a.wlx").c_str()), 0);
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("a.psd")}), 0);
    struct stat st {};
    ASSERT_EQ(lstat(at("a.wlx").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(get("real/target.wlx"), "WLX 2x2 layers 1");
}

TEST_F(DriverLoop, BareFileNameGetsItsOutputBesideIt) {
    put("cat.wlx", "GOOD 3 2 2");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const int code = run({"cat.wlx"});
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(code, 0);
    expectMessages({});
    EXPECT_EQ(get("cat.psd"), kWhiteCanvasAfterTwo);
}

TEST_F(DriverLoop, BareStartConvertsTheChosenFile) {
    put("a.psd", "GOOD 1 1 1");
    ui.chosen = at("a.psd");
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(ui.chooseTitles, (std::vector<std::string>{texts.chooseTitle}));
    expectMessages({});
    EXPECT_EQ(get("a.wlx"), "WLX 1x1 layers 1");
}

TEST_F(DriverLoop, BareStartGivenNothingEndsQuietlyWithOne) {
    ui.chosen = "";
    EXPECT_EQ(run({}), 1);
    expectMessages({});
    EXPECT_TRUE(entries().empty());
}

TEST_F(DriverLoop, BareStartChecksTheChosenFileToo) {
    put("catpsd", "GOOD 1 1 1");
    ui.chosen = at("catpsd");
    EXPECT_EQ(run({}), 1);
    expectMessages({unknown(at("catpsd"))});
}

TEST_F(DriverLoop, RealFormatsRejectAForeignFile) {
    put("a.wlx", "not a layered paint file");
    put("b.psd", "not a psd file either");
    EXPECT_EQ(runReal({at("a.wlx"), at("b.psd")}), 0);
    expectMessages({readFailed(at("a.wlx")), readFailed(at("b.psd"))});
    EXPECT_EQ(entries(), (std::vector<std::string>{"a.wlx", "b.psd"}));
}

TEST_F(DriverLoop, WriterThrowingLeavesNoTemporary) {
    put("a.psd", "GOOD 1 1 1");
    put("a.wlx", "old");
    FormatOperations ops = formats.operations();
    ops.writeWlx = [](std::FILE*, const LayerTempList&, const DocumentInfo&) -> bool { throw std::bad_alloc(); };
    RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts, ops};
    ui.answers = {kAnswerOk};
    EXPECT_THROW(runConversion({at("a.psd")}, context), std::bad_alloc);
    EXPECT_EQ(entries(), (std::vector<std::string>{"a.psd", "a.wlx"}));
    EXPECT_EQ(get("a.wlx"), "old");
}

TEST_F(DriverLoop, CanvasTooLargeIsAWriteFailureAndKeepsTheOldFile) {
    put("a.wlx", "GOOD 70000 70000 0");
    put("a.psd", "old");
    ui.answers = {kAnswerOk};
    EXPECT_EQ(run({at("a.wlx")}), 0);
    expectMessages({psdQuestion(at("a.psd")), writeFailed(at("a.psd"))});
    EXPECT_EQ(get("a.psd"), "old");
}

TEST_F(DriverLoop, DanglingLinkIsKeptAndTheWriteReported) {
    put("a.wlx", "GOOD 1 1 0");
    ASSERT_EQ(symlink("missing/x.psd", at("a.psd").c_str()), 0);
    EXPECT_EQ(run({at("a.wlx")}), 0);
    struct stat st {};
    ASSERT_EQ(lstat(at("a.psd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file without a question";
    expectMessages({writeFailed(at("a.psd"))});
}

}  // namespace
