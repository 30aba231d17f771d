#include "driver/posix/PosixTexts.h"

#include <iconv.h>

namespace {

std::string convert(const std::string& text, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string result(text.size() * 3 + 4, '\0');
    char* inPtr = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* outPtr = result.data();
    size_t outLeft = result.size();
    const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1) || inLeft != 0) return text;
    result.resize(result.size() - outLeft);
    return result;
}

// Japanese: the message table's own texts (code page 932) and the terminal's texts (UTF-8, as
// written here).
PosixTexts japanese() {
    return {MessageTexts{},
            {"使い方: rivodiv [オプション] ファイル...\n"
             "各ファイルを WLX と PSD の間で変換します。name.wlx は name.psd に、name.psd は name.wlx\n"
             "になり、元のファイルと同じフォルダーに書かれます。ファイルを指定しないと、端末から\n"
             "ひとつ尋ねます。\n"
             "\n"
             "  -h, --help     この説明を表示して終了します\n"
             "      --version  版数を表示して終了します\n"
             "      --         オプションの終わり。以降の引数はすべてファイルです\n"
             "\n"
             "オプションは最初のファイルより前にだけ書けます。既にある出力は、y、yes または ok と\n"
             "答えたときだけ置き換えます。\n"
             "終了コード: 0 すべてのファイルが検査を通った (変換の失敗はそれぞれ表示されます)、\n"
             "1 ファイルが存在しないか形式が特定できない、2 不明なオプション。\n"
             "LC_ALL、LC_MESSAGES、LANG のうち最初の空でないものが ja で始まるとき、\n"
             "表示は日本語です。\n",
             "不明なオプションです: ", "詳しくは 'rivodiv --help' を実行してください。"}};
}

// English: plain ASCII, the same in every character set.
PosixTexts english() {
    MessageTexts m;
    m.fileMissing = "file not found: ";
    m.unknownFormat = "unknown file type: ";
    m.psdExists = "PSD: ";
    m.wlxExists = "WLX: ";
    m.existsQuestion = " already exists. Replace it?";
    m.readFailed = "cannot read file: ";
    m.writeFailed = "cannot write file: ";
    m.chooseTitle = "File to convert";
    return {m,
            {"Usage: rivodiv [OPTION]... FILE...\n"
             "Convert each FILE between WLX and PSD: name.wlx becomes name.psd and name.psd becomes\n"
             "name.wlx, written beside the source. Without FILE, asks for one on a terminal.\n"
             "\n"
             "  -h, --help     show this help and exit\n"
             "      --version  show the version and exit\n"
             "      --         end the options: every later argument is a FILE\n"
             "\n"
             "Options are recognised only before the first FILE. An existing output is replaced\n"
             "only when you answer y, yes or ok.\n"
             "Exit status: 0 once every FILE passed the checks (each failed conversion is reported),\n"
             "1 when a FILE is missing or is not .wlx or .psd, 2 for an unknown option.\n"
             "Messages are Japanese when the first non-empty one of LC_ALL, LC_MESSAGES and LANG\n"
             "starts with \"ja\", English otherwise.\n",
             "unknown option: ", "Try 'rivodiv --help' for more information."}};
}

}  // namespace

Language messageLanguage(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value == nullptr || *value == '\0') continue;
        return value[0] == 'j' && value[1] == 'a' ? Language::Japanese : Language::English;
    }
    return Language::English;
}

PosixTexts posixTexts(Language language, bool shiftJis) {
    if (language == Language::English) return english();
    PosixTexts t = japanese();
    if (shiftJis) {
        for (std::string* text : {&t.commandLine.usage, &t.commandLine.unknownOption, &t.commandLine.usageHint})
            *text = convert(*text, "CP932", "UTF-8");
    } else {
        t.messages = utf8MessageTexts();
    }
    return t;
}

MessageTexts utf8MessageTexts() {
    MessageTexts t;
    for (std::string* text : {&t.fileMissing, &t.unknownFormat, &t.psdExists, &t.wlxExists,
                              &t.existsQuestion, &t.readFailed, &t.writeFailed, &t.chooseTitle})
        *text = convert(*text, "UTF-8", "CP932");
    return t;
}
