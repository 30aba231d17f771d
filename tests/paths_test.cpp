#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "driver/Paths.h"
#include "support/TestFiles.h"

namespace {

// 表 in code page 932: its second byte is the backslash.
const std::string kOmote = "\x95\x5c";

struct PathRow {
    std::string text;
    size_t root;
    std::string directory;
    std::string withTrailing;
    std::string stem;
    std::string extension;
};

void expectRow(const PathSyntax& syntax, const PathRow& row) {
    SCOPED_TRACE("text: \"" + row.text + "\"");
    EXPECT_EQ(syntax.rootLength(row.text), row.root);
    EXPECT_EQ(syntax.pathDirectory(row.text), row.directory);
    EXPECT_EQ(syntax.pathWithTrailingSeparator(row.text), row.withTrailing);
    EXPECT_EQ(syntax.pathStem(row.text), row.stem);
    EXPECT_EQ(syntax.pathExtension(row.text), row.extension);
    const auto [root, rest] = syntax.splitRoot(row.text);
    EXPECT_EQ(root.size(), row.root);
    EXPECT_EQ(root + rest, row.text);
}

const PathRow kWindowsRows[] = {
    {"D:\\pics\\cat.wlx", 2, "D:\\pics", "D:\\pics\\cat.wlx\\", "cat", "wlx"},
    {"D:\\pics", 2, "D:", "D:\\pics\\", "pics", ""},
    {"D:", 2, "D:", "D:\\", "", ""},
    {"D:\\a.b\\cat", 2, "D:\\a.b", "D:\\a.b\\cat\\", "cat", ""},
    {"D:\\x\\a.tar.WLX", 2, "D:\\x", "D:\\x\\a.tar.WLX\\", "a.tar", "WLX"},
    {"D:\\x\\.psd", 2, "D:\\x", "D:\\x\\.psd\\", "", "psd"},
    {"D:\\x\\cat.", 2, "D:\\x", "D:\\x\\cat.\\", "cat", ""},
    {"\\\\srv\\share\\cat.psd", 11, "\\\\srv\\share", "\\\\srv\\share\\cat.psd\\", "cat", "psd"},
    {"\\\\srv\\share", 11, "\\\\srv\\share", "\\\\srv\\share\\", "", ""},
    {"\\\\srv", 0, "\\", "\\\\srv\\", "srv", ""},
    {"sub\\cat.psd", 0, "sub", "sub\\cat.psd\\", "cat", "psd"},
    {"cat.psd", 0, "", "cat.psd\\", "cat", "psd"},
    {"", 0, "", "\\", "", ""},
    // A forward slash is an ordinary character in this syntax.
    {"D:/pics/cat.wlx", 2, "D:", "D:/pics/cat.wlx\\", "/pics/cat", "wlx"},
    {"z:x", 2, "z:", "z:x\\", "x", ""},
    {"1:x", 0, "", "1:x\\", "1:x", ""},
};

TEST(WindowsPaths, WorkedValuesWithAndWithoutLeadBytes) {
    for (const CodePageBytes& cp : {CodePageBytes::cp932(), CodePageBytes::none()})
        for (const PathRow& row : kWindowsRows) expectRow(PathSyntax::windows(cp), row);
    EXPECT_EQ(PathSyntax::windows(CodePageBytes::cp932()).pathWithTrailingSeparator("D:\\pics"), "D:\\pics\\");
}

TEST(WindowsPaths, NetworkPrefixNeedsServerAndShare) {
    const CodePageBytes cp = CodePageBytes::cp932();
    struct {
        const char* text;
        size_t root;
    } rows[] = {
        {"\\\\", 0},          {"\\\\srv\\", 0},        {"\\\\srv\\\\x", 0},
        {"\\\\a\\b", 5},      {"\\\\a\\b\\c\\d", 5},   {"\\x\\y", 0},
        {"\\\\\\share", 8},  // an empty server name is accepted; only the share must be present
    };
    for (const auto& row : rows) EXPECT_EQ(PathSyntax::windows(cp).rootLength(row.text), row.root) << row.text;
}

TEST(WindowsPaths, DoubleByteCharacterEndingInBackslashByteIsNotSplit) {
    const CodePageBytes cp = CodePageBytes::cp932();
    const std::string path = "D:\\" + kOmote + "\\a.wlx";
    EXPECT_EQ(PathSyntax::windows(cp).fileNamePart(path), "a.wlx");
    EXPECT_EQ(PathSyntax::windows(cp).directoryPart(PathSyntax::windows(cp).splitRoot(path).second), "\\" + kOmote);
    EXPECT_EQ(PathSyntax::windows(cp).pathDirectory(path), "D:\\" + kOmote);
    EXPECT_EQ(PathSyntax::windows(cp).addTrailingSeparator("D:\\" + kOmote), "D:\\" + kOmote + "\\");
    EXPECT_EQ(PathSyntax::windows(cp).pathStem("D:\\" + kOmote + ".wlx"), kOmote);
    // A share named by such a character ends after it, not inside it.
    EXPECT_EQ(PathSyntax::windows(cp).rootLength("\\\\srv\\" + kOmote + "\\x"), 8u);
    EXPECT_EQ(PathSyntax::windows(cp).rootLength("\\\\" + kOmote + "\\s"), 6u);

    // Without lead bytes the same bytes are a name followed by a backslash.
    const CodePageBytes none = CodePageBytes::none();
    EXPECT_EQ(PathSyntax::windows(none).fileNamePart("D:\\" + kOmote + "\\a.wlx"), "a.wlx");
    EXPECT_EQ(PathSyntax::windows(cp).pathStem("D:\\" + kOmote), kOmote);
    EXPECT_EQ(PathSyntax::windows(none).pathStem("D:\\" + kOmote), "");
    EXPECT_EQ(PathSyntax::windows(none).addTrailingSeparator("D:\\" + kOmote), "D:\\" + kOmote);
}

TEST(WindowsPaths, LeadByteAtTheEndStandsAlone) {
    const CodePageBytes cp = CodePageBytes::cp932();
    EXPECT_EQ(PathSyntax::windows(cp).fileNamePart("a\\b\x95"), "b\x95");
    EXPECT_EQ(PathSyntax::windows(cp).addTrailingSeparator("a\x95"), "a\x95\\");
    EXPECT_EQ(PathSyntax::windows(cp).toLowerMultibyte("A\x95"), "a\x95");
}

TEST(ToLowerMultibyte, LowersOnlySingleByteAsciiLetters) {
    const CodePageBytes cp = CodePageBytes::cp932();
    struct {
        std::string in;
        std::string out;
    } rows[] = {
        {"WLX", "wlx"},
        {"PSD@[`{", "psd@[`{"},
        {"\x82\x60\x82\x61", "\x82\x60\x82\x61"},  // full-width Ａ and Ｂ
        {"\x83\x41Z", "\x83\x41z"},                // a double-byte character whose second byte is 'A'
        {"\xc0\xc9", "\xc0\xc9"},                  // single-byte letters outside A to Z stay
        {"\x81" "A", "\x81" "A"},                  // lead byte + 'A' (a trail byte) is one unit
        {"\x81\x30" "A", "\x81\x30" "a"},          // 0x30 is no trail byte: three units
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(PathSyntax::windows(cp).toLowerMultibyte(row.in), row.out) << row.in;
    EXPECT_EQ(PathSyntax::windows(CodePageBytes::none()).toLowerMultibyte("\x83\x41Z"), "\x83\x61z");
}

const PathRow kPosixRows[] = {
    {"/home/u/cat.wlx", 1, "/home/u", "/home/u/cat.wlx/", "cat", "wlx"},
    {"/pics", 1, "/", "/pics/", "pics", ""},
    {"/", 1, "/", "/", "", ""},
    {"/a.b/cat", 1, "/a.b", "/a.b/cat/", "cat", ""},
    {"/x/.psd", 1, "/x", "/x/.psd/", "", "psd"},
    {"x/cat.", 0, "x", "x/cat./", "cat", ""},
    {"cat.psd", 0, "", "cat.psd/", "cat", "psd"},
    {"", 0, "", "/", "", ""},
    // Backslashes, drive letters and network prefixes mean nothing here.
    {"D:\\pics\\cat.wlx", 0, "", "D:\\pics\\cat.wlx/", "D:\\pics\\cat", "wlx"},
    {"\\\\srv\\share\\c.psd", 0, "", "\\\\srv\\share\\c.psd/", "\\\\srv\\share\\c", "psd"},
    {"//x/y.wlx", 1, "//x", "//x/y.wlx/", "y", "wlx"},
};

TEST(PosixPaths, WorkedValues) {
    for (const CodePageBytes& cp : {CodePageBytes::cp932(), CodePageBytes::none()})
        for (const PathRow& row : kPosixRows) expectRow(PathSyntax::posix(cp), row);
}

TEST(OutputNames, BesideTheSourceInBothSyntaxes) {
    const PathSyntax windows = PathSyntax::windows(CodePageBytes::cp932());
    const PathSyntax posix = PathSyntax::posix(CodePageBytes::none());
    const struct {
        const PathSyntax& syntax;
        std::string source;
        std::string extension;
        std::string output;
    } rows[] = {
        {windows, "D:\\pics\\cat.wlx", "psd", "D:\\pics\\cat.psd"},
        {windows, "D:\\pics\\Cat.V2.WLX", "psd", "D:\\pics\\Cat.V2.psd"},
        {windows, "\\\\srv\\share\\cat.psd", "wlx", "\\\\srv\\share\\cat.wlx"},
        {windows, "D:\\pics\\.wlx", "psd", "D:\\pics\\.psd"},
        {windows, "\\cat.wlx", "psd", "\\cat.psd"},
        // Bare names stay beside the source rather than going to a drive's root.
        {windows, "cat.wlx", "psd", "cat.psd"},
        {windows, "D:cat.wlx", "psd", "D:cat.psd"},
        {windows, "D:\\" + kOmote + "\\a.wlx", "psd", "D:\\" + kOmote + "\\a.psd"},
        {windows, kOmote + ".wlx", "psd", kOmote + ".psd"},
        {posix, "/home/u/Cat.V2.WLX", "psd", "/home/u/Cat.V2.psd"},
        {posix, "rel/cat.psd", "wlx", "rel/cat.wlx"},
        {posix, "cat.wlx", "psd", "cat.psd"},
        {posix, "/cat.wlx", "psd", "/cat.psd"},
        {posix, "d/.wlx", "psd", "d/.psd"},
        {posix, "a\\b.wlx", "psd", "a\\b.psd"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.syntax.siblingPath(row.source, row.extension), row.output) << row.source;
    EXPECT_EQ(posix.pathExtension("d.x/cat"), "");
}

TEST(FileExists, OnlyForEntriesThatAreNotDirectories) {
    const testfiles::TempDir dir;
    ASSERT_TRUE(dir.ok());
    testfiles::writeFile(dir.at("cat.psd"), "");
    ASSERT_EQ(mkdir(dir.at("pics.wlx").c_str(), 0755), 0);
    EXPECT_TRUE(fileExists(dir.at("cat.psd")));
    for (const std::string& path : {dir.at("pics.wlx"), dir.path(), dir.at("nothere.wlx"), std::string()})
        EXPECT_FALSE(fileExists(path)) << path;
}

}  // namespace
