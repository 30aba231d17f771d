#include "driver/Paths.h"

CodePageBytes CodePageBytes::none() { return {}; }

CodePageBytes CodePageBytes::cp932() {
    CodePageBytes cp;
    for (int b = 0x81; b <= 0x9F; ++b) cp.setLead(static_cast<uint8_t>(b), true);
    for (int b = 0xE0; b <= 0xFC; ++b) cp.setLead(static_cast<uint8_t>(b), true);
    for (int b = 0x40; b <= 0x7E; ++b) cp.setTrail(static_cast<uint8_t>(b), true);
    for (int b = 0x80; b <= 0xFC; ++b) cp.setTrail(static_cast<uint8_t>(b), true);
    return cp;
}

bool CodePageBytes::hasLeadBytes() const {
    for (uint8_t f : flags_)
        if (f & kLead) return true;
    return false;
}

namespace {

uint8_t byteAt(std::string_view text, size_t i) { return static_cast<uint8_t>(text[i]); }

// Length of the character unit at i. The root walk and the lowering only pair a lead byte with a
// valid trail byte; the separator search pairs a lead byte with whatever follows it.
size_t unitLength(std::string_view text, size_t i, const CodePageBytes& cp, bool needTrail) {
    if (!cp.isLead(byteAt(text, i)) || i + 1 >= text.size()) return 1;
    if (needTrail && !cp.isTrail(byteAt(text, i + 1))) return 1;
    return 2;
}

// Position of the last single-byte unit equal to sought, or npos.
size_t lastUnit(std::string_view text, char sought, const CodePageBytes& cp) {
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < text.size(); i += unitLength(text, i, cp, false))
        if (text[i] == sought && unitLength(text, i, cp, false) == 1) found = i;
    return found;
}

// Next single-byte unit equal to sought at or after from, or npos.
size_t nextUnit(std::string_view text, size_t from, char sought, const CodePageBytes& cp) {
    for (size_t i = from; i < text.size(); i += unitLength(text, i, cp, true))
        if (text[i] == sought && unitLength(text, i, cp, true) == 1) return i;
    return std::string_view::npos;
}

bool isAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

size_t windowsRootLength(std::string_view text, const CodePageBytes& cp) {
    const size_t n = text.size();
    if (n >= 2 && isAsciiLetter(text[0]) && text[1] == ':') return 2;
    if (n >= 2 && text[0] == '\\' && text[1] == '\\') {
        if (n <= 2) return 0;
        const size_t serverEnd = nextUnit(text, 2, '\\', cp);
        if (serverEnd == std::string_view::npos || serverEnd == n - 1) return 0;
        const size_t s = serverEnd + 1;
        size_t e = nextUnit(text, s, '\\', cp);
        if (e == std::string_view::npos) e = n;
        return e == s ? 0 : e;
    }
    return 0;
}

std::string after(std::string_view text, size_t pos) {
    return pos == std::string_view::npos ? std::string() : std::string(text.substr(pos + 1));
}

std::string before(std::string_view text, size_t pos) {
    return pos == std::string_view::npos ? std::string() : std::string(text.substr(0, pos));
}

std::string fileNamePartOf(std::string_view text, char sep, const CodePageBytes& cp) {
    const size_t pos = lastUnit(text, sep, cp);
    return pos == std::string_view::npos ? std::string(text) : after(text, pos);
}

std::string stemPartOf(std::string_view text, const CodePageBytes& cp) {
    const size_t pos = lastUnit(text, '.', cp);
    return pos == std::string_view::npos ? std::string(text) : before(text, pos);
}

std::string addTrailingOf(std::string_view text, char sep, const CodePageBytes& cp) {
    const size_t pos = lastUnit(text, sep, cp);
    std::string result(text);
    if (text.empty() || pos != text.size() - 1) result += sep;
    return result;
}

std::string lowered(std::string_view text, const CodePageBytes& cp) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (unitLength(text, i, cp, true) == 2) {
            result.append(text.substr(i, 2));
            i += 2;
            continue;
        }
        const char c = text[i++];
        result += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return result;
}

}  // namespace

size_t PathSyntax::rootLength(std::string_view text) const {
    if (style_ == Style::Windows) return windowsRootLength(text, cp_);
    return !text.empty() && text[0] == '/' ? 1 : 0;
}

std::pair<std::string, std::string> PathSyntax::splitRoot(std::string_view text) const {
    const size_t n = rootLength(text);
    return {std::string(text.substr(0, n)), std::string(text.substr(n))};
}

std::string PathSyntax::fileNamePart(std::string_view text) const {
    return fileNamePartOf(text, separator(), cp_);
}
std::string PathSyntax::directoryPart(std::string_view text) const {
    return before(text, lastUnit(text, separator(), cp_));
}
std::string PathSyntax::stemPart(std::string_view text) const { return stemPartOf(text, cp_); }
std::string PathSyntax::extensionPart(std::string_view text) const {
    return after(text, lastUnit(text, '.', cp_));
}
std::string PathSyntax::addTrailingSeparator(std::string_view text) const {
    return addTrailingOf(text, separator(), cp_);
}

std::string PathSyntax::pathDirectory(std::string_view text) const {
    auto [root, rest] = splitRoot(text);
    return root + directoryPart(rest);
}
std::string PathSyntax::pathWithTrailingSeparator(std::string_view text) const {
    auto [root, rest] = splitRoot(text);
    // The POSIX root is itself a separator: "/" stays "/".
    if (style_ == Style::Posix && !root.empty() && rest.empty()) return root;
    return root + addTrailingSeparator(rest);
}
std::string PathSyntax::pathStem(std::string_view text) const {
    return stemPart(fileNamePart(splitRoot(text).second));
}
std::string PathSyntax::pathExtension(std::string_view text) const {
    return extensionPart(fileNamePart(splitRoot(text).second));
}
std::string PathSyntax::toLowerMultibyte(std::string_view text) const {
    return lowered(text, cp_);
}

std::string PathSyntax::siblingPrefix(std::string_view source) const {
    auto [root, rest] = splitRoot(source);
    if (lastUnit(rest, separator(), cp_) == std::string_view::npos) return root;
    return pathWithTrailingSeparator(pathDirectory(source));
}

std::string PathSyntax::siblingPath(std::string_view source, std::string_view extension) const {
    std::string path = siblingPrefix(source) + pathStem(source);
    path += '.';
    path += extension;
    return path;
}
