#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "formats/psd/PsdWriter.h"
#include "support/TestBytes.h"
#include "support/TestFiles.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Hex digits with any spacing; quoted text between ' marks is taken as its ASCII bytes.
Bytes hex(const std::string& text) {
    Bytes out;
    bool quoted = false, high = true;
    for (const char ch : text) {
        if (ch == '\'') {
            quoted = !quoted;
        } else if (quoted) {
            out.push_back(static_cast<uint8_t>(ch));
        } else if (std::isxdigit(static_cast<unsigned char>(ch))) {
            const int v = std::isdigit(static_cast<unsigned char>(ch)) ? ch - '0' : std::tolower(ch) - 'a' + 10;
            if (high) out.push_back(static_cast<uint8_t>(v << 4));
            else out.back() = static_cast<uint8_t>(out.back() | v);
            high = !high;
        }
    }
    return out;
}

uint32_t be32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) << 24 | static_cast<uint32_t>(b.at(at + 1)) << 16 |
           static_cast<uint32_t>(b.at(at + 2)) << 8 | b.at(at + 3);
}
uint16_t be16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1)); }
Bytes slice(const Bytes& b, size_t at, size_t n) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
}

// A document of w x h: a canvas of one colour and lists the tests fill.
struct Doc {
    Doc(int32_t w, int32_t h, uint32_t colorref = 0xFFFFFF) {
        info.width = w;
        info.height = h;
        canvas.create(w, h, 72);
        canvas.fill(colorref);
    }
    Layer& addLayer(const std::string& name, LayerTempList& list) {
        auto* layer = new Layer;
        layer->resize(info.width, info.height, blend::Normal);
        layer->name = name;
        list.add(layer);
        return *layer;
    }
    Layer& addLayer(const std::string& name = "layer") { return addLayer(name, layers); }

    dib24 canvas;
    LayerTempList layers;
    LayerTempList alphas;
    DocumentInfo info;
};

struct Written {
    bool ok = false;
    Bytes bytes;
};

Written write(const Doc& doc) {
    Written w;
    const testbytes::TempStream f;
    if (f.get() == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return w;
    }
    w.ok = writePsd(f.get(), doc.canvas, doc.layers, doc.alphas, doc.info);
    w.bytes = f.contents();
    return w;
}

// Offsets in a file with no alpha channels: header 26, colour mode data 4, resources 4 + 28.
constexpr size_t kResourcesAt = 30;
constexpr size_t kLayerSectionAt = 62;
constexpr size_t kFirstRecordAt = kLayerSectionAt + 10;
constexpr size_t kFirstExtraLengthAt = kFirstRecordAt + 18 + 24 + 12;
constexpr size_t kFirstNameAt = kFirstRecordAt + 18 + 24 + 16 + 8;

TEST(PsdWriterTest, EmptyDocumentIsHeaderResourcesTenByteLayerSectionAndWhiteMergedImage) {
    // The resolution keeps its low 16 bits.
    const std::pair<int32_t, std::string> resolutions[] = {{72, "0048"}, {70000, "1170"}};
    for (const auto& [dpi, fixed] : resolutions) {
        Doc doc(2, 1);
        doc.info.resolution = dpi;
        const Written w = write(doc);
        ASSERT_TRUE(w.ok);
        const Bytes expected = hex(
            "'8BPS' 0001 000000000000 0003 00000001 00000002 0008 0003"
            "00000000"
            "0000001C '8BIM' 03ED 0000 00000010" + fixed + "0000 0001 0002" + fixed + "0000 0001 0002"
            "0000000A 00000002 0000 00000000"
            "0001 0002 0002 0002  FFFF FFFF FFFF");
        EXPECT_EQ(w.bytes, expected) << dpi;
    }
}

