#include <gtest/gtest.h>

#include <iconv.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/Messages.h"
#include "driver/posix/PosixUserInterface.h"

namespace {

std::string decodeCp932(const std::string& bytes) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<no converter>";
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* o = out.data();
    size_t outLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) return "<invalid>";
    out.resize(out.size() - outLeft);
    return out;
}

TEST(MessageTexts, AreTheJapaneseTextsInCodePage932) {
    const MessageTexts t;
    struct {
        const std::string& bytes;
        const char* utf8;
    } rows[] = {
        {t.fileMissing, "ファイルが存在しません: "},
        {t.unknownFormat, "ファイル形式が特定できません: "},
        {t.psdExists, "PSD形式: "},
        {t.wlxExists, "WLX形式: "},
        {t.existsQuestion, "\nは既に存在します、上書きしますか？"},
        {t.readFailed, "ファイルの読み込みに失敗しました: "},
        {t.writeFailed, "ファイルの書き込みに失敗しました: "},
        {t.chooseTitle, "変換するファイルを指定"},
    };
    for (const auto& row : rows) EXPECT_EQ(decodeCp932(row.bytes), row.utf8);
    EXPECT_STREQ(kMessageCaption, "rivodiv");
    EXPECT_EQ(kErrorFlags, 0x10010u);
    EXPECT_EQ(kQuestionFlags, 0x10021u);
}

TEST(MessageTexts, Utf8VersionMatchesTheDecodedBytes) {
    const MessageTexts cp932;
    const MessageTexts utf8 = utf8MessageTexts();
    EXPECT_EQ(utf8.fileMissing, decodeCp932(cp932.fileMissing));
    EXPECT_EQ(utf8.existsQuestion, decodeCp932(cp932.existsQuestion));
    EXPECT_EQ(utf8.chooseTitle, decodeCp932(cp932.chooseTitle));
}

TEST(Codeset, ShiftJisNamesAreRecognised) {
    for (const char* name : {"SHIFT_JIS", "Shift_JIS", "SJIS", "CP932", "WINDOWS-31J", "shift-jis"})
        EXPECT_TRUE(isShiftJisCodeset(name)) << name;
    for (const char* name : {"UTF-8", "ANSI_X3.4-1968", "EUC-JP", "ISO-8859-1", ""})
        EXPECT_FALSE(isShiftJisCodeset(name)) << name;
}

// Runs the terminal front end on scripted input and returns what it printed.
struct Terminal {
    explicit Terminal(const std::string& input, bool isTerminal = true) {
        in = std::tmpfile();
        out = std::tmpfile();
        std::fputs(input.c_str(), in);
        std::rewind(in);
        ui = new PosixUserInterface(in, out, isTerminal);
    }
    ~Terminal() {
        delete ui;
        std::fclose(in);
        std::fclose(out);
    }
    std::string printed() {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        int c;
        while ((c = std::fgetc(out)) != EOF) text += static_cast<char>(c);
        return text;
    }
    std::string unread() {
        std::string text;
        int c;
        while ((c = std::fgetc(in)) != EOF) text += static_cast<char>(c);
        return text;
    }
    std::FILE* in;
    std::FILE* out;
    PosixUserInterface* ui;
};

TEST(PosixUserInterface, ErrorIsOneLineOnTheErrorStream) {
    Terminal t("y\n");
    EXPECT_EQ(t.ui->showMessage("rivodiv", "gone: a.wlx", kErrorFlags), kAnswerOk);
    EXPECT_EQ(t.printed(), "rivodiv: gone: a.wlx\n");
    EXPECT_EQ(t.unread(), "y\n");  // an error asks nothing
}

TEST(PosixUserInterface, QuestionReadsOneLine) {
    struct {
        const char* input;
        bool ok;
    } rows[] = {
        {"y\n", true},   {"Y\n", true},    {"yes\n", true}, {"YeS\n", true}, {"ok\n", true},
        {"OK\r\n", true}, {" y \n", true}, {"y", true},     {"n\n", false},  {"\n", false},
        {"", false},     {"yess\n", false}, {"no\n", false}, {"o k\n", false},
    };
    for (const auto& row : rows) {
        const std::string input = row.input;
        const bool wholeLine = !input.empty() && input.back() == '\n';
        Terminal t(wholeLine ? input + "rest\n" : input);
        const int answer = t.ui->showMessage("rivodiv", "PSD: a.psd\nexists?", kQuestionFlags);
        EXPECT_EQ(answer == kAnswerOk, row.ok) << '"' << row.input << '"';
        EXPECT_EQ(t.printed().rfind("rivodiv: PSD: a.psd\nexists? [y/N] ", 0), 0u);
        if (wholeLine) {
            EXPECT_EQ(t.unread(), "rest\n") << "only one line is read";
        }
    }
}

TEST(PosixUserInterface, FileIsAskedForOnlyOnATerminal) {
    {
        Terminal t("/tmp/a.wlx\n", false);
        EXPECT_EQ(t.ui->chooseFile("title"), "");
        EXPECT_EQ(t.printed(), "");
        EXPECT_EQ(t.unread(), "/tmp/a.wlx\n");
    }
    {
        Terminal t("/tmp/a b.wlx\r\nmore\n");
        EXPECT_EQ(t.ui->chooseFile("title"), "/tmp/a b.wlx");
        EXPECT_EQ(t.printed(), "title: ");
    }
    {
        Terminal t("");
        EXPECT_EQ(t.ui->chooseFile("title"), "");
    }
}

// The built program, run through the shell as a user would.
struct ProgramRun {
    int code;
    std::string err;
};

ProgramRun runProgram(const std::string& arguments, const std::string& input) {
    char dirTemplate[] = "/tmp/rivodiv-cli-XXXXXX";
    if (!mkdtemp(dirTemplate)) return {-1, ""};
    const std::string dir = dirTemplate;
    const std::string command = "cd '" + dir + "' && LC_ALL=C.UTF-8 '" RIVODIV_EXE "' " + arguments +
                                " <" + input + " 2>err";
    const int status = std::system(command.c_str());
    std::ifstream errFile(dir + "/err", std::ios::binary);
    std::ostringstream err;
    err << errFile.rdbuf();
    std::system(("rm -rf '" + dir + "'").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err.str()};
}

TEST(Program, MissingFileIsReportedWithExitCodeOne) {
    const ProgramRun r = runProgram("nothere.wlx", "/dev/null");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "rivodiv: ファイルが存在しません: nothere.wlx\n");
}

TEST(Program, BareStartWithoutTerminalEndsQuietlyWithOne) {
    const ProgramRun r = runProgram("", "/dev/null");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "");
}

}  // namespace
