#include "formats/psd/Cp932.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "formats/psd/Cp932Table.h"

namespace cp932 {
namespace {

constexpr uint8_t kFirstHalfWidth = 0xA1, kLastHalfWidth = 0xDF;
constexpr char16_t kHalfWidthBase = 0xFF61;

// Character of a two-byte code, or kUnassigned.
char16_t doubleUnit(uint8_t lead, uint8_t trail) {
    const int row = kRowOfLead[lead];
    if (row < 0 || trail < kTrailFirst || trail - kTrailFirst >= kTrailCount) return kUnassigned;
    return kDouble[row][trail - kTrailFirst];
}

// Code of every BMP character CP932 encodes (0 where none): the lowest code, except that rows 0xED
// and 0xEE, which repeat characters held elsewhere, are taken only where nothing else holds it; a
// code below 0x100 is a single byte.
const std::vector<uint16_t>& encodeTable() {
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> codes(0x10000, 0);
        auto rank = [](uint16_t code) { return (code >= 0xED00 && code < 0xEF00 ? 0x10000u : 0u) + code; };
        for (unsigned lead = 0x81; lead <= 0xFF; ++lead) {
            for (unsigned t = 0; t < kTrailCount; ++t) {
                const char16_t unit = doubleUnit(static_cast<uint8_t>(lead), static_cast<uint8_t>(kTrailFirst + t));
                if (unit == kUnassigned) continue;
                const uint16_t code = static_cast<uint16_t>(lead << 8 | (kTrailFirst + t));
                if (codes[unit] == 0 || rank(code) < rank(codes[unit])) codes[unit] = code;
            }
        }
        for (const EncodeOnly& e : kEncodeOnly) codes[e.unit] = e.code;
        return codes;
    }();
    return table;
}

}  // namespace

size_t characterBoundary(const std::string& bytes, size_t limit) {
    const size_t end = std::min(bytes.size(), limit);
    size_t at = 0;
    while (at < end) {
        const uint8_t b = static_cast<uint8_t>(bytes[at]);
        const size_t width = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC) ? 2 : 1;
        if (width > end - at) break;
        at += width;
    }
    return at;
}

bool toUtf16(const std::string& bytes, std::u16string& units) {
    units.clear();
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b < 0x80) {
            units.push_back(b);
        } else if (b >= kFirstHalfWidth && b <= kLastHalfWidth) {
            units.push_back(static_cast<char16_t>(kHalfWidthBase + (b - kFirstHalfWidth)));
        } else {
            if (i + 1 >= bytes.size()) return false;
            const char16_t unit = doubleUnit(b, static_cast<uint8_t>(bytes[++i]));
            if (unit == kUnassigned) return false;
            units.push_back(unit);
        }
    }
    return true;
}

std::string fromUtf16(const std::u16string& units) {
    const std::vector<uint16_t>& codes = encodeTable();
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u >= kHalfWidthBase && u <= kHalfWidthBase + (kLastHalfWidth - kFirstHalfWidth)) {
            out.push_back(static_cast<char>(kFirstHalfWidth + (u - kHalfWidthBase)));
        } else if (codes[u] != 0) {
            if (codes[u] >= 0x100) out.push_back(static_cast<char>(codes[u] >> 8));
            out.push_back(static_cast<char>(codes[u] & 0xFF));
        } else {
            // A surrogate pair is one character outside the BMP: one '?' for the pair.
            if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
                ++i;
            out.push_back('?');
        }
    }
    return out;
}

}  // namespace cp932