// The Pascal name keeps the CP932 bytes (cut at 255); the Unicode name block after it holds the
// whole name as UTF-16, unless the bytes are not CP932 text: a lone lead byte at the end is left out.
TEST(PsdWriterTest, NamesArePaddedToFourCutAt255AndFollowedByTheirUnicodeName) {
    const std::string x255(255, 'x'), x300(300, 'x');
    auto xs = [](uint32_t n) {  // length, count, n units of 'x', zero pad
        char head[32];
        std::snprintf(head, sizeof head, "%08X %08X", (4 + 2 * n + 3) / 4 * 4, n);
        std::string out = head;
        for (uint32_t i = 0; i < n; ++i) out += " 0078";
        if (n % 2 != 0) out += " 0000";
        return out;
    };
    const struct {
        std::string name;
        size_t field;
        std::string unicode;  // length onward; empty: no block
    } cases[] = {
        {"", 4, "00000004 00000000"},
        {"ab", 4, "00000008 00000002 0061 0062"},
        {"abc", 4, "0000000C 00000003 0061 0062 0063 0000"},
        {"abcd", 8, "0000000C 00000004 0061 0062 0063 0064"},
        {"\x94\x77\x8c\x69", 8, "00000008 00000002 80CC 666F"},  // 背景
        {"\xb1\xdd", 4, "00000008 00000002 FF71 FF9D"},          // half-width ｱﾝ
        {"\x95\x5c\x5c", 4, "00000008 00000002 8868 005C"},  // 表 (trail byte 5C), then a backslash
        {"\x87\x90\xed\x40", 8, "00000008 00000002 2252 7E8A"},   // codes whose characters have others too
        // Cut inside its last character (by older versions): the characters before it.
        {"a\x81", 4, "00000008 00000001 0061 0000"},
        {"\x94\x77\xfc", 4, "00000008 00000001 80CC 0000"},
        {"\x85\x40\x81", 4, ""},  // no character before it either
        {"a\xfd", 4, ""},          // not a lead byte: no character there
        {"\x85\x40", 4, ""},      // no character there
        {x255, 256, xs(255)},
        {x300, 256, xs(300)},
    };
    for (const auto& c : cases) {
        Doc doc(1, 1);
        doc.addLayer(c.name);
        const Written w = write(doc);
        ASSERT_TRUE(w.ok);
        const size_t kept = c.name.size() < 255 ? c.name.size() : 255;
        const Bytes unicode = c.unicode.empty() ? Bytes{} : hex("'8BIM' 'luni'" + c.unicode);
        EXPECT_EQ(be32(w.bytes, kFirstExtraLengthAt), 8 + c.field + unicode.size()) << c.name;
        EXPECT_EQ(w.bytes.at(kFirstNameAt), kept) << c.name;
        EXPECT_EQ(slice(w.bytes, kFirstNameAt + 1, kept), Bytes(c.name.begin(), c.name.begin() + kept)) << c.name;
        EXPECT_EQ(slice(w.bytes, kFirstNameAt + 1 + kept, c.field - 1 - kept), Bytes(c.field - 1 - kept, 0)) << c.name;
        EXPECT_EQ(slice(w.bytes, kFirstNameAt + c.field, unicode.size()), unicode) << c.name;
        EXPECT_EQ(be16(w.bytes, kFirstNameAt + c.field + unicode.size()), 1) << "compression after " << c.name;
    }
}

TEST(PsdWriterTest, BlendBlockAttributes) {
    struct Case {
        int32_t opacity;
        uint8_t visible, alphaLocked, clipping;
        BlendMode mode;
        const char* block;  // key, opacity, clipping, flags, filler
    };
    const Case cases[] = {
        {100, 1, 0, 0, blend::Normal, "'norm' FF 00 00 00"},
        {50, 0, 1, 0, blend::NormalAlt, "'norm' 80 00 03 00"},
        {33, 1, 1, 0, blend::MultiplyAlt, "'mul ' 54 00 01 00"},
        {1, 0, 0, 1, blend::Exclusion, "'smud' 03 01 02 00"},
        {0, 1, 0, 7, blend::AlphaChannel, "'norm' 00 01 00 00"},
        {101, 1, 0, 0, blend::Luminosity, "'lum ' FF 00 00 00"},
        {-4, 1, 0, 0, -1, "'norm' 00 00 00 00"},
        {99, 2, 5, 0, blend::Screen, "'scrn' FC 00 01 00"},
    };
    for (const Case& c : cases) {
        Doc doc(1, 1);
        Layer& layer = doc.addLayer("x");
        layer.opacity = c.opacity;
        layer.visible = c.visible;
        layer.alphaLocked = c.alphaLocked;
        layer.clipping = c.clipping;
        layer.blendMode = c.mode;
        const Written w = write(doc);
        ASSERT_TRUE(w.ok);
        EXPECT_EQ(slice(w.bytes, kFirstRecordAt + 42, 16), hex(std::string("'8BIM'") + c.block + "00000020"))
            << "opacity " << c.opacity << " mode " << c.mode;
    }
}

