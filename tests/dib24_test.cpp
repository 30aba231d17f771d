#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "image/BmpLayout.h"
#include "image/dib24.h"
#include "support/TestBytes.h"

namespace {

using testbytes::Bytes;
using testbytes::le::put16;
using testbytes::le::put32;
using TempStream = testbytes::TempStream;

struct DibSpec {
    int32_t width = 0, height = 0;
    uint16_t bitCount = 24;
    uint32_t compression = bmp::kCompressionRgb;
    uint32_t clrUsed = 0;
    int32_t pelsPerMeter = 2835;
    Bytes colorTable;  // 4 bytes per entry, or the three masks for bit fields
    Bytes rows;
};

// 40-byte info header followed by the colour table or masks.
Bytes infoBlock(const DibSpec& s) {
    Bytes b;
    put32(b, 40);
    put32(b, static_cast<uint32_t>(s.width));
    put32(b, static_cast<uint32_t>(s.height));
    put16(b, 1);
    put16(b, s.bitCount);
    put32(b, s.compression);
    put32(b, 0);
    put32(b, static_cast<uint32_t>(s.pelsPerMeter));
    put32(b, static_cast<uint32_t>(s.pelsPerMeter));
    put32(b, s.clrUsed);
    put32(b, 0);
    b.insert(b.end(), s.colorTable.begin(), s.colorTable.end());
    return b;
}

Bytes packedDib(const DibSpec& s) {
    Bytes b = infoBlock(s);
    b.insert(b.end(), s.rows.begin(), s.rows.end());
    return b;
}

Bytes bmpFile(const DibSpec& s) {
    const Bytes info = infoBlock(s);
    Bytes b = {'B', 'M'};
    put32(b, 0);
    put32(b, 0);
    put32(b, static_cast<uint32_t>(14 + info.size()));
    b.insert(b.end(), info.begin(), info.end());
    b.insert(b.end(), s.rows.begin(), s.rows.end());
    return b;
}

Bytes pixelAt(const dib24& d, int x, int yFromTop) {
    const uint8_t* p = d.bits + (d.height - 1 - yFromTop) * d.stride + 3 * x;
    return {p[0], p[1], p[2]};
}

TEST(Dib24Test, CreateSetsStrideAndHeader) {
    struct Case {
        int32_t width, stride;
    } cases[] = {{1, 4}, {4, 12}, {5, 16}, {7, 24}};
    for (const Case& c : cases) {
        dib24 d;
        EXPECT_TRUE(d.create(c.width, 3, 0));
        EXPECT_EQ(d.stride, c.stride) << c.width;
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, 3);
        EXPECT_EQ(d.bitmapInfo.biSizeImage, static_cast<uint32_t>(c.stride * 3));
        EXPECT_EQ(d.bitmapInfo.biSize, 40u);
        EXPECT_EQ(d.bitmapInfo.biPlanes, 1);
        EXPECT_EQ(d.bitmapInfo.biBitCount, 24);
        EXPECT_EQ(d.bitmapInfo.biHeight, 3);  // positive: bottom-up
        ASSERT_NE(d.bits, nullptr);
        for (int i = 0; i < c.stride * 3; ++i) EXPECT_EQ(d.bits[i], 0);
    }
}

TEST(Dib24Test, PelsPerMetreFromDpi) {
    struct Case {
        int32_t dpi, ppm;
    } cases[] = {{0, 0}, {72, 2835}, {96, 3780}, {300, 11811}};
    for (const Case& c : cases) {
        dib24 d;
        d.create(2, 2, c.dpi);
        EXPECT_EQ(d.bitmapInfo.biXPelsPerMeter, c.ppm) << c.dpi;
        EXPECT_EQ(d.bitmapInfo.biYPelsPerMeter, c.ppm) << c.dpi;
        EXPECT_EQ(d.resolution, c.dpi);
        EXPECT_EQ(dib24::dpiFromPelsPerMeter(c.ppm), c.dpi);
    }
    EXPECT_EQ(dib24::pelsPerMeterFromDpi(std::numeric_limits<int32_t>::max()), std::numeric_limits<int32_t>::max());
}

