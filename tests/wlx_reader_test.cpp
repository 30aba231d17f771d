#include <gtest/gtest.h>

#include "formats/wlx/WlxReader.h"
#include "wlx_test_support.h"

namespace {

using wlxtest::Bytes;

struct ReadResult {
    bool ok;
    DocumentInfo doc;
    LayerTempList layers;
};

void read(const Bytes& file, ReadResult& r) {
    wlxtest::Stream in(file);
    ASSERT_NE(in.get(), nullptr);
    r.doc.resolution = 300;  // must stay untouched
    r.ok = readWlx(in.get(), r.layers, r.doc);
    EXPECT_EQ(r.doc.resolution, 300);
}

// A 3 x 2 document with one layer of pattern pixels.
constexpr uint32_t kW = 3, kH = 2;
Bytes storedBlock(uint8_t seed) { return wlxtest::zlibDefault(wlxtest::patternPixels(kW, kH, seed)); }

TEST(WlxReaderTest, The34ByteEmptyDocumentIsValid) {
    const Bytes file = wlxtest::documentHead(640, 480, 0);
    ASSERT_EQ(file.size(), 34u);
    ReadResult r;
    read(file, r);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.doc.width, 640);
    EXPECT_EQ(r.doc.height, 480);
    EXPECT_TRUE(r.layers.empty());
}

TEST(WlxReaderTest, BrokenHeadersFail) {
    const Bytes good = wlxtest::documentHead(7, 5, 0);
    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    const struct {
        const char* what;
        Bytes file;
        bool sizeKnown;  // the header got far enough to set the document size
    } cases[] = {
        {"nothing", {}, false},
        {"short header", Bytes(good.begin(), good.begin() + 21), false},
        {"terminator not 0", with(7, 'Z'), false},
        {"wrong magic", with(0, 'd'), false},
        {"version 9", with(8, 9), false},
        {"version 11", with(8, 11), false},
        {"version with high bits", with(11, 1), false},
        {"short extension header", Bytes(good.begin(), good.begin() + 29), true},
        {"layer header size missing", Bytes(good.begin(), good.begin() + 30), true},
        {"layer header size 34", with(30, 34), true},
        {"layer header size 36", with(30, 36), true},
        {"layer header size with high bits", with(33, 1), true},
    };
    for (const auto& c : cases) {
        ReadResult r;
        read(c.file, r);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.doc.width, c.sizeKnown ? 7 : 0) << c.what;
        EXPECT_EQ(r.doc.height, c.sizeKnown ? 5 : 0) << c.what;
    }
}

TEST(WlxReaderTest, ExtensionDataIsSkipped) {
    Bytes file = wlxtest::documentHead(kW, kH, 1);
    file.resize(26);  // keep the header and the reserved half of the extension header
    wlxtest::put32(file, 5);
    wlxtest::put(file, "\x23\0\0\0\x01", 5);  // looks like a layer header size, must not be taken as one
    wlxtest::put32(file, 35);
    wlxtest::appendLayer(file, "after", 0, 128, 1, storedBlock(1));
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 1u);
    EXPECT_EQ(r.layers[0]->name, "after");
}

TEST(WlxReaderTest, ExtensionDataPastTheEndOfTheFileFails) {
    Bytes file = wlxtest::documentHead(kW, kH, 0);
    file.resize(26);
    wlxtest::put32(file, 0xFFFFFFF0u);
    wlxtest::put32(file, 35);
    ReadResult r;
    read(file, r);
    EXPECT_FALSE(r.ok);
}

