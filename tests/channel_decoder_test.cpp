#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/psd/ChannelDecoder.h"
#include "formats/psd/PackBits.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A layer's channels in the order files keep them, and the pixel byte each fills.
constexpr int kFileOrderBytes[] = {3, 2, 1, 0};  // transparency, red, green, blue
constexpr uint64_t kRows = 5;
constexpr uint8_t kUntouched = 0xA5;

// Byte x of row r of the channel for pixel byte b: runs and noise, different in every channel.
uint8_t sample(int b, uint64_t r, uint64_t x) {
    if (x % 9 < 4) return static_cast<uint8_t>(40 * b + r);
    return static_cast<uint8_t>(x * 37 + r * 11 + b * 61);
}

// One channel's rows as the file holds them: raw, or each row packed with its count.
struct StoredChannel {
    uint16_t compression;
    std::vector<uint32_t> counts;
    Bytes bytes;
    std::vector<size_t> rowAt;  // where each row starts in bytes
};

StoredChannel store(int b, uint64_t columns, uint16_t compression) {
    StoredChannel c{compression, {}, {}, {}};
    for (uint64_t r = 0; r < kRows; ++r) {
        Bytes row(columns);
        for (uint64_t x = 0; x < columns; ++x) row[x] = sample(b, r, x);
        c.rowAt.push_back(c.bytes.size());
        if (compression == psd::kCompressionRaw) {
            c.bytes.insert(c.bytes.end(), row.begin(), row.end());
            continue;
        }
        Bytes packed(static_cast<size_t>(packBitsMaxLength(static_cast<int64_t>(columns))));
        packed.resize(static_cast<size_t>(packBitsEncode(row.data(), static_cast<int32_t>(columns), packed.data())));
        c.counts.push_back(static_cast<uint32_t>(packed.size()));
        c.bytes.insert(c.bytes.end(), packed.begin(), packed.end());
    }
    return c;
}

// The channel's rows from row `from` on, as a band read into memory would hold them.
psd::BufferedRows buffered(const StoredChannel& c, uint64_t columns, uint64_t from, const psd::ChannelTarget& target) {
    const size_t at = from < kRows ? c.rowAt[from] : c.bytes.size();
    return {c.compression, columns, c.counts.data(), from, c.bytes.data() + at, c.bytes.size() - at, target};
}

// Four channels decoded together (as whole pixels) and each alone (with its step) must both give
// exactly the pixels the channels describe: over widths that take the 16-pixel steps and their
// tails, raw, packed and mixed, inside the plane or cut by its edges, in bands that start anywhere.
TEST(ChannelDecoderTest, WholePixelsAndOneChannelAtATimeGiveTheSamePixels) {
    const unsigned packings[] = {0b0000, 0b1111, 0b0110};  // bit i: the channel i-th in the file is packed
    const int64_t places[][2] = {{2, 3}, {-2, -3}, {4, 9}};  // top, left; the plane has 7 more columns
    for (const uint64_t columns : {1, 15, 16, 17, 33, 100}) {
        for (const unsigned packing : packings) {
            std::vector<StoredChannel> stored;
            for (size_t i = 0; i < 4; ++i) {
                const uint16_t compression = (packing >> i) & 1 ? psd::kCompressionPackBits : psd::kCompressionRaw;
                stored.push_back(store(kFileOrderBytes[i], columns, compression));
            }
            for (const auto& [top, left] : places) {
                SCOPED_TRACE(std::to_string(columns) + " columns, packing " + std::to_string(packing) + " at " +
                             std::to_string(top) + "," + std::to_string(left));
                const int64_t width = static_cast<int64_t>(columns) + 7, height = static_cast<int64_t>(kRows) + 4;
                Bytes expected(static_cast<size_t>(width * height) * 4, kUntouched);
                for (int b : kFileOrderBytes) {
                    for (uint64_t r = 0; r < kRows; ++r) {
                        for (uint64_t x = 0; x < columns; ++x) {
                            const int64_t py = top + static_cast<int64_t>(r), px = left + static_cast<int64_t>(x);
                            if (py >= 0 && py < height && px >= 0 && px < width)
                                expected[static_cast<size_t>(py * width + px) * 4 + b] = sample(b, r, x);
                        }
                    }
                }
                Bytes together(expected.size(), kUntouched), alone(expected.size(), kUntouched);
                // Row 0, then rows 1-2 of the same buffers, then rows 3-4 of buffers that start at row 3.
                const uint64_t bands[][3] = {{0, 0, 1}, {0, 1, 3}, {3, 3, kRows}};
                for (const auto& [from, first, end] : bands) {
                    std::vector<psd::BufferedRows> four, single;
                    for (size_t i = 0; i < stored.size(); ++i) {
                        const int b = kFileOrderBytes[i];
                        const psd::ChannelTarget in4{together.data() + b, 4, width, height, top, left};
                        const psd::ChannelTarget in1{alone.data() + b, 4, width, height, top, left};
                        four.push_back(buffered(stored[i], columns, from, in4));
                        single.push_back(buffered(stored[i], columns, from, in1));
                    }
                    std::vector<uint8_t> scratch;
                    psd::DecodeFailure failure;
                    EXPECT_TRUE(psd::decodeRows(four, first, end, scratch, failure)) << failure.problem;
                    for (const psd::BufferedRows& channel : single)
                        EXPECT_TRUE(psd::decodeRows({&channel, 1}, first, end, scratch, failure)) << failure.problem;
                }
                EXPECT_EQ(together, expected);
                EXPECT_EQ(alone, expected);
            }
        }
    }
}

