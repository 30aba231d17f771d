#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "formats/psd/PixelConversion.h"
#include "formats/psd/ZipChannel.h"

namespace {

using Bytes = std::vector<uint8_t>;

// zlib, not libdeflate, makes the streams: an independent writer of what PSD files hold.
Bytes zlibOf(const Bytes& raw, int level = Z_DEFAULT_COMPRESSION) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes packed(size);
    EXPECT_EQ(compress2(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level), Z_OK);
    packed.resize(size);
    return packed;
}

constexpr uint8_t kGuard = 0xEE;
constexpr size_t kGuardBytes = 16;

struct Inflated {
    bool ok;
    Bytes rows;
    std::string problem;
};

// Inflates into a buffer of exactly the channel's bytes followed by guard bytes, which must survive.
Inflated inflate(const Bytes& packed, bool predicted, uint16_t depth, uint64_t width, uint64_t rows) {
    const uint64_t size = psd::storedRowBytes(width, depth) * rows;
    Bytes out(size + kGuardBytes, kGuard);
    Inflated result;
    result.ok = psd::inflateZipChannel(packed.data(), packed.size(), predicted, depth, width, rows, out.data(),
                                       result.problem);
    for (size_t i = 0; i < kGuardBytes; ++i) EXPECT_EQ(out[size + i], kGuard) << "written past the rows";
    out.resize(size);
    result.rows = out;
    return result;
}

