#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "formats/psd/PackBits.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& row) {
    const int32_t counted = packBitsEncode(row.data(), static_cast<int32_t>(row.size()), nullptr);
    Bytes out(static_cast<size_t>(counted) + 1, 0xEE);  // one guard byte past the counted length
    const int32_t written = packBitsEncode(row.data(), static_cast<int32_t>(row.size()), out.data());
    EXPECT_EQ(written, counted) << "count-only and writing calls disagree";
    EXPECT_EQ(out.back(), 0xEE) << "encoder wrote past its counted length";
    out.pop_back();
    return out;
}

Bytes repeated(size_t n, uint8_t value) { return Bytes(n, value); }

// n bytes with no two equal neighbours.
Bytes distinct(size_t n) {
    Bytes row(n);
    for (size_t i = 0; i < n; ++i) row[i] = static_cast<uint8_t>(i % 251);
    return row;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(PackBitsEncodeTest, GreedyDecisions) {
    struct Case {
        const char* what;
        Bytes row;
        Bytes packed;
    };
    const Bytes d128 = distinct(128);
    const Case cases[] = {
        {"empty row", {}, {}},
        {"single byte", {9}, {0x00, 9}},
        {"three equal bytes", {1, 1, 1}, {0xFE, 1}},
        {"three distinct bytes", {1, 2, 3}, {0x02, 1, 2, 3}},
        {"a pair splits a literal", {1, 2, 2, 3}, {0x00, 1, 0xFF, 2, 0x00, 3}},
        {"literal cut before a trailing pair", {1, 2, 3, 3}, {0x01, 1, 2, 0xFF, 3}},
        {"last byte taken into the literal", {5, 5, 6, 7}, {0xFF, 5, 0x01, 6, 7}},
        {"128 equal bytes", repeated(128, 4), {0x81, 4}},
        {"129 equal bytes leave a one-byte literal", repeated(129, 4), {0x81, 4, 0x00, 4}},
        {"130 equal bytes", repeated(130, 4), {0x81, 4, 0xFF, 4}},
        {"128 distinct bytes", d128, concat({{0x7F}, d128})},
        {"129 distinct bytes", distinct(129), concat({{0x7F}, d128, {0x00, 128}})},
    };
    for (const Case& c : cases) EXPECT_EQ(encode(c.row), c.packed) << c.what;
}

TEST(PackBitsEncodeTest, WorstCaseRowReachesTheBound) {
    // One single byte followed by a pair, repeated: n + n / 3, the bound that limits a writable row
    // to 49151 pixels under 16-bit row counts.
    Bytes row;
    for (int i = 0; i < 300; ++i) {
        row.push_back(static_cast<uint8_t>(2 * i));
        row.push_back(static_cast<uint8_t>(2 * i + 1));
        row.push_back(static_cast<uint8_t>(2 * i + 1));
    }
    EXPECT_EQ(encode(row).size(), 1200u);
    EXPECT_EQ(packBitsEncode(row.data(), 0, nullptr), 0);
    EXPECT_EQ(packBitsEncode(row.data(), -5, nullptr), 0);
}

// The byte-at-a-time encoder the word-at-a-time one replaced: every packed byte must stay the same.
Bytes referenceEncode(const Bytes& row) {
    Bytes out;
    const size_t length = row.size();
    for (size_t p = 0; p < length;) {
        const uint8_t b = row[p];
        size_t k = 0;
        while (k < 127 && p + 1 + k < length && row[p + 1 + k] == b) ++k;
        if (k >= 1) {
            out.insert(out.end(), {static_cast<uint8_t>(-static_cast<int>(k)), b});
            p += k + 1;
            continue;
        }
        size_t taken = 1;
        for (size_t q = p + 1; q < length && taken < 128; ++q, ++taken)
            if (q + 1 < length && row[q] == row[q + 1]) break;
        out.push_back(static_cast<uint8_t>(taken - 1));
        out.insert(out.end(), row.begin() + static_cast<ptrdiff_t>(p), row.begin() + static_cast<ptrdiff_t>(p + taken));
        p += taken;
    }
    return out;
}

TEST(PackBitsRoundTripTest, RandomRowsDecodeToThemselves) {
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t length = trial < 2000 ? rng() % 700 : rng() % 5000;
        // Small alphabets give runs and pairs; full bytes give long literals; every fourth row is
        // made of runs of random lengths (up to past a packet's 128), as painted rows are.
        const unsigned alphabet = trial % 4 == 0 ? 256 : 2 + trial % 5;
        Bytes row(length);
        for (uint8_t& b : row) b = static_cast<uint8_t>(rng() % alphabet);
        for (size_t i = 0; trial % 4 == 3 && i < length;) {
            const size_t run = std::min<size_t>(length - i, 1 + rng() % (rng() % 2 ? 4 : 300));
            std::fill_n(row.begin() + static_cast<ptrdiff_t>(i), run, static_cast<uint8_t>(rng()));
            i += run;
        }
        const Bytes packed = encode(row);
        ASSERT_EQ(packed, referenceEncode(row)) << "trial " << trial;
        ASSERT_LE(static_cast<int64_t>(packed.size()), packBitsMaxLength(static_cast<int64_t>(length)))
            << "trial " << trial;
        Bytes back(length + 1, 0xEE);
        ASSERT_TRUE(packBitsDecode(packed.data(), static_cast<int32_t>(packed.size()), back.data(),
                                   static_cast<int32_t>(length)))
            << "trial " << trial;
        EXPECT_EQ(back.back(), 0xEE) << "decoder wrote past the row, trial " << trial;
        back.pop_back();
        ASSERT_EQ(back, row) << "trial " << trial;
        // Walk the packets: the encoder never emits the 0x80 no-op header.
        for (size_t i = 0; i < packed.size();) {
            ASSERT_NE(packed[i], 0x80) << "encoder emitted a no-op, trial " << trial;
            i += packed[i] < 0x80 ? packed[i] + 2u : 2u;
        }
    }
}