TEST(PsdWriterTest, LayerInfoLengthSpansCountThroughChannelDataPaddedToEvenAndSectionAddsEight) {
    bool padded[2] = {false, false};
    for (int cases = 0; cases < 6; ++cases) {
        const int layers = 1 + cases % 3;
        Doc doc(cases < 3 ? 2 : 5, 3);
        for (int i = 0; i < layers; ++i) {
            Layer& layer = doc.addLayer(std::string(static_cast<size_t>(i * 3 + 1), 'n'));
            for (size_t p = 0; p < layer.pixels.size(); ++p)
                layer.pixels[p] = p % 4 == 3 ? 255 : static_cast<uint8_t>(p * (i + 1) / 3);
        }
        const Written w = write(doc);
        ASSERT_TRUE(w.ok);
        const uint32_t section = be32(w.bytes, kLayerSectionAt);
        const uint32_t info = be32(w.bytes, kLayerSectionAt + 4);
        EXPECT_EQ(section, info + 8);
        EXPECT_EQ(info % 2, 0u);
        EXPECT_EQ(be16(w.bytes, kLayerSectionAt + 8), layers);
        // From the layer count: the records, then the channel data their entries declare.
        uint64_t end = 2, channels = 0;
        for (int i = 0; i < layers; ++i) {
            const size_t at = kLayerSectionAt + 8 + end;
            for (int c = 0; c < 4; ++c) channels += be32(w.bytes, at + 20 + 6 * c);
            end += 58 + be32(w.bytes, at + 54);
        }
        end += channels;
        ASSERT_TRUE(info == end || info == end + 1) << layers;
        padded[info - end] = true;
        if (info != end) {
            EXPECT_EQ(w.bytes.at(kLayerSectionAt + 8 + end), 0) << "the pad";
        }
        EXPECT_EQ(be32(w.bytes, kLayerSectionAt + 8 + info), 0u) << "global mask length right after the channel data";
        EXPECT_EQ(be16(w.bytes, kLayerSectionAt + 4 + section), 1) << "merged image compression after the section";
    }
    EXPECT_TRUE(padded[0] && padded[1]) << "both an even and an odd layer info among the cases";
}

// A whole small file, field by field: one layer with an odd-length channel, two alpha channels
// whose names need the odd pad, a canvas whose top row differs from its bottom row.
TEST(PsdWriterTest, WholeFileByteForByte) {
    Doc doc(4, 2);
    for (int32_t x = 0; x < 4; ++x) {  // canvas rows are stored bottom-up: row 1 is the image's top
        const uint8_t top[4][3] = {{9, 2, 1}, {9, 3, 1}, {8, 4, 1}, {7, 5, 1}};  // blue, green, red
        for (int b = 0; b < 3; ++b) doc.canvas.bits[doc.canvas.stride + x * 3 + b] = top[x][b];
    }
    Layer& layer = doc.addLayer("ab");
    const uint8_t row0[16] = {0x10, 0x20, 0x30, 0xFF, 0x10, 0x21, 0x31, 0xFF,
                              0x10, 0x22, 0x32, 0x80, 0x10, 0x22, 0x32, 0x80};
    std::copy(row0, row0 + 16, layer.pixels.begin());
    layer.blendMode = blend::Screen;
    layer.opacity = 50;
    layer.visible = 0;
    layer.alphaLocked = 1;
    layer.clipping = 1;
    Layer& alpha = doc.addLayer("A", doc.alphas);
    for (int x = 0; x < 4; ++x) alpha.pixels[static_cast<size_t>(4 + x) * 4 + 3] = static_cast<uint8_t>(x + 1);
    doc.addLayer("BC", doc.alphas);

    const Written w = write(doc);
    ASSERT_TRUE(w.ok);
    const Bytes expected = hex(
        // header: 5 channels, 2 rows, 4 columns
        "'8BPS' 0001 000000000000 0005 00000002 00000004 0008 0003"
        "00000000"
        // resources: resolution and the alpha names block, 28 + 12 + 6
        "0000002E"
        "'8BIM' 03ED 0000 00000010 00480000 0001 0002 00480000 0001 0002"
        "'8BIM' 03EE 0000 00000006 01'A' 02'BC' 00"
        // layer section 148, layer info 140, one layer
        "00000094 0000008C 0001"
        "00000000 00000000 00000002 00000004 0004"
        "FFFF 0000000C 0000 0000000D 0001 0000000D 0002 0000000A"
        "'8BIM' 'scrn' 80 01 03 00 00000020"
        "00000000 00000000 02'ab'00 '8BIM' 'luni' 00000008 00000002 0061 0062"
        // transparency: FF FF 80 80 / 00 00 00 00
        "0001 0004 0002 FFFF FF80 FD00"
        // red: 30 31 32 32 (odd length, the next compression follows at once)
        "0001 0005 0002 013031FF32 FD00"
        // green: 20 21 22 22
        "0001 0005 0002 012021FF22 FD00"
        // blue: 10 10 10 10
        "0001 0002 0002 FD10 FD00"
        "00000000"
        // merged: counts for red, green, blue and the alphas (top row first), then the rows
        "0001 0002 0002 0005 0002 0005 0002 0002 0005 0002 0002"
        "FD01 FDFF  0302030405 FDFF  FF09010807 FDFF  FD00 0301020304  FD00 FD00");
    EXPECT_EQ(w.bytes, expected);
}

