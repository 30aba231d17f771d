#pragma once
// Code page 932 <-> UTF-16, for layer names: WLX documents hold CP932 bytes, PSD readers expect the
// Unicode name. Self-contained (a generated table), so every build converts the same way.
#include <string>

namespace cp932 {

// The UTF-16 units of a CP932 byte string; false when the bytes are not valid CP932 (a byte or pair
// with no character, a lead byte at the end).
bool toUtf16(const std::string& bytes, std::u16string& units);

// CP932 bytes of UTF-16 text; each character CP932 cannot hold, and each unpaired surrogate,
// becomes '?'.
std::string fromUtf16(const std::u16string& units);

}  // namespace cp932
