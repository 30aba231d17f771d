#include <gtest/gtest.h>

#include "formats/wlx/DeflateBlock.h"
#include "wlx_test_support.h"

namespace {

using wlxtest::Bytes;

struct Rows {
    size_t rowBytes, rows;
    Bytes pixels;
};

// Bytes that differ from row to row, so a row out of place shows.
Bytes numbered(size_t length) {
    Bytes b(length);
    for (size_t i = 0; i < length; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 13);
    return b;
}

// Pictures without bytes, of one row, of odd and even row counts, rows longer than the 4096-byte
// swap buffer and not a multiple of it, and noise long enough for several deflate blocks.
std::vector<Rows> samplePictures() {
    Bytes noise(600 * 4 * 125);
    uint32_t x = 12345;
    for (size_t i = 0; i < noise.size(); ++i) {
        x = x * 1103515245u + 12345u;
        noise[i] = (i / 4096) % 2 ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>(i / 64);
    }
    return {
        {0, 0, {}},
        {4, 0, {}},
        {0, 3, {}},
        {4, 1, numbered(4)},
        {8, 2, numbered(16)},
        {12, 3, numbered(36)},
        {4 * 2500, 5, numbered(4 * 2500 * 5)},
        {4096, 4, numbered(4096 * 4)},
        {600 * 4, 125, noise},
    };
}

// zlib's inflate of a whole stream into exactly length bytes; fails on anything else.
bool zlibInflates(const uint8_t* block, size_t size, size_t length, Bytes& out) {
    out.assign(length + 1, 0);  // one spare byte shows a longer stream
    uLongf got = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &got, block, static_cast<uLong>(size)) != Z_OK || got != length) return false;
    out.resize(length);
    return true;
}

TEST(DeflateBlockTest, BlocksAreLevel6ZlibStreamsOfTheFlippedRowsAndThePixelsComeBack) {
    // One block object for every picture, bigger and smaller in turn, as the writer keeps it.
    PackedBlock block;
    for (const Rows& picture : samplePictures()) {
        SCOPED_TRACE(std::to_string(picture.rowBytes) + " x " + std::to_string(picture.rows));
        const uint32_t width = static_cast<uint32_t>(picture.rowBytes / 4);
        const Bytes flipped = wlxtest::flipRows(picture.pixels, width, static_cast<uint32_t>(picture.rows));
        Bytes pixels = picture.pixels;
        ASSERT_TRUE(compressRowsBottomUp(pixels.data(), picture.rowBytes, picture.rows, block));
        EXPECT_EQ(pixels, picture.pixels) << "rows not put back";
        EXPECT_LE(block.size, block.capacity);
        const Bytes made(block.bytes.get(), block.bytes.get() + block.size);
        EXPECT_EQ(made, wlxtest::libdeflateLevel6(flipped));
        Bytes inflated;
        ASSERT_TRUE(zlibInflates(made.data(), made.size(), pixels.size(), inflated));
        EXPECT_EQ(inflated, flipped);
        Bytes back(pixels.size(), 0xAA);
        ASSERT_TRUE(uncompressRowsBottomUp(made.data(), made.size(), back.data(), picture.rowBytes, picture.rows));
        EXPECT_EQ(back, picture.pixels);
    }
    // A smaller block goes into the room the largest left.
    const uint8_t* room = block.bytes.get();
    const size_t capacity = block.capacity;
    Bytes small = numbered(64);
    ASSERT_TRUE(compressRowsBottomUp(small.data(), 16, 4, block));
    EXPECT_EQ(block.bytes.get(), room);
    EXPECT_EQ(block.capacity, capacity);
}

// Streams of other makers and levels, with or without bytes after their end, read bottom row first.
TEST(DeflateBlockTest, ZlibStreamsOfExactlyTheRowsInflateBottomUp) {
    for (const Rows& picture : samplePictures()) {
        const uint32_t width = static_cast<uint32_t>(picture.rowBytes / 4);
        const Bytes flipped = wlxtest::flipRows(picture.pixels, width, static_cast<uint32_t>(picture.rows));
        for (int level : {0, 1, 6, 9}) {
            for (bool trailing : {false, true}) {
                SCOPED_TRACE(std::to_string(picture.rowBytes) + " x " + std::to_string(picture.rows) + " level " +
                             std::to_string(level) + (trailing ? " with trailing bytes" : ""));
                Bytes stream = wlxtest::zlibDeflate(flipped, level);
                if (trailing) stream.insert(stream.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x78, 0x9C});
                Bytes pixels(picture.pixels.size(), 0xAA);
                ASSERT_TRUE(uncompressRowsBottomUp(stream.data(), stream.size(), pixels.data(), picture.rowBytes,
                                                   picture.rows));
                EXPECT_EQ(pixels, picture.pixels);
            }
        }
    }
}

TEST(DeflateBlockTest, DamagedShortOrLongStreamsFail) {
    const size_t rowBytes = 400, rows = 50;
    const Bytes input = numbered(rowBytes * rows);
    const Bytes good = wlxtest::zlibDefault(input);

    Bytes wrongChecksum = good;
    wrongChecksum.back() ^= 1;
    Bytes corrupt = good;
    corrupt[good.size() / 2] ^= 0x55;
    Bytes badHeader = good;
    badHeader[1] ^= 1;  // header check bits no longer match
    const Bytes rawDeflate(good.begin() + 2, good.end() - 4);
    Bytes oneMore = input, oneFewer = input;
    oneMore.push_back(0);
    oneFewer.pop_back();

    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"checksum cut off", Bytes(good.begin(), good.end() - 4)},
        {"cut in the middle", Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(good.size() / 2))},
        {"wrong Adler-32", wrongChecksum},
        {"corrupt data", corrupt},
        {"bad header", badHeader},
        {"raw deflate without container", rawDeflate},
        {"one byte more than the rows", wlxtest::zlibDefault(oneMore)},
        {"one byte fewer than the rows", wlxtest::zlibDefault(oneFewer)},
    };
    for (const auto& c : cases) {
        Bytes pixels(input.size());  // exactly the rows: writing past them is an ASan finding
        EXPECT_FALSE(uncompressRowsBottomUp(c.bytes.data(), c.bytes.size(), pixels.data(), rowBytes, rows)) << c.what;
    }
    // Rows without bytes take the empty stream only.
    const Bytes oneByte = wlxtest::zlibDefault({7});
    EXPECT_FALSE(uncompressRowsBottomUp(oneByte.data(), oneByte.size(), nullptr, 0, 5));
    const Bytes empty = wlxtest::zlibDefault({});
    EXPECT_TRUE(uncompressRowsBottomUp(empty.data(), empty.size(), nullptr, 0, 5));
}

}  // namespace
