#include "driver/posix/PosixUserInterface.h"

#include <cctype>

namespace {

constexpr uint32_t kButtonMask = 0xF;
constexpr uint32_t kOkCancel = 0x1;
constexpr size_t kLongestLine = 1 << 16;

std::string lowered(const std::string& text) {
    std::string result;
    for (char c : text) result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

std::string trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

bool PosixUserInterface::readLine(std::string& line) {
    line.clear();
    int c;
    while ((c = std::fgetc(in_)) != EOF && c != '\n')
        if (line.size() < kLongestLine) line += static_cast<char>(c);
    return c != EOF || !line.empty();
}

int PosixUserInterface::showMessage(const std::string& caption, const std::string& text,
                                    uint32_t flags, const std::string& detail) {
    std::fprintf(out_, "%s: %s", caption.c_str(), text.c_str());
    if ((flags & kButtonMask) != kOkCancel) {
        std::fputc('\n', out_);
        if (!detail.empty()) std::fprintf(out_, "%s:   %s\n", caption.c_str(), detail.c_str());
        std::fflush(out_);
        return kAnswerOk;
    }
    std::fputs(" [y/N] ", out_);
    std::fflush(out_);
    std::string answer;
    const bool got = readLine(answer);
    if (!got) std::fputc('\n', out_);  // keep the next message off the prompt's line
    answer = lowered(trimmed(answer));
    const bool ok = got && (answer == "y" || answer == "yes" || answer == "ok");
    return ok ? kAnswerOk : 2;  // 2 is IDCANCEL
}

void PosixUserInterface::showNote(const std::string& caption, const std::string& note) {
    std::fprintf(out_, "%s:   %s\n", caption.c_str(), note.c_str());
    std::fflush(out_);
}

std::string PosixUserInterface::chooseFile(const std::string& title) {
    if (!inputIsTerminal_) return {};
    std::fprintf(out_, "%s: ", title.c_str());
    std::fflush(out_);
    std::string path;
    if (!readLine(path)) return {};
    if (!path.empty() && path.back() == '\r') path.pop_back();
    return path;
}

bool isShiftJisCodeset(const std::string& codeset) {
    std::string key;
    for (char c : lowered(codeset))
        if (c != '-' && c != '_') key += c;
    return key == "shiftjis" || key == "sjis" || key == "cp932" || key == "windows31j" ||
           key == "mscp932" || key == "ibm943";
}