TEST(WlxReaderTest, LayerAttributesAndRowOrder) {
    const Bytes pixels = wlxtest::patternPixels(kW, kH, 40);  // as stored: bottom row first
    const std::string full32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    Bytes file = wlxtest::documentHead(kW, kH, 4);
    wlxtest::appendLayer(file, full32, 0, 128, 1, wlxtest::zlibDefault(pixels));
    wlxtest::appendLayer(file, std::string("ab\0cd", 5), 4, 255, 0xFE, storedBlock(2));
    wlxtest::appendLayer(file, "\x83\x8C\x83\x43\x83\x84\x81\x5B", 200, 2, 0xFF, storedBlock(3));
    wlxtest::appendLayer(file, "", 14, 0, 0, storedBlock(4));
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 4u);

    const Layer& first = *r.layers[0];
    EXPECT_EQ(first.width, static_cast<int32_t>(kW));
    EXPECT_EQ(first.height, static_cast<int32_t>(kH));
    EXPECT_EQ(first.name, full32);  // no terminator: all 32 bytes
    EXPECT_EQ(first.opacity, 100);
    EXPECT_EQ(first.visible, 1);
    EXPECT_EQ(first.blendMode, blend::Normal);
    EXPECT_EQ(first.refCount, 1);
    EXPECT_EQ(first.pixels, wlxtest::flipRows<PixelBytes>(pixels, kW, kH));
    // The top row of the layer is the last row stored.
    EXPECT_TRUE(std::equal(first.pixels.begin(), first.pixels.begin() + kW * 4, pixels.end() - kW * 4));

    EXPECT_EQ(r.layers[1]->name, "ab");
    EXPECT_EQ(r.layers[1]->opacity, 199);
    EXPECT_EQ(r.layers[1]->visible, 0);
    EXPECT_EQ(r.layers[1]->blendMode, blend::Screen);

    EXPECT_EQ(r.layers[2]->name, "\x83\x8C\x83\x43\x83\x84\x81\x5B");
    EXPECT_EQ(r.layers[2]->opacity, 2);
    EXPECT_EQ(r.layers[2]->visible, 1);
    EXPECT_EQ(r.layers[2]->blendMode, blend::Normal);

    EXPECT_EQ(r.layers[3]->name, "");
    EXPECT_EQ(r.layers[3]->blendMode, blend::Difference);
    for (const Layer* layer : r.layers) {
        EXPECT_EQ(layer->alphaLocked, 0);
        EXPECT_EQ(layer->clipping, 0);
    }
}

TEST(WlxReaderTest, OpacityBytesReadAsRoundedPercent) {
    const std::pair<uint8_t, int32_t> rows[] = {{0, 0},   {1, 1},    {2, 2},     {3, 2},    {63, 49},
                                                {64, 50}, {127, 99}, {128, 100}, {129, 101}, {255, 199}};
    Bytes file = wlxtest::documentHead(kW, kH, std::size(rows));
    for (auto [byte, percent] : rows) wlxtest::appendLayer(file, "o", 0, byte, 1, storedBlock(0));
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(r.layers[i]->opacity, rows[i].second) << int(rows[i].first);
}

TEST(WlxReaderTest, EveryBlendCodeReadsAsItsMode) {
    const BlendMode known[15] = {0, 2, 13, 0, 4, 5, 7, 6, 11, 12, 14, 8, 9, 10, 17};
    Bytes file = wlxtest::documentHead(1, 1, 256);
    const Bytes block = wlxtest::zlibDefault(Bytes(4, 0));
    for (int code = 0; code < 256; ++code) wlxtest::appendLayer(file, "", static_cast<uint8_t>(code), 128, 1, block);
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 256u);
    for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(r.layers[code]->blendMode, code < 15 ? known[code] : blend::Normal) << "code " << code;
    }
}

TEST(WlxReaderTest, BytesBeyondTheStreamOrTheFileAreIgnored) {
    Bytes padded = storedBlock(5);
    padded.insert(padded.end(), 100, 0xEE);
    Bytes file = wlxtest::documentHead(kW, kH, 3);
    wlxtest::appendLayer(file, "padded", 0, 128, 1, padded);  // dataSize covers the padding
    const Bytes second = storedBlock(6);
    wlxtest::appendLayer(file, "second", 0, 128, 1, second);
    // The last block claims far more than the file holds: what is there is used.
    wlxtest::appendLayer(file, "last", 0, 128, 1, storedBlock(7), 0xFFFFFFFFu);
    file.insert(file.end(), {1, 2, 3});  // read as part of the last block and ignored after its end
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 3u);
    EXPECT_EQ(r.layers[1]->pixels, wlxtest::flipRows<PixelBytes>(wlxtest::patternPixels(kW, kH, 6), kW, kH));
    EXPECT_EQ(r.layers[2]->pixels, wlxtest::flipRows<PixelBytes>(wlxtest::patternPixels(kW, kH, 7), kW, kH));
}

TEST(WlxReaderTest, TrailingBytesAfterTheLastLayerAreIgnored) {
    Bytes file = wlxtest::documentHead(kW, kH, 1);
    wlxtest::appendLayer(file, "only", 0, 128, 1, storedBlock(8));
    file.insert(file.end(), 50, 0x99);
    ReadResult r;
    read(file, r);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.layers.size(), 1u);
}