TEST(Dib24Test, FillWritesColorrefAndLeavesPaddingAlone) {
    dib24 d;
    d.create(5, 2, 0);  // 15 image bytes and 1 padding byte per row
    for (int y = 0; y < 2; ++y) d.bits[y * d.stride + 15] = 0x77;
    d.fill(0x0000ff);  // red
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(pixelAt(d, x, y), (Bytes{0, 0, 255}));
        EXPECT_EQ(d.bits[y * d.stride + 15], 0x77);
    }
    d.fill(0xffffff);
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 15; ++i) EXPECT_EQ(d.bits[y * d.stride + i], 255);
}

TEST(Dib24Test, SizesThatCannotBeHeldLeaveNoImage) {
    // A width or height of 0 is an image of that size with no pixels, not a failure.
    for (auto [w, h, stride] : {std::array<int32_t, 3>{0, 5, 0}, {5, 0, 16}}) {
        dib24 d;
        EXPECT_TRUE(d.create(w, h, 72));
        EXPECT_EQ(d.width, w);
        EXPECT_EQ(d.height, h);
        EXPECT_EQ(d.stride, stride);
        EXPECT_EQ(d.bitmapInfo.biSizeImage, 0u);
        d.fill(0xffffff);  // finds no rows
    }
    const std::pair<int32_t, int32_t> sizes[] = {
        {-3, 4}, {4, -3},
        {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max()},
        {70000, 70000},  // stride x height needs more than 32 bits
        {800000000, 1},  // stride alone passes 31 bits
    };
    for (auto [w, h] : sizes) {
        dib24 d;
        d.create(3, 3, 0);
        EXPECT_TRUE(d.create(w, h, 72)) << w << "x" << h;
        EXPECT_EQ(d.bits, nullptr);
        EXPECT_EQ(d.width, 0);
        EXPECT_EQ(d.height, 0);
        EXPECT_EQ(d.stride, 0);
        EXPECT_EQ(d.bitmapInfo.biSizeImage, 0u);
        d.fill(0xffffff);  // finds no rows
        TempStream out;
        EXPECT_FALSE(d.saveBmp(out.get()));
    }
}

TEST(Dib24Test, DestroyTwiceAndCreateTwiceAreHarmless) {
    dib24 d;
    d.create(4, 4, 0);
    d.create(2, 3, 0);
    EXPECT_EQ(d.width, 2);
    d.destroy();
    d.destroy();
    EXPECT_EQ(d.bits, nullptr);
    EXPECT_EQ(d.width, 0);
}

TEST(Dib24Test, SaveWritesHeadersAndRowsThatLoadBack) {
    dib24 d;
    d.create(3, 2, 72);
    for (int i = 0; i < d.stride * d.height; ++i) d.bits[i] = static_cast<uint8_t>(i * 7 + 1);
    TempStream file;
    ASSERT_TRUE(d.saveBmp(file.get()));
    const Bytes bytes = file.contents();
    ASSERT_EQ(bytes.size(), 54u + 24u);
    const Bytes head(bytes.begin(), bytes.begin() + 14);
    EXPECT_EQ(head, (Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0}));
    EXPECT_EQ(bmp::load32(&bytes[14]), 40u);
    EXPECT_EQ(bmp::load32(&bytes[14 + 20]), 24u);    // biSizeImage
    EXPECT_EQ(bmp::load32(&bytes[14 + 24]), 2835u);  // pels per metre
    EXPECT_EQ(std::memcmp(&bytes[54], d.bits, 24), 0);

    std::rewind(file.get());
    dib24 back;
    ASSERT_TRUE(back.loadBmp(file.get()));
    EXPECT_EQ(back.width, 3);
    EXPECT_EQ(back.height, 2);
    EXPECT_EQ(back.resolution, 72);
    EXPECT_EQ(std::memcmp(back.bits, d.bits, 24), 0);
}

// Two colours, blue-green-red-reserved.
const Bytes kTwoColours = {10, 20, 30, 0, 200, 210, 220, 0};

