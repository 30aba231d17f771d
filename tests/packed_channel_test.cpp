#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "formats/psd/PackBits.h"
#include "formats/psd/PackedChannel.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A layer's four channels unpacked together into whole pixels must give what each unpacked alone
// gives: over widths that take the 16-pixel steps and their tails, raw, packed and mixed, placed
// inside the plane or cut by its edges, in two bands of rows.
TEST(PackedChannelTest, FourChannelRowsUnpackAsEachChannelAlone) {
    constexpr uint64_t kRows = 4;
    const uint64_t widths[] = {1, 15, 16, 17, 33, 100};
    const unsigned packings[] = {0b0000, 0b1111, 0b0110};  // bit b: channel b is packed
    const int64_t places[][2] = {{1, 2}, {-1, -3}, {3, 7}};  // top, left; the plane is 4 columns wider
    for (const uint64_t columns : widths) {
        for (const unsigned packing : packings) {
            // Channel b: runs of b + 1 equal bytes, so that packed rows hold runs as well as literals.
            Bytes data[4];
            std::vector<uint16_t> counts[4];
            for (unsigned b = 0; b < 4; ++b) {
                for (uint64_t r = 0; r < kRows; ++r) {
                    Bytes row(columns);
                    for (uint64_t x = 0; x < columns; ++x)
                        row[x] = static_cast<uint8_t>(b * 64 + r * 13 + x / (b + 1) * 7);
                    if ((packing >> b) & 1) {
                        Bytes packed(static_cast<size_t>(packBitsMaxLength(static_cast<int64_t>(columns))));
                        packed.resize(static_cast<size_t>(
                            packBitsEncode(row.data(), static_cast<int32_t>(columns), packed.data())));
                        counts[b].push_back(static_cast<uint16_t>(packed.size()));
                        row = packed;
                    }
                    data[b].insert(data[b].end(), row.begin(), row.end());
                }
            }
            for (const auto& place : places) {
                SCOPED_TRACE(std::to_string(columns) + " columns, packing " + std::to_string(packing) + ", at " +
                             std::to_string(place[0]) + " " + std::to_string(place[1]));
                const int64_t width = static_cast<int64_t>(columns) + 4, height = kRows + 1;
                auto channels = [&](Bytes& plane) {
                    std::array<psd::BufferedRows, 4> c;
                    for (unsigned b = 0; b < 4; ++b) {
                        const psd::ChannelTarget target{plane.data() + b, 4, width, height, place[0], place[1]};
                        const uint16_t compression =
                            (packing >> b) & 1 ? psd::kCompressionPackBits : psd::kCompressionRaw;
                        c[b] = {compression, counts[b].data(), kRows, columns, target, data[b].data(), data[b].size()};
                    }
                    return c;
                };
                Bytes alone(static_cast<size_t>(width * height * 4), 0xA5), together = alone;
                const auto each = channels(alone), all = channels(together);
                std::vector<uint8_t> row;
                uint64_t failedRow = 0;
                std::string problem;
                for (const psd::BufferedRows& c : each) {
                    ASSERT_TRUE(psd::unpackRows(c, 0, 2, row, failedRow, problem)) << problem;
                    ASSERT_TRUE(psd::unpackRows(c, 2, kRows, row, failedRow, problem)) << problem;
                }
                const psd::BufferedRows* const four[4] = {&all[0], &all[1], &all[2], &all[3]};
                ASSERT_TRUE(psd::interleavable(four));
                ASSERT_TRUE(psd::unpackPixelRows(four, 0, 2, row));
                ASSERT_TRUE(psd::unpackPixelRows(four, 2, kRows, row));
                const size_t differs = static_cast<size_t>(
                    std::mismatch(together.begin(), together.end(), alone.begin()).first - together.begin());
                EXPECT_EQ(differs, together.size()) << "first at pixel (" << differs / 4 % width << ", "
                                                    << differs / 4 / width << "), byte " << differs % 4;
            }
        }
    }
}

}  // namespace