TEST(WlxReaderTest, AFailingLayerKeepsTheLayersBeforeIt) {
    const Bytes pixels = wlxtest::patternPixels(kW, kH, 9);
    const Bytes good = wlxtest::zlibDefault(pixels);
    Bytes wrongChecksum = good;
    wrongChecksum.back() ^= 0x10;
    Bytes moreBytes = pixels, fewerBytes = pixels;
    moreBytes.push_back(0);
    fewerBytes.pop_back();

    Bytes shortRecord = wlxtest::documentHead(kW, kH, 2);
    wlxtest::appendLayer(shortRecord, "kept", 5, 64, 0, good);
    shortRecord.insert(shortRecord.end(), 38, 0);

    Bytes missingRecord = wlxtest::documentHead(kW, kH, 3);
    wlxtest::appendLayer(missingRecord, "kept", 5, 64, 0, good);
    wlxtest::appendLayer(missingRecord, "second", 0, 128, 1, good);

    auto withSecondBlock = [&](const Bytes& block) {
        Bytes file = wlxtest::documentHead(kW, kH, 2);
        wlxtest::appendLayer(file, "kept", 5, 64, 0, good);
        wlxtest::appendLayer(file, "failing", 0, 128, 1, block);
        return file;
    };
    const struct {
        const char* what;
        Bytes file;
        size_t kept;
    } cases[] = {
        {"short record", shortRecord, 1},
        {"layer count beyond the records", missingRecord, 2},
        {"truncated block", withSecondBlock(Bytes(good.begin(), good.end() - 1)), 1},
        {"wrong checksum", withSecondBlock(wrongChecksum), 1},
        {"not a zlib stream", withSecondBlock(pixels), 1},
        {"empty block", withSecondBlock({}), 1},
        {"one byte too many", withSecondBlock(wlxtest::zlibDefault(moreBytes)), 1},
        {"one byte too few", withSecondBlock(wlxtest::zlibDefault(fewerBytes)), 1},
    };
    for (const auto& c : cases) {
        ReadResult r;
        read(c.file, r);
        EXPECT_FALSE(r.ok) << c.what;
        ASSERT_EQ(r.layers.size(), c.kept) << c.what;
        const Layer& kept = *r.layers[0];
        EXPECT_EQ(kept.name, "kept") << c.what;
        EXPECT_EQ(kept.blendMode, blend::Overlay) << c.what;
        EXPECT_EQ(kept.opacity, 50) << c.what;
        EXPECT_EQ(kept.visible, 0) << c.what;
        EXPECT_EQ(kept.pixels, wlxtest::flipRows<PixelBytes>(pixels, kW, kH)) << c.what;
    }
}

TEST(WlxReaderTest, ReadingAppendsToTheList) {
    Bytes file = wlxtest::documentHead(kW, kH, 1);
    wlxtest::appendLayer(file, "new", 0, 128, 1, storedBlock(1));
    ReadResult r;
    r.layers.add(new Layer);
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 2u);
    EXPECT_EQ(r.layers[1]->name, "new");
}

TEST(WlxReaderTest, ZeroSizedCanvasNeedsAnEmptyStream) {
    Bytes file = wlxtest::documentHead(0, 9, 1);
    wlxtest::appendLayer(file, "empty", 0, 128, 1, wlxtest::zlibDefault({}));
    ReadResult r;
    read(file, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 1u);
    EXPECT_TRUE(r.layers[0]->pixels.empty());
}

TEST(WlxReaderTest, FileWrapperFailsOnAMissingFile) {
    LayerTempList layers;
    DocumentInfo doc;
    EXPECT_FALSE(readWlxFile("/nonexistent/dir/none.wlx", layers, doc));
    EXPECT_TRUE(layers.empty());
}

}  // namespace

namespace {

// Every cut and every damaged byte of a valid file either fails cleanly or still gives layers of the
// canvas size; under the sanitizer build any read outside a buffer would stop the test.
TEST(WlxReaderTest, CutAndDamagedFilesFailCleanly) {
    Bytes file = wlxtest::documentHead(kW, kH, 2);
    wlxtest::appendLayer(file, "one", 1, 100, 1, storedBlock(1));
    wlxtest::appendLayer(file, "two", 2, 50, 0, storedBlock(2));

    for (size_t length = 0; length < file.size(); ++length) {
        ReadResult r;
        read(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(length)), r);
        EXPECT_FALSE(r.ok) << "cut at " << length;
        EXPECT_LT(r.layers.size(), 2u);
    }
    for (size_t at = 0; at < file.size(); ++at) {
        for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(file[at] ^ 0x01)}) {
            Bytes damaged = file;
            damaged[at] = value;
            ReadResult r;
            read(damaged, r);
            for (const Layer* layer : r.layers) {
                EXPECT_EQ(layer->pixels.size(), Layer::pixelBytes(r.doc.width, r.doc.height)) << "byte " << at;
            }
        }
    }
}

}  // namespace
