#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Lead and trail bytes of the narrow code page in force. A lead byte and the byte after it form
// one character, so a second byte equal to '\\' or '.' is never taken for a separator.
class CodePageBytes {
public:
    static CodePageBytes none();   // single-byte code pages and UTF-8
    static CodePageBytes cp932();  // Shift-JIS as Windows defines it

    void setLead(uint8_t b, bool on) { set(b, kLead, on); }
    void setTrail(uint8_t b, bool on) { set(b, kTrail, on); }
    bool isLead(uint8_t b) const { return (flags_[b] & kLead) != 0; }
    bool isTrail(uint8_t b) const { return (flags_[b] & kTrail) != 0; }
    bool hasLeadBytes() const;

private:
    static constexpr uint8_t kLead = 1;
    static constexpr uint8_t kTrail = 2;
    void set(uint8_t b, uint8_t bit, bool on) {
        flags_[b] = static_cast<uint8_t>(on ? (flags_[b] | bit) : (flags_[b] & ~bit));
    }
    std::array<uint8_t, 256> flags_{};
};

// True when the path names an existing entry that is not a directory.
bool fileExists(const std::string& path);

// Path operations over either syntax, for the code that must not care which one it runs on.
// Windows: '\\' separates directories; a root is "X:" or "\\\\server\\share". POSIX: '/' separates,
// and the only root is a leading '/'.
class PathSyntax {
public:
    enum class Style { Windows, Posix };

    PathSyntax(Style style, CodePageBytes cp) : style_(style), cp_(cp) {}
    static PathSyntax windows(CodePageBytes cp) { return {Style::Windows, cp}; }
    static PathSyntax posix(CodePageBytes cp) { return {Style::Posix, cp}; }

    char separator() const { return style_ == Style::Windows ? '\\' : '/'; }
    const CodePageBytes& codePage() const { return cp_; }

    size_t rootLength(std::string_view text) const;
    std::pair<std::string, std::string> splitRoot(std::string_view text) const;
    std::string fileNamePart(std::string_view text) const;
    std::string directoryPart(std::string_view text) const;
    std::string stemPart(std::string_view text) const;
    std::string extensionPart(std::string_view text) const;
    std::string addTrailingSeparator(std::string_view text) const;
    std::string pathDirectory(std::string_view text) const;
    std::string pathWithTrailingSeparator(std::string_view text) const;
    std::string pathStem(std::string_view text) const;
    std::string pathExtension(std::string_view text) const;
    // Lowers the single-byte letters A to Z; double-byte characters are copied unchanged.
    std::string toLowerMultibyte(std::string_view text) const;

    // Where a file derived from source goes: its directory with a trailing separator. A source
    // without a directory part (cat.wlx, D:cat.wlx, /cat.wlx) keeps just its root, so the new
    // file lands beside the source rather than in a drive's root directory.
    std::string siblingPrefix(std::string_view source) const;
    // siblingPrefix + the source's stem + "." + extension.
    std::string siblingPath(std::string_view source, std::string_view extension) const;

private:
    Style style_;
    CodePageBytes cp_;
};
