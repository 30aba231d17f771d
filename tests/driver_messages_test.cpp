#include <gtest/gtest.h>

#include <iconv.h>

#include <cstdio>
#include <string>

#include "driver/Messages.h"
#include "driver/posix/PosixUserInterface.h"
#include "support/TestFiles.h"

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

TEST(MessageTexts, AreTheJapaneseTextsInCodePage932AndUtf8) {
    const MessageTexts cp932;
    const MessageTexts utf8 = utf8MessageTexts();
    const struct {
        std::string MessageTexts::*text;
        const char* expected;
    } rows[] = {
        {&MessageTexts::fileMissing, "ファイルが存在しません: "},
        {&MessageTexts::unknownFormat, "ファイル形式が特定できません: "},
        {&MessageTexts::psdExists, "PSD形式: "},
        {&MessageTexts::wlxExists, "WLX形式: "},
        {&MessageTexts::existsQuestion, "\nは既に存在します、上書きしますか？"},
        {&MessageTexts::readFailed, "ファイルの読み込みに失敗しました: "},
        {&MessageTexts::writeFailed, "ファイルの書き込みに失敗しました: "},
        {&MessageTexts::chooseTitle, "変換するファイルを指定"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decodeCp932(cp932.*row.text), row.expected);
        EXPECT_EQ(utf8.*row.text, row.expected);
    }
}

TEST(Codeset, ShiftJisNamesAreRecognised) {
    for (const char* name : {"SHIFT_JIS", "Shift_JIS", "SJIS", "CP932", "WINDOWS-31J", "shift-jis"})
        EXPECT_TRUE(isShiftJisCodeset(name)) << name;
    for (const char* name : {"UTF-8", "EUC-JP", ""}) EXPECT_FALSE(isShiftJisCodeset(name)) << name;
}

// The terminal front end over scripted input; what it printed and what it left unread.
struct Terminal {
    explicit Terminal(const std::string& input, bool isTerminal = true)
        : in(std::tmpfile()), out(std::tmpfile()) {
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
        return testfiles::readAll(out);
    }
    std::string unread() { return testfiles::readAll(in); }

    std::FILE* in;
    std::FILE* out;
    PosixUserInterface* ui;
};

TEST(PosixUserInterface, ErrorIsOneLineOnTheErrorStreamAndAsksNothing) {
    Terminal t("y\n");
    EXPECT_EQ(t.ui->showMessage("rivodiv", "gone: a.wlx", kErrorFlags), kAnswerOk);
    EXPECT_EQ(t.printed(), "rivodiv: gone: a.wlx\n");
    EXPECT_EQ(t.unread(), "y\n");
}

TEST(PosixUserInterface, QuestionReadsOneLine) {
    const struct {
        const char* input;
        bool ok;
    } rows[] = {
        {"y\n", true},   {"YeS\n", true},  {"OK\r\n", true},  {" y \n", true}, {"y", true},
        {"n\n", false},  {"\n", false},    {"", false},       {"yess\n", false}, {"o k\n", false},
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
    Terminal empty("");
    EXPECT_EQ(empty.ui->chooseFile("title"), "");
}

// The built program run through the shell as a user would, with no input.
TEST(Program, MissingFileOrBareStartEndsWithOne) {
    const testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const struct {
        const char* arguments;
        const char* stderrText;
    } rows[] = {
        {"nothere.wlx", "rivodiv: ファイルが存在しません: nothere.wlx\n"},
        {"", ""},
    };
    for (const auto& row : rows) {
        const testfiles::Shell r = testfiles::runShell("(cd " + testfiles::shellQuoted(dir.path()) +
                                                       " && LC_ALL=C.UTF-8 '" RIVODIV_EXE "' " + row.arguments +
                                                       " </dev/null 2>&1 >/dev/null)");
        EXPECT_EQ(r.status, 1) << row.arguments;
        EXPECT_EQ(r.output, row.stderrText) << row.arguments;
    }
}

}  // namespace
