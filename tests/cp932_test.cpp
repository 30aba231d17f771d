// The built-in CP932 table against the C library's own converter, over every code: the table is
// generated from it once, and must stay what it says.
#include <gtest/gtest.h>

#include <iconv.h>

#include <string>

#include "formats/psd/Cp932.h"

namespace {

// in converted by cd as a whole, or nullopt-like false when the converter refuses any of it.
bool convert(iconv_t cd, const std::string& in, std::string& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string input = in;
    char buffer[16];
    char* src = input.data();
    size_t srcLeft = input.size();
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1) || srcLeft != 0) return false;
    out.assign(buffer, sizeof buffer - dstLeft);
    return true;
}

TEST(Cp932Test, EveryCodeConvertsAsTheCLibraryDoes) {
    iconv_t decode = iconv_open("UTF-16BE", "CP932");
    iconv_t encode = iconv_open("CP932", "UTF-16BE");
    if (decode == reinterpret_cast<iconv_t>(-1) || encode == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "this C library cannot convert CP932";
    int mismatches = 0;
    for (unsigned code = 0; code < 0x10000; ++code) {
        // Bytes to UTF-16: every single byte and every pair.
        std::string bytes;
        if (code >= 0x100) bytes.push_back(static_cast<char>(code >> 8));
        bytes.push_back(static_cast<char>(code & 0xFF));
        std::string expected;
        const bool valid = convert(decode, bytes, expected);
        std::u16string units;
        const bool ours = cp932::toUtf16(bytes, units);
        std::string got;
        for (char16_t u : units) got += {static_cast<char>(u >> 8), static_cast<char>(u & 0xFF)};
        if (ours != valid || (valid && got != expected)) {
            if (++mismatches < 10) ADD_FAILURE() << "bytes " << std::hex << code;
        }
        // UTF-16 to bytes: every BMP character but the surrogates.
        if (code >= 0xD800 && code < 0xE000) continue;
        const std::string unit{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
        if (!convert(encode, unit, expected)) expected = "?";
        if (cp932::fromUtf16(std::u16string(1, static_cast<char16_t>(code))) != expected) {
            if (++mismatches < 10) ADD_FAILURE() << "character U+" << std::hex << code;
        }
    }
    EXPECT_EQ(mismatches, 0);
    iconv_close(decode);
    iconv_close(encode);
}

}  // namespace