// The failure reported is the first in the file: the earliest channel, then its earliest row,
// however the rows are visited.
TEST(ChannelDecoderTest, ReportsTheFailureThatComesFirstInTheFile) {
    constexpr uint64_t kColumns = 20;
    struct Case {
        const char* what;
        std::vector<std::pair<size_t, uint64_t>> broken;  // packed rows made to end early
        size_t rawCut;                                    // channel whose raw rows end after 3 rows, or none
        size_t channel;
        const char* problem;
    };
    const Case cases[] = {
        {"all rows decode", {}, SIZE_MAX, SIZE_MAX, ""},
        {"a later row of an earlier channel", {{2, 1}, {0, 4}}, SIZE_MAX, 0,
         "row 5: packed row of 1 bytes does not unpack to 20"},
        {"an earlier row of the same channel", {{1, 3}, {1, 2}, {3, 0}}, SIZE_MAX, 1,
         "row 3: packed row of 1 bytes does not unpack to 20"},
        {"raw rows cut short before a later channel's earlier failure", {{3, 0}}, 2, 2, "row 4: cannot be read"},
    };
    for (const Case& c : cases) {
        Bytes pixels(kColumns * kRows * 4, 0);
        std::vector<StoredChannel> stored;
        for (size_t i = 0; i < 4; ++i) {
            const uint16_t compression = i == c.rawCut ? psd::kCompressionRaw : psd::kCompressionPackBits;
            stored.push_back(store(kFileOrderBytes[i], kColumns, compression));
        }
        // A broken row is its first packed byte alone: a header that promises more.
        for (auto [i, r] : c.broken) {
            StoredChannel& s = stored[i];
            const size_t cut = s.counts[r] - 1u;
            const auto from = s.bytes.begin() + static_cast<ptrdiff_t>(s.rowAt[r] + 1);
            s.bytes.erase(from, from + static_cast<ptrdiff_t>(cut));
            s.counts[r] = 1;
            for (uint64_t k = r + 1; k < kRows; ++k) s.rowAt[k] -= cut;
        }
        std::vector<psd::BufferedRows> channels;
        for (size_t i = 0; i < 4; ++i) {
            const int b = kFileOrderBytes[i];
            channels.push_back(buffered(stored[i], kColumns, 0, {pixels.data() + b, 4, kColumns, kRows, 0, 0}));
        }
        if (c.rawCut != SIZE_MAX) channels[c.rawCut].available = 3 * kColumns + 5;
        std::vector<uint8_t> scratch;
        psd::DecodeFailure failure;
        EXPECT_EQ(psd::decodeRows(channels, 0, kRows, scratch, failure), c.channel == SIZE_MAX) << c.what;
        EXPECT_EQ(failure.channel, c.channel) << c.what;
        EXPECT_EQ(failure.problem, c.problem) << c.what;
    }
}

}  // namespace