TEST(Dib24Test, PaletteBmpsLoad) {
    // 1 bit: 10 pixels wide, 2 rows; bottom row first in the file.
    DibSpec oneBit;
    oneBit.width = 10;
    oneBit.height = 2;
    oneBit.bitCount = 1;
    oneBit.colorTable = kTwoColours;
    oneBit.rows = {0b10100000, 0b01000000, 0, 0,   // bottom row: pixels 0, 2, 9 set
                   0b00000001, 0b10000000, 0, 0};  // top row: pixels 7, 8 set
    TempStream f1(bmpFile(oneBit));
    dib24 d;
    ASSERT_TRUE(d.loadBmp(f1.get()));
    const Bytes c0 = {10, 20, 30}, c1 = {200, 210, 220};
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(pixelAt(d, x, 1), (x == 0 || x == 2 || x == 9) ? c1 : c0) << "bottom " << x;
        EXPECT_EQ(pixelAt(d, x, 0), (x == 7 || x == 8) ? c1 : c0) << "top " << x;
    }

    // 4 bits with a short table: nibble 1 is the second entry; index 5 is past the table.
    DibSpec fourBit;
    fourBit.width = 3;
    fourBit.height = 1;
    fourBit.bitCount = 4;
    fourBit.clrUsed = 2;
    fourBit.colorTable = kTwoColours;
    fourBit.rows = {0x10, 0x50, 0, 0};
    TempStream f4(bmpFile(fourBit));
    ASSERT_TRUE(d.loadBmp(f4.get()));
    EXPECT_EQ(pixelAt(d, 0, 0), c1);
    EXPECT_EQ(pixelAt(d, 1, 0), c0);
    EXPECT_EQ(pixelAt(d, 2, 0), (Bytes{0, 0, 0}));

    // 8 bits with a full 256-entry table: entry i is (i, 255 - i, i / 2). A header that counts
    // more entries than 8 bits can index gives the same image.
    for (uint32_t used : {0u, 300u}) {
        DibSpec eightBit;
        eightBit.width = 5;
        eightBit.height = 1;
        eightBit.bitCount = 8;
        eightBit.clrUsed = used;
        eightBit.pelsPerMeter = 3780;
        for (int i = 0; i < std::max(256, static_cast<int>(used)); ++i)
            eightBit.colorTable.insert(eightBit.colorTable.end(),
                                       {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2), 0});
        eightBit.rows = {0, 1, 128, 254, 255, 0, 0, 0};
        TempStream f8(bmpFile(eightBit));
        ASSERT_TRUE(d.loadBmp(f8.get())) << used;
        EXPECT_EQ(d.resolution, 96);
        const uint8_t idx[] = {0, 1, 128, 254, 255};
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(pixelAt(d, x, 0), (Bytes{idx[x], uint8_t(255 - idx[x]), uint8_t(idx[x] / 2)})) << x;
    }
}

TEST(Dib24Test, DamagedOrUnsupportedBmpsFail) {
    DibSpec good;
    good.width = 2;
    good.height = 2;
    good.rows = Bytes(16, 9);
    const Bytes file = bmpFile(good);

    struct Case {
        const char* what;
        Bytes bytes;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"file header cut", Bytes(file.begin(), file.begin() + 10)});
    cases.push_back({"info header cut", Bytes(file.begin(), file.begin() + 40)});
    cases.push_back({"last row cut", Bytes(file.begin(), file.end() - 1)});
    Bytes notBm = file;
    notBm[1] = 'A';
    cases.push_back({"not BM", notBm});
    Bytes smallOffset = file;
    bmp::store32(&smallOffset[10], 40);
    cases.push_back({"pixel offset inside the header", smallOffset});
    Bytes rle = file;
    bmp::store32(&rle[14 + 16], 1);
    cases.push_back({"run-length compression", rle});
    Bytes sixteen = file;
    bmp::store16(&sixteen[14 + 14], 16);
    cases.push_back({"16 bits", sixteen});
    Bytes thirtyTwo = file;
    bmp::store16(&thirtyTwo[14 + 14], 32);
    cases.push_back({"32 bits is for packed data only", thirtyTwo});
    Bytes topDown = file;
    bmp::store32(&topDown[14 + 8], static_cast<uint32_t>(-2));
    cases.push_back({"top-down rows", topDown});
    Bytes manyRows = file;
    bmp::store32(&manyRows[14 + 8], 0x7fffffff);
    cases.push_back({"promises more rows than it holds", manyRows});
    Bytes hugeOffset = file;
    bmp::store32(&hugeOffset[10], 0xffffffff);
    cases.push_back({"header block longer than the file", hugeOffset});
    DibSpec palette;
    palette.width = 1;
    palette.height = 1;
    palette.bitCount = 8;
    palette.colorTable = kTwoColours;  // 0 entries used means 256, but the file has 2
    palette.rows = {1, 0, 0, 0};
    cases.push_back({"colour table longer than the header block", bmpFile(palette)});
    palette.clrUsed = 2;
    palette.colorTable = kTwoColours;
    Bytes longHeader = bmpFile(palette);
    bmp::store32(&longHeader[14], 124);  // a later header version, cut to 40 bytes and the table
    cases.push_back({"header size beyond the header block", longHeader});

    for (const Case& c : cases) {
        TempStream f(c.bytes);
        dib24 d;
        EXPECT_FALSE(d.loadBmp(f.get())) << c.what;
    }
}

