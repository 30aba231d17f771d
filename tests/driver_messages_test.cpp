#include <gtest/gtest.h>

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/Messages.h"
#include "driver/posix/PosixTexts.h"
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
    // A Shift_JIS locale keeps code page 932 for every Japanese text, another gets UTF-8.
    const PosixTexts shiftJis = posixTexts(Language::Japanese, true);
    const PosixTexts unicode = posixTexts(Language::Japanese, false);
    for (const auto& row : rows) {
        EXPECT_EQ(decodeCp932(cp932.*row.text), row.expected);
        EXPECT_EQ(utf8.*row.text, row.expected);
        EXPECT_EQ(shiftJis.messages.*row.text, cp932.*row.text);
        EXPECT_EQ(unicode.messages.*row.text, row.expected);
    }
    EXPECT_EQ(decodeCp932(shiftJis.commandLine.usage), unicode.commandLine.usage);
    EXPECT_EQ(decodeCp932(shiftJis.commandLine.unknownOption), "不明なオプションです: ");
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
    // A reason goes on a second line of its own.
    EXPECT_EQ(t.ui->showMessage("rivodiv", "bad: b.psd", kErrorFlags, "16-bit channels are not supported"), kAnswerOk);
    // A note on a success goes on a line of its own, indented as a reason.
    t.ui->showNote("rivodiv", "colours are approximate");
    EXPECT_EQ(t.printed(), "rivodiv: gone: a.wlx\nrivodiv: bad: b.psd\nrivodiv:   16-bit channels are not supported\n"
                           "rivodiv:   colours are approximate\n");
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

// The built program run through the shell as a user would, with no input: options, the language
// the locale picks, and what reaches standard output, standard error and the exit code.
TEST(Program, OptionsAndLanguageAsTheCommandLineAndLocaleSay) {
    const testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    testfiles::writeFile(dir.at("a.wlx"), testfiles::readFile(RIVODIV_SOURCE_DIR "/examples/example.wlx"));
    testfiles::writeFile(dir.at("-a.wlx"), testfiles::readFile(dir.at("a.wlx")));
    testfiles::writeFile(dir.at("b.txt"), "text");
    const std::string english = "LC_ALL=C.UTF-8";
    const std::string japanese = "LC_ALL=ja_JP.UTF-8";
    const std::string tryHelp = "Try 'rivodiv --help' for more information.\n";
    const struct {
        std::string environment;
        std::string arguments;
        int status;
        std::string stdoutStart;
        std::string stderrText;
    } rows[] = {
        {english, "nothere.wlx", 1, "", "rivodiv: file not found: nothere.wlx\n"},
        {english, "b.txt", 1, "", "rivodiv: unknown file type: b.txt\n"},
        {english, "", 1, "", ""},
        {"LANG=ja_JP.UTF-8", "nothere.wlx", 1, "", "rivodiv: ファイルが存在しません: nothere.wlx\n"},
        {japanese, "b.txt", 1, "", "rivodiv: ファイル形式が特定できません: b.txt\n"},
        // The first of LC_ALL, LC_MESSAGES and LANG that is not empty decides.
        {"LC_ALL= LC_MESSAGES=ja_JP.UTF-8 LANG=en_GB.UTF-8", "nothere.wlx", 1, "",
         "rivodiv: ファイルが存在しません: nothere.wlx\n"},
        {"LC_ALL=fr_FR.UTF-8 LANG=ja_JP.UTF-8", "nothere.wlx", 1, "", "rivodiv: file not found: nothere.wlx\n"},
        {english, "--help", 0, "Usage: rivodiv [OPTION]... FILE...\n", ""},
        {japanese, "-h", 0, "使い方: rivodiv [オプション] ファイル...\n", ""},
        {english, "--version", 0, "rivodiv " RIVODIV_VERSION "\n", ""},
        {english, "--help --version a.wlx", 0, "Usage: rivodiv", ""},
        {english, "--bogus a.wlx", 2, "", "rivodiv: unknown option: --bogus\n" + tryHelp},
        {english, "--help -x", 2, "", "rivodiv: unknown option: -x\n" + tryHelp},
        {english, "- a.wlx", 2, "", "rivodiv: unknown option: -\n" + tryHelp},
        {japanese, "-v", 2, "",
         "rivodiv: 不明なオプションです: -v\n詳しくは 'rivodiv --help' を実行してください。\n"},
        // After the first path every argument is a path.
        {english, "a.wlx --help", 1, "", "rivodiv: file not found: --help\n"},
        {english, "-- -a.wlx", 0, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.environment + " rivodiv " + row.arguments);
        const testfiles::Shell r =
            testfiles::runShell("(cd " + testfiles::shellQuoted(dir.path()) + " && env -u LANGUAGE " +
                                row.environment + " '" RIVODIV_EXE "' " + row.arguments + " </dev/null 2>err)");
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.output.substr(0, row.stdoutStart.size()), row.stdoutStart);
        if (row.stdoutStart.empty()) {
            EXPECT_EQ(r.output, "");
        }
        EXPECT_EQ(testfiles::readFile(dir.at("err")), row.stderrText);
    }
    // Only the run with "--" converted anything.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"-a.psd", "-a.wlx", "a.wlx", "b.txt", "err"}));
}

TEST(Program, EnglishQuestionNamesTheFormatOfTheFileInTheWay) {
    const testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    testfiles::writeFile(dir.at("a.wlx"), testfiles::readFile(RIVODIV_SOURCE_DIR "/examples/example.wlx"));
    testfiles::writeFile(dir.at("a.psd"), "old");
    const std::string run = " | LC_ALL=C.UTF-8 '" RIVODIV_EXE "' ";
    const testfiles::Shell r = testfiles::runShell("cd " + testfiles::shellQuoted(dir.path()) + " && (echo n" +
                                                   run + "a.wlx; echo y" + run + "a.wlx; echo n" + run + "a.psd)");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              "rivodiv: PSD: a.psd already exists. Replace it? [y/N] "
              "rivodiv: PSD: a.psd already exists. Replace it? [y/N] "
              "rivodiv: WLX: a.wlx already exists. Replace it? [y/N] ");
    EXPECT_NE(testfiles::readFile(dir.at("a.psd")), "old");
}

}  // namespace
