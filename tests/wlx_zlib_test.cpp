#include <gtest/gtest.h>

#include "formats/wlx/ZlibBlock.h"
#include "wlx_test_support.h"

namespace {

using wlxtest::Bytes;

// Inputs around the 1024-byte output pieces, empty, and one long enough for several deflate blocks.
std::vector<Bytes> sampleInputs() {
    std::vector<Bytes> inputs = {{}, {0x42}, Bytes(1023, 0), Bytes(1024, 0xFF), Bytes(1025, 7)};
    Bytes mixed(300000);
    uint32_t x = 12345;
    for (size_t i = 0; i < mixed.size(); ++i) {
        x = x * 1103515245u + 12345u;
        mixed[i] = (i / 4096) % 2 ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>(i / 64);
    }
    inputs.push_back(mixed);
    return inputs;
}

std::string asString(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(ZlibBlockTest, CompressEqualsOneShotDefaultDeflateAndBothInflatesRestoreIt) {
    for (const Bytes& input : sampleInputs()) {
        SCOPED_TRACE("input of " + std::to_string(input.size()) + " bytes");
        const Bytes packed = wlxtest::zlibDefault(input);
        std::string out = "keep";
        ASSERT_TRUE(compressBlock(input.data(), input.size(), out));
        EXPECT_EQ(out, "keep" + asString(packed));
        out.clear();
        ASSERT_TRUE(uncompressBlock(packed.data(), packed.size(), out));
        EXPECT_EQ(out, asString(input));
        Bytes exact(input.size(), 0xAA);
        ASSERT_TRUE(uncompressBlockExact(packed.data(), packed.size(), exact.data(), exact.size()));
        EXPECT_EQ(exact, input);
    }
}

TEST(ZlibBlockTest, BytesAfterTheEndOfTheStreamAreIgnored) {
    const Bytes input(5000, 3);
    Bytes packed = wlxtest::zlibDefault(input);
    packed.insert(packed.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x78, 0x9C});
    std::string out;
    EXPECT_TRUE(uncompressBlock(packed.data(), packed.size(), out));
    EXPECT_EQ(out, asString(input));
    Bytes exact(input.size());
    EXPECT_TRUE(uncompressBlockExact(packed.data(), packed.size(), exact.data(), exact.size()));
}

TEST(ZlibBlockTest, DamagedOrForeignStreamsFail) {
    Bytes input(20000);
    for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * i);
    const Bytes good = wlxtest::zlibDefault(input);

    Bytes wrongChecksum = good;
    wrongChecksum.back() ^= 1;
    Bytes corrupt = good;
    corrupt[good.size() / 2] ^= 0x55;
    Bytes badHeader = good;
    badHeader[1] ^= 1;  // header check bits no longer match
    const Bytes rawDeflate(good.begin() + 2, good.end() - 4);

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
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_FALSE(uncompressBlock(c.bytes.data(), c.bytes.size(), out)) << c.what;
        Bytes exact(input.size());
        EXPECT_FALSE(uncompressBlockExact(c.bytes.data(), c.bytes.size(), exact.data(), exact.size())) << c.what;
    }
}

TEST(ZlibBlockTest, ExactInflateFailsOnOneByteMoreOrLess) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{4096}, size_t{70001}}) {
        const Bytes input(length, 9);
        const Bytes packed = wlxtest::zlibDefault(input);
        Bytes room(length + 1);
        EXPECT_TRUE(uncompressBlockExact(packed.data(), packed.size(), room.data(), length)) << length;
        EXPECT_FALSE(uncompressBlockExact(packed.data(), packed.size(), room.data(), length + 1)) << length;
        if (length > 0) {
            EXPECT_FALSE(uncompressBlockExact(packed.data(), packed.size(), room.data(), length - 1)) << length;
        }
    }
}

}  // namespace