TEST(ZipChannelTest, RowsComeBackAsStored) {
    struct Case {
        const char* what;
        uint16_t depth;
        uint64_t width, rows;
        bool predicted;
        Bytes stored;    // as zlib compresses it
        Bytes expected;  // the rows the channel holds
    };
    const Case cases[] = {
        {"8-bit", 8, 3, 2, false, {1, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 6}},
        {"1-bit rows pad to whole bytes", 1, 10, 2, false, {0xFF, 0xC0, 0x12, 0x40}, {0xFF, 0xC0, 0x12, 0x40}},
        {"16-bit", 16, 2, 1, false, {0x01, 0x02, 0xFF, 0xFE}, {0x01, 0x02, 0xFF, 0xFE}},
        {"8-bit prediction: bytewise, each row on its own", 8, 5, 2, true,
         {0x0A, 0x0A, 0xFB, 0xF0, 0x01, 0x07, 0x00, 0x00, 0xFF, 0x02},
         {10, 20, 15, 255, 0, 7, 7, 7, 6, 8}},
        // 0x0102, 0x0100, 0xFFFF, 0x0001: the second word's low byte borrows from its high byte.
        {"16-bit prediction: on big-endian words", 16, 4, 1, true,
         {0x01, 0x02, 0xFF, 0xFE, 0xFE, 0xFF, 0x00, 0x02},
         {0x01, 0x02, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x01}},
        // Rows of 1.0, -2.5, 0.1 and of 0.5 three times: byte planes 3F C0 3D | 80 20 CC | 00 00 CC |
        // 00 00 CD, then bytewise deltas across the row (psd-tools' encoder gives the same bytes).
        {"32-bit prediction: byte planes, then deltas", 32, 3, 2, true,
         {0x3F, 0x81, 0x7D, 0x43, 0xA0, 0xAC, 0x34, 0x00, 0xCC, 0x34, 0x00, 0xCD,
          0x3F, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0x3F, 0x80, 0x00, 0x00, 0xC0, 0x20, 0x00, 0x00, 0x3D, 0xCC, 0xCC, 0xCD,
          0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}},
        {"no rows", 8, 4, 0, true, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Inflated got = inflate(zlibOf(c.stored), c.predicted, c.depth, c.width, c.rows);
        EXPECT_TRUE(got.ok) << got.problem;
        EXPECT_EQ(got.rows, c.expected);
    }
}

TEST(ZipChannelTest, LargeChannelsRoundTripAndStayWithinTheInflateBound) {
    // A 16-bit channel of 1500 x 700 with smooth gradients, predicted the way the rows were coded.
    constexpr uint64_t kWidth = 1500, kRows = 700;
    Bytes raw(kWidth * kRows * 2);
    for (uint64_t y = 0; y < kRows; ++y) {
        for (uint64_t x = 0; x < kWidth; ++x) {
            const auto v = static_cast<uint16_t>(x * 40 + y * 7);
            raw[(y * kWidth + x) * 2] = static_cast<uint8_t>(v >> 8);
            raw[(y * kWidth + x) * 2 + 1] = static_cast<uint8_t>(v);
        }
    }
    Bytes coded = raw;
    for (uint64_t y = 0; y < kRows; ++y) {
        for (uint64_t x = kWidth - 1; x > 0; --x) {
            uint8_t* at = coded.data() + (y * kWidth + x) * 2;
            const auto v = static_cast<uint16_t>((at[0] << 8 | at[1]) - (at[-2] << 8 | at[-1]));
            at[0] = static_cast<uint8_t>(v >> 8), at[1] = static_cast<uint8_t>(v);
        }
    }
    const Inflated got = inflate(zlibOf(coded), true, 16, kWidth, kRows);
    ASSERT_TRUE(got.ok) << got.problem;
    EXPECT_TRUE(got.rows == raw);

    // The most a deflate stream expands: 8 MB of zeros at the strongest level.
    const Bytes zeros(8 << 20, 0);
    const Bytes packed = zlibOf(zeros, 9);
    EXPECT_TRUE(psd::zipCanInflateTo(packed.size(), zeros.size())) << packed.size() << " bytes";
    EXPECT_FALSE(psd::zipCanInflateTo(packed.size() / 2, zeros.size()));
    EXPECT_TRUE(psd::zipCanInflateTo(1, 1032 + 1024));
    EXPECT_FALSE(psd::zipCanInflateTo(1, 1032 + 1025));
    EXPECT_TRUE(psd::zipCanInflateTo(UINT64_MAX / 1000, UINT64_MAX));
}

TEST(ZipChannelTest, StreamsOfAnotherSizeOrDamagedFail) {
    Bytes raw(4000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7 + i / 13);
    const Bytes good = zlibOf(raw);
    Bytes truncated = good;
    truncated.resize(good.size() - 6);
    Bytes checksum = good;
    checksum.back() ^= 1;
    Bytes corrupt = good;
    corrupt[2] = 0xFF;  // the first block's header: an invalid block type
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x78, 0x9C, 0, 0});
    struct Case {
        const char* what;
        Bytes packed;
        bool predicted;
        uint16_t depth;
        uint64_t width, rows;
        const char* problem;  // null: it inflates
    };
    const Case cases[] = {
        {"exact size", good, false, 8, 100, 40, nullptr},
        {"bytes after the stream are ignored", trailing, true, 8, 100, 40, nullptr},
        {"one byte more than the rows", good, false, 8, 3999, 1, "the ZIP data does not inflate to exactly 3999 bytes"},
        {"one byte fewer", good, false, 8, 4001, 1, "the ZIP data does not inflate to exactly 4001 bytes"},
        {"16-bit rows count their bytes", good, false, 16, 100, 21, "the ZIP data does not inflate to exactly 4200 bytes"},
        {"truncated stream", truncated, false, 8, 100, 40, "the ZIP data is damaged"},
        {"wrong checksum", checksum, false, 8, 100, 40, "the ZIP data is damaged"},
        {"invalid block", corrupt, false, 8, 100, 40, "the ZIP data is damaged"},
        {"no data for rows", {}, false, 8, 100, 40, "the ZIP data is damaged"},
        {"prediction of 1-bit rows", good, true, 1, 800, 40, "ZIP prediction is not defined for 1-bit channels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Inflated got = inflate(c.packed, c.predicted, c.depth, c.width, c.rows);
        EXPECT_EQ(got.ok, c.problem == nullptr);
        EXPECT_EQ(got.problem, c.problem != nullptr ? c.problem : "");
    }
}

}  // namespace