TEST(PackBitsDecodeTest, Outcomes) {
    struct Case {
        const char* what;
        Bytes source;
        int32_t expectedLength;
        bool ok;
        Bytes row;  // checked on success
    };
    const Case cases[] = {
        {"literal", {0x02, 1, 2, 3}, 3, true, {1, 2, 3}},
        {"run", {0xFE, 7}, 3, true, {7, 7, 7}},
        {"0x80 is skipped", {0x80, 0x00, 7}, 1, true, {7}},
        {"trailing source bytes ignored", {0xFF, 4, 0x00, 9, 9}, 2, true, {4, 4}},
        {"longest run", {0x81, 6}, 128, true, repeated(128, 6)},
        {"ends inside a literal", {0x03, 1, 2}, 4, false, {}},
        {"run header is the last byte", {0x00, 1, 0xFE}, 4, false, {}},
        {"source empty", {}, 1, false, {}},
        {"only a no-op", {0x80}, 1, false, {}},
        {"literal runs past the row", {0x02, 1, 2, 3}, 2, false, {}},
        {"run runs past the row", {0x00, 1, 0xFE, 2}, 3, false, {}},
        {"row short of expected", {0xFF, 1}, 3, false, {}},
    };
    for (const Case& c : cases) {
        Bytes out(static_cast<size_t>(c.expectedLength) + 1, 0xEE);
        const bool ok = packBitsDecode(c.source.data(), static_cast<int32_t>(c.source.size()), out.data(),
                                       c.expectedLength);
        EXPECT_EQ(ok, c.ok) << c.what;
        EXPECT_EQ(out.back(), 0xEE) << "wrote past the row: " << c.what;
        out.pop_back();
        if (ok && c.ok) {
            EXPECT_EQ(out, c.row) << c.what;
        }
    }
}

TEST(PackBitsDecodeTest, EmptyRowReadsNothing) {
    uint8_t dst = 0;
    EXPECT_TRUE(packBitsDecode(nullptr, 0, &dst, 0));
    EXPECT_TRUE(packBitsDecode(nullptr, 0, &dst, -3));
}

}  // namespace