TEST(Dib24Test, LoadDibTakesHeaderAndRowsApart) {
    DibSpec s;
    s.width = 2;
    s.height = 1;
    s.bitCount = 8;
    s.clrUsed = 2;
    s.colorTable = kTwoColours;
    const Bytes info = infoBlock(s);
    const Bytes rows = {1, 0, 0, 0};
    dib24 d;
    ASSERT_TRUE(d.loadDib(info.data(), info.size(), rows.data(), rows.size()));
    EXPECT_EQ(pixelAt(d, 0, 0), (Bytes{200, 210, 220}));
    EXPECT_EQ(pixelAt(d, 1, 0), (Bytes{10, 20, 30}));
    EXPECT_FALSE(d.loadDib(info.data(), info.size(), rows.data(), 3));
    const Bytes cut(info.begin(), info.begin() + 39);
    EXPECT_FALSE(d.loadDib(cut.data(), cut.size(), rows.data(), rows.size()));
}

TEST(Dib24Test, PackedDibsIn32Bits) {
    // BI_RGB: bytes 0, 1, 2 of each pixel.
    DibSpec rgb;
    rgb.width = 2;
    rgb.height = 1;
    rgb.bitCount = 32;
    rgb.rows = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes block = packedDib(rgb);
    dib24 d;
    ASSERT_TRUE(d.loadPackedDibMemory(block.data(), block.size()));
    EXPECT_EQ(pixelAt(d, 0, 0), (Bytes{1, 2, 3}));
    EXPECT_EQ(pixelAt(d, 1, 0), (Bytes{5, 6, 7}));
    EXPECT_FALSE(d.loadPackedDibMemory(block.data(), block.size() - 1));

    // BI_BITFIELDS: red in the top byte, green in the low byte, blue in bits 8-15; a 4-bit mask
    // keeps only its own bits.
    DibSpec fields = rgb;
    fields.compression = bmp::kCompressionBitFields;
    fields.width = 1;
    fields.colorTable.clear();
    put32(fields.colorTable, 0xff000000);
    put32(fields.colorTable, 0x000000ff);
    put32(fields.colorTable, 0x00000f00);
    fields.rows.clear();
    put32(fields.rows, 0xa1b2c3d4);
    block = packedDib(fields);
    ASSERT_TRUE(d.loadPackedDibMemory(block.data(), block.size()));
    EXPECT_EQ(pixelAt(d, 0, 0), (Bytes{0x03, 0xd4, 0xa1}));

    // 24 bits with a colour table before the rows; 8-bit palette data.
    DibSpec withTable;
    withTable.width = 1;
    withTable.height = 2;
    withTable.clrUsed = 1;
    withTable.colorTable = {9, 9, 9, 0};
    withTable.rows = {1, 2, 3, 0, 4, 5, 6, 0};
    block = packedDib(withTable);
    ASSERT_TRUE(d.loadPackedDibMemory(block.data(), block.size()));
    EXPECT_EQ(pixelAt(d, 0, 1), (Bytes{1, 2, 3}));
    EXPECT_EQ(pixelAt(d, 0, 0), (Bytes{4, 5, 6}));

    // Unaccepted combinations.
    DibSpec fields24 = fields;
    fields24.bitCount = 24;
    block = packedDib(fields24);
    EXPECT_FALSE(d.loadPackedDibMemory(block.data(), block.size()));
    // Blocks cut inside the info header and inside the masks, copied so a read past them shows.
    for (size_t size : {20, 44}) {
        const Bytes cut(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(d.loadPackedDibMemory(cut.data(), cut.size())) << size;
    }
    EXPECT_FALSE(d.loadPackedDibMemory(nullptr, 0));
}

}  // namespace