// "single byte, then a pair" packs n bytes to n + n / 3: 49152 of them need a 65536-byte row.
void fillWorstCase(uint8_t* p, size_t n, size_t step) {
    for (size_t i = 0; i < n; ++i) p[i * step] = static_cast<uint8_t>(i % 3 == 0 ? (i / 3) % 200 : 201 + (i / 3) % 50);
}

TEST(PsdWriterTest, RowTooLongToCountIsRefusedBeforeAnyByte) {
    constexpr int32_t w = 49152;
    const struct {
        const char* what;
        std::function<uint8_t*(Doc&)> row;
        size_t step;
    } cases[] = {
        {"layer red, second row", [](Doc& d) { return d.addLayer().pixels.data() + size_t{w} * 4 + 2; }, 4},
        {"merged green", [](Doc& d) { return d.canvas.bits + 1; }, 3},
        {"alpha channel", [](Doc& d) { return d.addLayer("a", d.alphas).pixels.data() + 3; }, 4},
    };
    const std::string path = testing::TempDir() + "rivodiv_refused.psd";
    for (const auto& c : cases) {
        Doc doc(w, 2);
        fillWorstCase(c.row(doc), size_t{w}, c.step);
        const Written out = write(doc);
        EXPECT_FALSE(out.ok) << c.what;
        EXPECT_TRUE(out.bytes.empty()) << c.what;
        std::remove(path.c_str());
        EXPECT_FALSE(writePsdFile(path, doc.canvas, doc.layers, doc.alphas, doc.info));
        EXPECT_EQ(testfiles::readFile(path), "<missing>") << "a refused document leaves no file";
    }
    // Just under the limit: 49151 such bytes pack to exactly 65535 and are written.
    Doc doc(w - 1, 1);
    fillWorstCase(doc.addLayer().pixels.data() + 3, size_t{w - 1}, 4);
    const Written out = write(doc);
    ASSERT_TRUE(out.ok);
    EXPECT_EQ(be32(out.bytes, kFirstRecordAt + 20), 2u + 2u + 65535u);
    // Rows wide enough to pack too long that do not are measured and written.
    Doc flat(w, 2);
    flat.addLayer();
    const Written plain = write(flat);
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(be32(plain.bytes, kFirstRecordAt + 20), 2u + 2u * (2u + 2u * 384u));
}

TEST(PsdWriterTest, ModelsItCannotReadSafelyAreRefused) {
    const std::function<void(Doc&)> breaks[] = {
        [](Doc& doc) { doc.info.width = 4; },  // canvas no longer matches the header's size
        [](Doc& doc) { doc.addLayer().pixels.resize(8); },
        [](Doc& doc) { doc.addLayer("a", doc.alphas).resize(2, 3, blend::AlphaChannel); },
    };
    for (const auto& breakIt : breaks) {
        Doc doc(3, 3);
        breakIt(doc);
        EXPECT_FALSE(write(doc).ok);
    }
}

TEST(PsdWriterTest, WritePsdFileWritesTheSameBytes) {
    Doc doc(3, 2, 0x123456);
    doc.addLayer("one").pixels[7] = 200;
    const std::string path = testing::TempDir() + "rivodiv_writer.psd";
    ASSERT_TRUE(writePsdFile(path, doc.canvas, doc.layers, doc.alphas, doc.info));
    const std::string fromFile = testfiles::readFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(Bytes(fromFile.begin(), fromFile.end()), write(doc).bytes);
    EXPECT_FALSE(writePsdFile(testing::TempDir() + "no/such/dir/x.psd", doc.canvas, doc.layers, doc.alphas, doc.info));
}

}  // namespace
