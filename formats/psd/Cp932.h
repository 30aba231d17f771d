#pragma once
// Code page 932 <-> UTF-16, for layer names: WLX documents hold CP932 bytes, PSD readers expect the
// Unicode name. Self-contained (a generated table), so every build converts the same way.
#include <cstddef>
#include <string>

namespace cp932 {

// The UTF-16 units of a CP932 byte string; false when the bytes are not valid CP932 (a byte or pair
// with no character, a lead byte at the end).
bool toUtf16(const std::string& bytes, std::u16string& units);

// CP932 bytes of UTF-16 text; each character CP932 cannot hold, and each unpaired surrogate,
// becomes '?'.
std::string fromUtf16(const std::u16string& units);

// The length of the longest start of bytes, at most limit bytes, that ends between characters: a
// lead byte (0x81-0x9F, 0xE0-0xFC) takes the next byte with it, whatever that byte is. With limit at
// bytes.size() or more it is one short exactly when bytes end in a lone lead byte.
size_t characterBoundary(const std::string& bytes, size_t limit);

}  // namespace cp932
