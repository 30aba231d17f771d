#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "formats/psd/PackBits.h"
#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdReader.h"
#include "support/PsdBytes.h"
#include "support/PsdSamples.h"

namespace {

const std::string kBackground = "\x94\x77\x8c\x69";
const std::string kLayer = "\x83\x8c\x83\x43\x83\x84\x81\x5b";
const std::string kAlphaChannel = "\x83\x41\x83\x8b\x83\x74\x83\x40\x83\x60\x83\x83\x83\x93\x83\x6c\x83\x8b";

using namespace psdbytes;
using psdsamples::concat;

Bytes resolutionData(uint32_t fixed) {
    Bytes d;
    put32(d, fixed);
    put16(d, 1);
    put16(d, 2);
    put32(d, fixed);
    put16(d, 1);
    put16(d, 2);
    return d;
}

Bytes alphaNamesData(const std::vector<std::string>& names) {
    Bytes d;
    for (const std::string& name : names) {
        put8(d, static_cast<uint32_t>(name.size()));
        putText(d, name);
    }
    return d;
}

struct ReadResult {
    bool ok = false;
    LayerTempList layers;
    LayerTempList alphaChannels;
    DocumentInfo doc;
    std::string reason;
    std::vector<std::string> notes;
    uint64_t budgetUsed = 0;  // what the budget holds once the read is over
};

// Gives every layer storage of the canvas's size full of leftovers, as storage handed back by an
// earlier layer is: whatever the file does not fill must still come out transparent black.
// The layers and alpha channels are kept, and reserved, as the plain read keeps them.
class Leftovers final : public PsdLayerSink {
public:
    Leftovers(ReadResult& result, Conversion& conversion) : result_(result), conversion_(conversion) {}
    bool begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) override {
        bytes_ = static_cast<size_t>(std::min<uint64_t>(Layer::pixelBytes(doc.width, doc.height), uint64_t{1} << 20));
        const uint64_t count = layerCount + alphaCount;
        const uint64_t each = Layer::pixelBytes(doc.width, doc.height);
        return conversion_.reserve(count != 0 && each > UINT64_MAX / count ? UINT64_MAX : each * count,
                                   std::to_string(count) + " layers");
    }
    PixelBytes nextPixels() override { return PixelBytes(bytes_, 0xA5); }
    void layerRead(Layer* layer, uint64_t) override { result_.layers.add(layer); }
    bool keepsAlphaChannels() const override { return true; }
    void alphaChannelRead(Layer* channel) override { result_.alphaChannels.add(channel); }

private:
    ReadResult& result_;
    Conversion& conversion_;
    size_t bytes_ = 0;
};

void readBytes(const Bytes& bytes, ReadResult& result, const MemoryBudget& budget = MemoryBudget()) {
    const testbytes::TempStream file(bytes);
    ASSERT_NE(file.get(), nullptr);
    Conversion conversion(budget);
    Leftovers leftovers(result, conversion);
    result.ok = readPsd(file.get(), result.doc, conversion, leftovers);
    result.reason = conversion.reason();
    result.notes = conversion.notes();
    result.budgetUsed = conversion.budget().used();
}

// Pixel (x, y) of a layer as blue, green, red, alpha.
std::vector<int> pixel(const Layer& layer, int x, int y) {
    const uint8_t* p = layer.pixels.data() + (static_cast<size_t>(y) * layer.width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

// A layer covering the whole 2x2 canvas with raw red, green, blue and transparency channels.
TestLayer opaqueLayer(const std::string& name = "L") {
    TestLayer layer;
    layer.bottom = 2;
    layer.right = 2;
    layer.name = name;
    layer.channels = {rawChannel(-1, {255, 255, 255, 255}), rawChannel(0, {10, 11, 12, 13}),
                      rawChannel(1, {20, 21, 22, 23}), rawChannel(2, {30, 31, 32, 33})};
    return layer;
}

// A Unicode name block: unit count, then the units.
Bytes luni(const std::vector<uint16_t>& units, std::optional<uint32_t> count = {}) {
    Bytes d;
    put32(d, count.value_or(static_cast<uint32_t>(units.size())));
    for (uint16_t u : units) put16(d, u);
    return infoBlock("luni", d);
}

Bytes section(uint32_t type) {
    Bytes d;
    put32(d, type);
    return infoBlock("lsct", d);
}

TEST(PsdReaderTest, HeaderChecks) {
    struct Case {
        const char* what;
        void (*change)(TestPsd&);
        const char* reason;  // empty when the file reads
    };
    const Case cases[] = {
        {"plain 8-bit RGB", [](TestPsd&) {}, ""},
        {"version 2, a large document", [](TestPsd& p) { p.version = 2; }, ""},
        {"version 3", [](TestPsd& p) { p.version = 3; }, "PSD version 3 is not supported"},
        {"version 0", [](TestPsd& p) { p.version = 0; }, "PSD version 0 is not supported"},
        {"bad signature", [](TestPsd& p) { p.signature = "8BPB"; }, "not a PSD file: no 8BPS signature"},
        {"16-bit planes measured as 8-bit", [](TestPsd& p) { p.depth = 16; },
         "merged image: the raw planes run past the end of the file"},
        {"depth 4", [](TestPsd& p) { p.depth = 4; }, "4-bit RGB documents are not supported"},
        {"grayscale", [](TestPsd& p) { p.mode = 1; }, ""},
        {"colour mode 5", [](TestPsd& p) { p.mode = 5; }, "colour mode 5 is not supported"},
        {"CMYK with three channels", [](TestPsd& p) { p.mode = 4; },
         "the header gives 3 channels, fewer than the 4 of its colour mode"},
        {"two channels", [](TestPsd& p) { p.channels = 2; },
         "the header gives 2 channels, fewer than the 3 of its colour mode"},
        {"width beyond 32-bit signed", [](TestPsd& p) { p.width = 0x80000000u; },
         "a size of 2147483648 x 2 is too large"},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.merged = rawMerged({Bytes(4, 1), Bytes(4, 2), Bytes(4, 3)});
        c.change(psd);
        ReadResult r;
        readBytes(psd.build(), r);
        EXPECT_EQ(r.ok, *c.reason == 0) << c.what;
        EXPECT_EQ(r.reason, c.reason) << c.what;
    }
}

TEST(PsdReaderTest, ShortHeaderFails) {
    Bytes bytes = TestPsd{}.build();
    bytes.resize(25);
    ReadResult r;
    readBytes(bytes, r);
    EXPECT_FALSE(r.ok);
}

TEST(PsdReaderTest, NoLayerSectionGivesOneOpaqueBackgroundFromTheMergedImage) {
    TestPsd psd;
    psd.width = 2;
    psd.height = 1;
    psd.colourMode = {1, 2, 3};  // skipped by its length
    psd.merged = rawMerged({{200, 201}, {100, 101}, {50, 51}});
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.doc.width, 2);
    EXPECT_EQ(r.doc.height, 1);
    EXPECT_EQ(r.doc.resolution, 72);
    ASSERT_EQ(r.layers.size(), 1u);
    EXPECT_TRUE(r.alphaChannels.empty());
    const Layer& bg = *r.layers[0];
    EXPECT_EQ(bg.name, kBackground);
    EXPECT_EQ(bg.blendMode, blend::Normal);
    EXPECT_EQ(pixel(bg, 0, 0), (std::vector<int>{50, 100, 200, 255}));
    EXPECT_EQ(pixel(bg, 1, 0), (std::vector<int>{51, 101, 201, 255}));
}

TEST(PsdReaderTest, CompressedMergedImageWithAlphaChannelsNamedByResource) {
    std::vector<Bytes> rows;
    Bytes plain;
    for (int c = 0; c < 5; ++c) {
        for (int y = 0; y < 2; ++y) {
            const Bytes row{static_cast<uint8_t>(c * 10 + y), static_cast<uint8_t>(c * 10 + y + 1),
                            static_cast<uint8_t>(c * 10 + y + 2)};
            rows.push_back(literalRow(row));
            putBytes(plain, row);
        }
    }
    struct Case {
        const char* what;
        uint16_t version;
        uint16_t compression;
        Bytes data;  // after the compression code
    };
    const Case cases[] = {
        {"PackBits", 1, 1, packedRows(rows)},
        {"PackBits with 4-byte row counts in a large document", 2, 1, packedRows(rows, true)},
        {"ZIP, one stream of every channel", 1, 2, zipRows(plain, 3, false)},
        {"ZIP with prediction, each row on its own", 1, 3, zipRows(plain, 3, true)},
        {"ZIP in a large document", 2, 3, zipRows(plain, 3, true)},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.version = c.version;
        psd.width = 3;
        psd.height = 2;
        psd.channels = 5;
        psd.resources = resourceBlock(1006, alphaNamesData({"A1", "second"}));
        put16(psd.merged, c.compression);
        putBytes(psd.merged, c.data);
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << c.what << ": " << r.reason;
        EXPECT_EQ(r.budgetUsed, Layer::pixelBytes(3, 2) * 3) << c.what << ": the inflated rows go back to the budget";
        ASSERT_EQ(r.layers.size(), 1u);
        EXPECT_EQ(pixel(*r.layers[0], 2, 1), (std::vector<int>{23, 13, 3, 255}));
        ASSERT_EQ(r.alphaChannels.size(), 2u);
        EXPECT_EQ(r.alphaChannels[0]->name, "A1");
        EXPECT_EQ(r.alphaChannels[1]->name, "second");
        for (const Layer* alpha : r.alphaChannels) EXPECT_EQ(alpha->blendMode, blend::AlphaChannel);
        EXPECT_EQ(pixel(*r.alphaChannels[0], 0, 1), (std::vector<int>{0, 0, 0, 31}));
        EXPECT_EQ(pixel(*r.alphaChannels[1], 2, 0), (std::vector<int>{0, 0, 0, 42}));
    }
}

TEST(PsdReaderTest, NegativeLayerCountMakesChannelThreeMergedTransparency) {
    struct Case {
        std::vector<std::string> names;
        std::string expected;
    };
    const Case cases[] = {{{"zero", "one"}, "one"}, {{"zero"}, kAlphaChannel}, {{}, kAlphaChannel}};
    for (const Case& c : cases) {
        TestPsd psd;
        psd.width = 1;
        psd.height = 1;
        psd.channels = 5;
        if (!c.names.empty()) psd.resources = resourceBlock(1006, alphaNamesData(c.names));
        psd.layers = {opaqueLayer()};
        psd.layers[0].bottom = psd.layers[0].right = 1;
        for (TestChannel& ch : psd.layers[0].channels) ch.payload.resize(1);
        psd.layerCount = -1;
        psd.merged = rawMerged({{1}, {2}, {3}, {4}, {77}});
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.layers.size(), 1u);
        EXPECT_EQ(r.layers[0]->name, "L");
        ASSERT_EQ(r.alphaChannels.size(), 1u);
        EXPECT_EQ(r.alphaChannels[0]->name, c.expected);
        EXPECT_EQ(pixel(*r.alphaChannels[0], 0, 0), (std::vector<int>{0, 0, 0, 77}));
    }
}

TEST(PsdReaderTest, MergedImageIsReadOnlyWithoutLayersOrWithExtraChannels) {
    // Layers and exactly 3 channels: the merged image is never read, so a truncated one is fine.
    TestPsd three;
    three.layers = {opaqueLayer()};
    three.merged = {0, 0, 1, 2};
    ReadResult r3;
    readBytes(three.build(), r3);
    EXPECT_TRUE(r3.ok);
    EXPECT_EQ(r3.layers.size(), 1u);

    // With an alpha channel the merged image is read, and the same truncation fails.
    TestPsd four = three;
    four.channels = 4;
    ReadResult r4;
    readBytes(four.build(), r4);
    EXPECT_FALSE(r4.ok);
}

TEST(PsdReaderTest, LayerAttributesFromTheRecord) {
    struct Case {
        uint8_t opacity;
        const char* key;
        uint8_t clipping;
        uint8_t flags;
        int32_t expectedOpacity;
        BlendMode expectedMode;
        uint8_t expectedClipping, expectedLocked, expectedVisible;
        Bytes additional = {};
    };
    // Fill opacity folds into opacity on 0..255 before the percentage: 128 x 128 -> 64 -> 25 %.
    const Case cases[] = {
        {128, "norm", 0, 0, 25, blend::Normal, 0, 0, 1, infoBlock("iOpa", {128, 0, 0, 0})},
        {255, "norm", 0, 0, 20, blend::Normal, 0, 0, 1, infoBlock("iOpa", {51, 0, 0, 0})},
        {255, "norm", 0, 0, 100, blend::Normal, 0, 0, 1, concat({infoBlock("iOpa", {}), infoBlock("lyid", {0, 0, 0, 0})})},
        {255, "norm", 0, 0, 100, blend::Normal, 0, 0, 1},
        {128, "mul ", 1, 1, 50, blend::Multiply, 1, 1, 1},
        {127, "smud", 7, 2, 50, blend::Exclusion, 1, 0, 0},
        {2, "lddg", 0, 3, 1, blend::LinearDodge, 0, 1, 0},
        {1, "xyzw", 0, 0, 0, blend::Normal, 0, 0, 1},
        {0, "lum ", 0, 0, 0, blend::Luminosity, 0, 0, 1},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        TestLayer layer = opaqueLayer("name");
        layer.opacity = c.opacity;
        layer.key = c.key;
        layer.clipping = c.clipping;
        layer.flags = c.flags;
        layer.additional = c.additional;
        psd.layers = {layer};
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << c.key;
        const Layer& l = *r.layers[0];
        EXPECT_EQ(l.opacity, c.expectedOpacity) << "opacity " << int(c.opacity);
        EXPECT_EQ(l.blendMode, c.expectedMode) << c.key;
        EXPECT_EQ(l.clipping, c.expectedClipping);
        EXPECT_EQ(l.alphaLocked, c.expectedLocked) << "flags " << int(c.flags);
        EXPECT_EQ(l.visible, c.expectedVisible) << "flags " << int(c.flags);
        EXPECT_EQ(l.name, "name");
        EXPECT_EQ(pixel(l, 1, 1), (std::vector<int>{33, 23, 13, 255}));
    }
}

TEST(PsdReaderTest, UnnamedLayersAndNamePaddings) {
    TestPsd psd;
    const std::string longName(255, 'n');
    for (const std::string& name : {std::string(), std::string(), std::string(), std::string("abc"), longName,
                                    std::string("abcd")}) {
        TestLayer layer = opaqueLayer(name);
        layer.additional = {'8', 'B', 'I', 'M', 'l', 'u', 'n', 'i', 0, 0, 0, 0};  // skipped by the extra length
        psd.layers.push_back(layer);
    }
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 6u);
    EXPECT_EQ(r.layers[0]->name, kBackground);
    EXPECT_EQ(r.layers[1]->name, kBackground);
    EXPECT_EQ(r.layers[2]->name, kLayer);
    EXPECT_EQ(r.layers[3]->name, "abc");
    EXPECT_EQ(r.layers[4]->name, longName);
    EXPECT_EQ(r.layers[5]->name, "abcd");
    for (const Layer* layer : r.layers) EXPECT_EQ(pixel(*layer, 0, 1), (std::vector<int>{32, 22, 12, 255}));
}

// A Unicode name block wins over the Pascal name, converted to CP932.
TEST(PsdReaderTest, UnicodeNameBlocks) {
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const Bytes& p : parts) putBytes(b, p);
        return b;
    };
    const Bytes other = infoBlock("lyid", {0, 0, 0, 7});
    Bytes overrunning = luni({0x0061});
    overrunning[11] = 40;  // longer than the extra data
    struct Case {
        const char* what;
        std::string pascal;
        Bytes additional;
        std::string name;
    };
    const Case cases[] = {
        {"CP932 from UTF-16", "?? ????", luni({0x80CC, 0x666F, 0x0020, 0x30EC, 0x30A4, 0x30E4, 0x30FC}),
         "\x94\x77\x8c\x69 \x83\x8c\x83\x43\x83\x84\x81\x5b"},
        {"UTF-8 Pascal name", "\xe8\x83\x8c", luni({0x80CC}), "\x94\x77"},
        {"half-width katakana and a 5C trail byte", "", luni({0xFF71, 0xFF9D, 0x8868, 0x005C}), "\xb1\xdd\x95\x5c\x5c"},
        {"characters CP932 lacks, a pair and lone surrogates", "x", luni({0x00E9, 0xD83D, 0xDE00, 0xDC00, 0x0061, 0xD800}),
         "???a?"},
        {"the Pascal spelling of the same text is kept", "\x87\x90\xed\x40", luni({0x2252, 0x7E8A}), "\x87\x90\xed\x40"},
        {"other spellings are the usual codes", "\x81\xe0", luni({0x2252, 0x7E8A}), "\x81\xe0\xfa\x5c"},
        {"empty Unicode name: the default", "abc", luni({}), kBackground},
        {"after another block", "abc", cat({other, luni({0x0078})}), "x"},
        {"after a long-signature block", "abc", cat({infoBlock("lnsr", {0, 0, 0, 0}, "8B64"), luni({0x0079})}), "y"},
        {"unknown signature ends the walk", "abc", cat({infoBlock("lyid", {}, "8BXM"), luni({0x0078})}), "abc"},
        {"count beyond its block", "abc", luni({0x0078}, 3), "abc"},
        {"block beyond the extra data", "abc", overrunning, "abc"},
        {"block head cut by the extra data", "abc", Bytes{'8', 'B', 'I', 'M', 'l', 'u'}, "abc"},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        TestLayer layer = opaqueLayer(c.pascal);
        layer.additional = c.additional;
        psd.layers = {layer, opaqueLayer("next")};
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << c.what;
        ASSERT_EQ(r.layers.size(), 2u) << c.what;
        EXPECT_EQ(r.layers[0]->name, c.name) << c.what;
        EXPECT_EQ(r.layers[1]->name, "next") << c.what;
        EXPECT_EQ(pixel(*r.layers[1], 1, 0), (std::vector<int>{31, 21, 11, 255})) << c.what;
    }
}

// A large document: 8-byte section and channel lengths, 8-byte lengths for some keys' blocks, 4-byte
// row counts. The layer's one row is wider than a PSD allows and packs to more bytes than a 2-byte
// count holds; its last two columns land on the canvas.
TEST(PsdReaderTest, LargeDocumentsHaveWiderLengths) {
    constexpr int32_t kColumns = 70000;
    Bytes row(kColumns), packed;
    for (int32_t x = 0; x < kColumns; ++x) row[x] = static_cast<uint8_t>(x % 251);
    for (int32_t x = 0; x < kColumns; x += 128) {
        const Bytes part(row.begin() + x, row.begin() + std::min(x + 128, kColumns));
        putBytes(packed, literalRow(part));
    }
    ASSERT_GT(packed.size(), 65535u);
    std::vector<std::string> cases = {"LMsk", "Lr16", "Lr32", "Layr", "Mt16", "Mt32", "Mtrn", "Alph",
                                      "FMsk", "lnk2", "FEid", "FXid", "PxSD", "cinf", "lnkE", "pths"};
    cases.push_back("lyid");  // not among them: a 4-byte length still
    for (const std::string& key : cases) {
        const bool wide = key != "lyid";
        TestPsd psd;
        psd.version = 2;
        TestLayer layer;
        layer.left = 2 - kColumns;
        layer.bottom = 1;
        layer.right = 2;
        layer.name = "p";
        // The block's data would read as another block were its length taken as 4 bytes.
        layer.additional = infoBlock(key, infoBlock("luni", {0, 0, 0, 1, 0, 'x'}), "8BIM", wide);
        putBytes(layer.additional, luni({'N'}));
        layer.channels = {rawChannel(-1, Bytes(kColumns, 200)), {0, 1, packedRows({packed}, true), {}},
                          {1, 1, packedRows({packed}, true), {}}, rawChannel(2, row)};
        psd.layers = {layer};
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << key << ": " << r.reason;
        ASSERT_EQ(r.layers.size(), 1u);
        EXPECT_EQ(r.layers[0]->name, "N") << key;
        const int last = (kColumns - 1) % 251;
        EXPECT_EQ(pixel(*r.layers[0], 0, 0), (std::vector<int>{last - 1, last - 1, last - 1, 200})) << key;
        EXPECT_EQ(pixel(*r.layers[0], 1, 0), (std::vector<int>{last, last, last, 200})) << key;
        EXPECT_EQ(pixel(*r.layers[0], 1, 1), (std::vector<int>{0, 0, 0, 0})) << key;
    }
}

// Group records are no layers; a hidden group hides what it holds and group opacity, times the
// group's fill opacity, folds in.
TEST(PsdReaderTest, GroupsShapeTheirLayersAndVanish) {
    struct Record {
        const char* name;
        uint32_t section;  // 0: a layer
        uint8_t opacity;
        bool hidden;
        uint8_t fill = 255;
    };
    // Bottom first: a divider closes each group below its layers, the folder record opens it above.
    const Record records[] = {
        // Folder records that no divider below closes hold nothing: they hide and fade nothing.
        {"under", 0, 255, false},
        {"unclosed", 2, 51, true},
        {"between", 0, 255, false},
        {"also unclosed", 1, 128, true},
        {"stray divider", 3, 255, false},
        {"below", 0, 255, false},
        {"</outer>", 3, 255, false},
        {"a", 0, 200, false},
        {"</inner>", 3, 255, false},
        {"b", 0, 255, true},
        {"c", 0, 100, false},
        {"inner", 2, 128, false, 128},
        {"d", 0, 255, false},
        {"outer", 1, 51, false},
        {"</hidden>", 3, 255, false},
        {"e", 0, 255, false},
        {"hidden", 1, 255, true},
        {"top", 0, 255, false},
    };
    TestPsd psd;
    for (const Record& rec : records) {
        TestLayer layer = opaqueLayer(rec.name);
        layer.opacity = rec.opacity;
        layer.flags = rec.hidden ? 2 : 0;
        layer.key = rec.section == 0 ? "norm" : "pass";
        if (rec.section != 0) {
            layer.additional = section(rec.section);
            if (rec.fill != 255) layer.additional = concat({layer.additional, infoBlock("iOpa", {rec.fill, 0, 0, 0})});
            layer.bottom = layer.right = 0;
            for (TestChannel& ch : layer.channels) ch.payload.clear();
        }
        psd.layers.push_back(layer);
    }
    struct Expected {
        std::string name;
        int32_t opacity;
        uint8_t visible;
    };
    // Bytes: a 200 x 51 -> 40; inner 128 x fill 128 -> 64: b 255 x 64 -> 64, x 51 -> 13; c 100 -> 25
    // -> 5; d 255 x 51 -> 51.
    const Expected expected[] = {{"under", 100, 1}, {"between", 100, 1}, {"below", 100, 1}, {"a", 16, 1},
                                 {"b", 5, 0},       {"c", 2, 1},         {"d", 20, 1},      {"e", 100, 0},
                                 {"top", 100, 1}};
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(r.layers[i]->name, expected[i].name);
        EXPECT_EQ(r.layers[i]->opacity, expected[i].opacity) << expected[i].name;
        EXPECT_EQ(r.layers[i]->visible, expected[i].visible) << expected[i].name;
        EXPECT_EQ(pixel(*r.layers[i], 1, 0), (std::vector<int>{31, 21, 11, 255})) << expected[i].name;
    }
}

// Descriptor fragments as effects blocks hold them: the master switch, then each effect's "enab"
// and "present": y for an effect enabled, n disabled, a enabled but never added (not present).
Bytes effectsBlock(const std::string& key, const std::string& effects, std::optional<bool> master = {}) {
    Bytes d;
    put32(d, 0);
    put32(d, 16);  // descriptor version
    if (master) {
        put32(d, 14);
        putText(d, "masterFXSwitchbool");
        put8(d, *master ? 1 : 0);
    }
    for (char effect : effects) {
        put32(d, 0);
        putText(d, "enabbool");
        put8(d, effect != 'n' ? 1 : 0);
        put32(d, 7);
        putText(d, "presentbool");
        put8(d, effect != 'a' ? 1 : 0);
    }
    return infoBlock(key, d);
}

// The old effects block: version, count, then signed entries of a version-2 size, each with its
// enabled byte (the common state's visible byte) set or not.
Bytes oldEffectsBlock(const std::vector<std::pair<std::string, bool>>& entries) {
    const struct {
        const char* key;
        size_t size, enabledAt;
    } layouts[] = {{"cmnS", 7, 4}, {"dsdw", 51, 38}, {"isdw", 51, 38}, {"oglw", 42, 30},
                   {"iglw", 43, 30}, {"bevl", 78, 55}, {"sofi", 34, 23}};
    Bytes d;
    put16(d, 0);
    put16(d, static_cast<uint32_t>(entries.size()));
    for (const auto& [key, on] : entries) {
        for (const auto& layout : layouts) {
            if (key != layout.key) continue;
            putText(d, "8BIM");
            putText(d, key);
            put32(d, static_cast<uint32_t>(layout.size));
            Bytes body(layout.size, 0);
            body[layout.enabledAt] = on ? 1 : 0;
            putBytes(d, body);
        }
    }
    return infoBlock("lrFX", d);
}

// A group's section block with the group's own blend key.
Bytes keyedSection(uint32_t type, const std::string& key) {
    Bytes d;
    put32(d, type);
    putText(d, "8BIM");
    putText(d, key);
    return infoBlock("lsct", d);
}

// Composite and three channels; one range narrowed when narrowAt is inside them.
Bytes blendingRanges(size_t narrowAt = SIZE_MAX) {
    Bytes d;
    for (size_t i = 0; i < 8; ++i) {
        const Bytes open = {0, 0, 255, 255};
        putBytes(d, i == narrowAt ? Bytes{0, 0, 200, 255} : open);
    }
    return d;
}

TEST(PsdReaderTest, WhatLayersCannotCarryIsNotedOnceInAFixedOrder) {
    struct Record {
        std::string key = "norm";
        uint32_t section = 0;  // 0: a layer
        Bytes additional;
        Bytes ranges;
        bool pixels = true;  // an empty rectangle, channels without rows, otherwise
    };
    const Bytes one{1}, zero{0};
    Bytes smartObject, plainObject;
    putText(smartObject, "soLDdescriptor filterFX list");
    putText(plainObject, "soLDdescriptor");
    auto artboard = [](uint8_t type, size_t keep = 30) {  // a descriptor with the background type
        Bytes d;
        putText(d, "xxartboardBackgroundTypelong");
        d.insert(d.end(), {0, 0, 0, type});
        d.resize(keep);
        return psdsamples::concat({keyedSection(1, "pass"), infoBlock("artb", d)});
    };
    const Bytes two = psdsamples::concat({effectsBlock("lmfx", "yyn"), effectsBlock("lfx2", "yn")});
    const struct {
        const char* what;
        std::vector<Record> records;  // bottom first; groups close nothing here, which counts the same
        std::string note;             // without "note: not carried over: "
    } rows[] = {
        {"nothing lost",
         {{"norm", 0, psdsamples::concat({effectsBlock("lfx2", "yy", false), infoBlock("knko", zero)}), blendingRanges()},
          {"norm", 0, psdsamples::concat({effectsBlock("lfx2", "na", true), infoBlock("SoLd", plainObject)}), {}},
          {"norm", 0, infoBlock("SoCo", one), {}},  // a fill kept in its pixels
          {"norm", 1, keyedSection(1, "pass"), {}},
          {"pass", 2, psdsamples::concat({section(2), oldEffectsBlock({{"cmnS", true}, {"sofi", true}})}), {}},
          {"mul ", 3, keyedSection(3, "mul "), {}}},
         ""},
        {"effects enabled, the fuller block counted",
         {{"norm", 0, psdsamples::concat({effectsBlock("lfx2", "yny"), oldEffectsBlock({{"cmnS", true}, {"dsdw", true}})}), {}},
          {"norm", 0, two, {}},
          {"norm", 0, oldEffectsBlock({{"cmnS", true}, {"dsdw", true}, {"isdw", false}, {"oglw", true}, {"iglw", false}, {"bevl", true}, {"sofi", true}}), {}},
          {"norm", 0, oldEffectsBlock({{"cmnS", false}, {"dsdw", true}, {"bevl", true}}), {}}},
         "8 layer effects"},
        {"one effect", {{"norm", 0, effectsBlock("lfx2", "aya", true), {}}}, "1 layer effect"},
        {"adjustment and fill layers",
         {{"norm", 0, infoBlock("levl", one), {}}, {"norm", 0, psdsamples::concat({infoBlock("SoCo", one), infoBlock("hue ", one)}), {}}},
         "2 adjustment layers"},
        {"fill layers without pixels",
         {{"norm", 0, infoBlock("GdFl", one), {}, false}, {"norm", 0, infoBlock("PtFl", one), {}, true}},
         "1 fill layer"},
        {"group blend modes: the section's key over the record's",
         {{"pass", 1, keyedSection(1, "norm"), {}}, {"mul ", 2, section(2), {}}, {"norm", 2, keyedSection(2, "pass"), {}}},
         "2 group blend modes"},
        {"layer blend modes WLX lacks, unknown keys among them",
         {{"dark", 0, {}, {}}, {"lgCl", 0, {}, {}}, {"diff", 0, {}, {}}, {"smud", 0, infoBlock("levl", one), {}}, {"pass", 0, {}, {}}},
         "1 adjustment layer, 2 layer blend modes"},
        {"artboards on black or a colour, not on white or transparency or cut short",
         {{"pass", 1, artboard(2, 32), {}}, {"pass", 1, artboard(4, 32), {}}, {"pass", 1, artboard(1, 32), {}},
          {"pass", 1, artboard(3, 32), {}}, {"pass", 1, artboard(4, 31), {}}},
         "2 artboard backgrounds"},
        {"blending ranges",
         {{"norm", 0, {}, blendingRanges(0)}, {"norm", 0, {}, blendingRanges(7)}, {"norm", 0, {}, blendingRanges()}},
         "2 blending ranges"},
        {"knockout", {{"norm", 0, infoBlock("knko", one), {}}}, "1 knockout"},
        {"smart-object filters",
         {{"norm", 0, infoBlock("SoLd", smartObject), {}}, {"norm", 0, infoBlock("SoLE", smartObject), {}}},
         "2 smart-object filters"},
        {"every kind, in order",
         {{"norm", 0, infoBlock("SoLd", smartObject), {}},
          {"norm", 0, infoBlock("knko", one), blendingRanges(3)},
          {"norm", 1, keyedSection(1, "scrn"), {}},
          {"hue ", 0, {}, {}},
          {"norm", 0, psdsamples::concat({infoBlock("curv", one), effectsBlock("lfx2", "y")}), {}},
          {"norm", 0, infoBlock("SoCo", one), {}, false}},
         "1 layer effect, 1 adjustment layer, 1 fill layer, 1 group blend mode, 1 layer blend mode, 1 blending range, 1 knockout, 1 smart-object filter"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestPsd psd;
        psd.merged = rawMerged(std::vector<Bytes>(3, Bytes(4, 40)));  // read when no record is a layer
        for (const Record& rec : row.records) {
            TestLayer layer = opaqueLayer();
            layer.key = rec.key;
            layer.additional = rec.section == 0 || !rec.additional.empty() ? rec.additional : section(rec.section);
            layer.ranges = rec.ranges;
            if (!rec.pixels) {
                layer.bottom = layer.right = 0;
                for (TestChannel& ch : layer.channels) ch.payload.clear();
            }
            psd.layers.push_back(layer);
        }
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << r.reason;
        EXPECT_EQ(r.notes, row.note.empty() ? std::vector<std::string>{}
                                            : std::vector<std::string>{"note: not carried over: " + row.note});
    }
}

// Clipping and a group's masks are baked: a clipped layer takes its base's alpha (after the base's
// masks), opacity and visibility, and, in normal mode, the base's mode unless clbl is off; a group
// can be a base (the alpha its layers cover) or be clipped itself; a group's mask shapes its layers.
TEST(PsdReaderTest, ClippingAndGroupMasksAreBakedIntoTheLayers) {
    struct Record {
        const char* name;
        uint32_t section;  // 0: a layer
        const char* key;
        uint8_t opacity, clipping, flags;
        Bytes alpha;       // a layer's transparency channel
        Bytes additional;  // after the section block
        std::vector<TestChannel> masks;
    };
    Bytes maskRecord;
    for (int32_t v : {0, 0, 2, 2}) put32(maskRecord, static_cast<uint32_t>(v));
    putBytes(maskRecord, {0, 0, 0, 0});
    const Bytes solid(4, 200);
    // Bottom first.
    const Record records[] = {
        {"base", 0, "mul ", 128, 0, 0, {255, 128, 0, 255}, {}, {}},
        {"c1", 0, "norm", 255, 1, 0, solid, {}, {}},
        {"c2", 0, "scrn", 255, 1, 0, solid, infoBlock("iOpa", {128, 0, 0, 0}), {}},
        {"hidden base", 0, "scrn", 255, 0, 2, Bytes(4, 255), infoBlock("clbl", {0, 0, 0, 0}), {}},
        {"c3", 0, "norm", 255, 1, 0, solid, {}, {}},
        {"</g>", 3, "norm", 255, 0, 0, {}, {}, {}},
        {"bottom clipped", 0, "norm", 255, 1, 0, solid, {}, {}},
        {"g2", 0, "norm", 255, 0, 0, {0, 0, 0, 200}, {}, {}},
        {"g", 1, "pass", 255, 0, 0, {}, {}, {rawChannel(-2, {255, 0, 255, 128})}},
        {"c4", 0, "norm", 255, 1, 0, solid, {}, {}},
        {"base2", 0, "norm", 128, 0, 0, {255, 0, 255, 0}, {}, {}},
        {"</cg>", 3, "norm", 255, 0, 0, {}, {}, {}},
        {"inside", 0, "norm", 255, 0, 0, solid, {}, {}},
        {"cg", 1, "pass", 255, 1, 0, {}, {}, {}},
        {"after cg", 0, "norm", 255, 1, 0, solid, {}, {}},
        // A group mask that does not decode is left out: the group's data is never read otherwise.
        {"</bad>", 3, "norm", 255, 0, 0, {}, {}, {}},
        {"in bad", 0, "norm", 255, 0, 0, solid, {}, {}},
        {"bad", 1, "pass", 255, 0, 0, {}, {}, {TestChannel{-2, 2, {1, 2, 3, 4, 5}, {}}}},
    };
    TestPsd psd;
    for (const Record& rec : records) {
        TestLayer layer = opaqueLayer(rec.name);
        layer.key = rec.key;
        layer.opacity = rec.opacity;
        layer.clipping = rec.clipping;
        layer.flags = rec.flags;
        layer.additional = rec.additional;
        if (rec.section != 0) {
            layer.additional = concat({section(rec.section), rec.additional});
            layer.bottom = layer.right = 0;
            for (TestChannel& ch : layer.channels) ch.payload.clear();
        } else {
            layer.channels[0] = rawChannel(-1, rec.alpha);
        }
        if (!rec.masks.empty()) {
            layer.mask = maskRecord;
            layer.channels.insert(layer.channels.end(), rec.masks.begin(), rec.masks.end());
        }
        psd.layers.push_back(layer);
    }
    struct Expected {
        std::string name;
        int32_t opacity;
        uint8_t visible;
        BlendMode mode;
        uint8_t clipping;  // left on a clipped layer without a base
        std::vector<int> alpha;  // (0,0) (1,0) (0,1) (1,1)
    };
    const Expected expected[] = {
        {"base", 50, 1, blend::Multiply, 0, {255, 128, 0, 255}},
        {"c1", 50, 1, blend::Multiply, 0, {200, 100, 0, 200}},        // 255 x 128 -> 128
        {"c2", 25, 1, blend::Screen, 0, {200, 100, 0, 200}},          // fill 128, then base 128 -> 64
        {"hidden base", 100, 0, blend::Screen, 0, {255, 255, 255, 255}},
        {"c3", 100, 0, blend::Normal, 0, {200, 200, 200, 200}},
        {"bottom clipped", 100, 1, blend::Normal, 1, {200, 0, 200, 100}},
        {"g2", 100, 1, blend::Normal, 0, {0, 0, 0, 100}},
        // The alpha g's layers cover, a + b - a x b: 200 0 / 200 161.
        {"c4", 100, 1, blend::Normal, 0, {157, 0, 157, 126}},
        {"base2", 50, 1, blend::Normal, 0, {255, 0, 255, 0}},
        {"inside", 50, 1, blend::Normal, 0, {200, 0, 200, 0}},
        {"after cg", 50, 1, blend::Normal, 0, {200, 0, 200, 0}},
        {"in bad", 100, 1, blend::Normal, 0, {200, 200, 200, 200}},
    };
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(r.reason, "");
    ASSERT_EQ(r.layers.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Layer& l = *r.layers[i];
        const Expected& e = expected[i];
        EXPECT_EQ(l.name, e.name);
        EXPECT_EQ(l.opacity, e.opacity) << e.name;
        EXPECT_EQ(l.visible, e.visible) << e.name;
        EXPECT_EQ(l.blendMode, e.mode) << e.name;
        EXPECT_EQ(l.clipping, e.clipping) << e.name;
        EXPECT_EQ((std::vector<int>{pixel(l, 0, 0)[3], pixel(l, 1, 0)[3], pixel(l, 0, 1)[3], pixel(l, 1, 1)[3]}), e.alpha)
            << e.name;
    }
}

TEST(PsdReaderTest, RectanglesAreClippedToTheCanvas) {
    TestPsd psd;
    psd.width = 3;
    psd.height = 3;
    TestLayer partial;  // rows -1..0, columns 2..3: only (2, 0) is inside
    partial.top = -1;
    partial.left = 2;
    partial.bottom = 1;
    partial.right = 4;
    partial.channels = {rawChannel(-1, {1, 2, 3, 4}), rawChannel(0, {5, 6, 7, 8})};
    TestLayer outside;
    outside.top = 10;
    outside.left = -20;
    outside.bottom = 12;
    outside.right = -18;
    outside.channels = {rawChannel(-1, {9, 9, 9, 9})};
    psd.layers = {partial, outside};
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 2u);
    const Layer& p = *r.layers[0];
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) {
            const std::vector<int> expected = (x == 2 && y == 0) ? std::vector<int>{0, 0, 7, 3} : std::vector<int>(4, 0);
            EXPECT_EQ(pixel(p, x, y), expected) << x << "," << y;
        }
    }
    for (uint8_t b : r.layers[1]->pixels) ASSERT_EQ(b, 0);
}

TEST(PsdReaderTest, LayerWithoutTransparencyIsOpaqueInsideItsRectangleOnly) {
    struct Case {
        int32_t top, left, bottom, right;
        std::vector<int> at00, at11;
    };
    const Case cases[] = {
        {1, 1, 2, 2, {0, 0, 0, 0}, {92, 91, 90, 255}},
        {-1, -1, 5, 5, {92, 91, 90, 255}, {92, 91, 90, 255}},
        {2, 2, 1, 1, {0, 0, 0, 0}, {0, 0, 0, 0}},  // inverted: no pixels, transparent everywhere
        // At the corner but a row or a column short: the storage handed in must still be cleared.
        {0, 0, 1, 2, {92, 91, 90, 255}, {0, 0, 0, 0}},
        {0, 0, 2, 1, {92, 91, 90, 255}, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        TestLayer layer;
        layer.top = c.top;
        layer.left = c.left;
        layer.bottom = c.bottom;
        layer.right = c.right;
        const size_t n = c.bottom > c.top ? static_cast<size_t>(c.bottom - c.top) * static_cast<size_t>(c.right - c.left) : 1;
        layer.channels = {rawChannel(0, Bytes(n, 90)), rawChannel(1, Bytes(n, 91)), rawChannel(2, Bytes(n, 92))};
        psd.layers = {layer};
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok);
        SCOPED_TRACE(testing::Message() << c.top << " " << c.left << " " << c.bottom << " " << c.right);
        EXPECT_EQ(pixel(*r.layers[0], 0, 0), c.at00);
        EXPECT_EQ(pixel(*r.layers[0], 1, 1), c.at11);
    }
}

// The user mask scales alpha: (alpha x mask + 127) / 255, the default colour outside its rectangle.
TEST(PsdReaderTest, UserMaskIsBakedIntoAlpha) {
    auto rect = [](Bytes& b, int32_t top, int32_t left, int32_t bottom, int32_t right) {
        for (int32_t v : {top, left, bottom, right}) put32(b, static_cast<uint32_t>(v));
    };
    // Plain record: rectangle, default colour, flags, 2 pad bytes.
    auto plain = [&](int32_t top, int32_t left, int32_t bottom, int32_t right, uint8_t colour, uint8_t flags) {
        Bytes b;
        rect(b, top, left, bottom, right);
        put8(b, colour);
        put8(b, flags);
        put16(b, 0);
        return b;
    };
    // Record with the mask as last applied: its flags, background and rectangle from offset 18.
    auto withReal = [&](uint8_t flags, uint8_t colour, int32_t top, int32_t left, int32_t bottom, int32_t right) {
        Bytes b = plain(0, 0, 2, 2, 0, 0);
        b.resize(18);
        put8(b, flags);
        put8(b, colour);
        rect(b, top, left, bottom, right);
        return b;
    };
    // Plain record with mask parameters (flag 0x10): the parameters byte and its values.
    auto withParams = [&](uint8_t flags, const Bytes& params) {
        Bytes b = plain(0, 0, 2, 2, 0, static_cast<uint8_t>(0x10 | flags));
        b.resize(18);
        putBytes(b, params);
        return b;
    };
    auto feather = [](double radius) {
        uint64_t bits = 0;
        std::memcpy(&bits, &radius, sizeof bits);
        Bytes b;
        put32(b, static_cast<uint32_t>(bits >> 32));
        put32(b, static_cast<uint32_t>(bits));
        return b;
    };
    Bytes realWithParams = withReal(0, 255, 0, 1, 1, 2);
    realWithParams[17] = 0x10;
    putBytes(realWithParams, {0x01, 128});
    // Vector masks on the 2 x 2 canvas: its left column, its top row.
    const TestSubpath left{1, {{0, 0}, {0.5, 0}, {0.5, 1}, {0, 1}}};
    const TestSubpath top{1, {{0, 0}, {1, 0}, {1, 0.5}, {0, 0.5}}};
    auto withOp = [](TestSubpath path, int16_t op) {
        path.operation = op;
        return path;
    };
    const Bytes leftColumn = vectorMaskBlock(0, false, {left});
    const TestChannel full = rawChannel(-2, {0, 128, 255, 64});
    const TestChannel corner = rawChannel(-2, {7});
    const TestChannel real = rawChannel(-3, {50});
    struct Case {
        const char* what;
        Bytes record;
        std::vector<TestChannel> masks;
        std::vector<int> alpha;  // (0,0) (1,0) (0,1) (1,1); the layer's own alpha is 200 everywhere
        bool ok = true;
        const char* reason = "";  // of a failure, when one is told
        Bytes additional = {};
        int red = 13;  // at (1,1)
    };
    const Case cases[] = {
        {"whole layer", plain(0, 0, 2, 2, 0, 0), {full}, {0, 100, 200, 50}},
        {"products rounded, not cut", plain(0, 0, 2, 2, 0, 0), {rawChannel(-2, {1, 2, 130, 200})}, {1, 2, 102, 157}},
        {"one pixel, black outside", plain(1, 1, 2, 2, 0, 0), {corner}, {0, 0, 0, 5}},
        {"one pixel, white outside", plain(1, 1, 2, 2, 255, 0), {corner}, {200, 200, 200, 5}},
        {"partly off the canvas", plain(1, -1, 2, 1, 255, 0), {rawChannel(-2, {9, 128})}, {200, 200, 100, 200}},
        {"disabled", plain(0, 0, 2, 2, 0, 2), {full}, {200, 200, 200, 200}},
        {"other flag bits ignored", plain(0, 0, 2, 2, 0, 0xFD), {full}, {0, 100, 200, 50}},
        {"no mask channel", plain(0, 0, 2, 2, 0, 0), {}, {200, 200, 200, 200}},
        {"record too short for a mask", Bytes(10, 0), {full}, {200, 200, 200, 200}},
        {"inverted rectangle: the default colour everywhere", plain(2, 2, 0, 0, 128, 0), {corner}, {100, 100, 100, 100}},
        {"empty rectangle", plain(1, 1, 1, 1, 255, 0), {rawChannel(-2, {})}, {200, 200, 200, 200}},
        {"as last applied, with its channel", withReal(0, 255, 0, 1, 1, 2), {full, real}, {200, 39, 200, 200}},
        {"as last applied, without its channel", withReal(0, 255, 0, 1, 1, 2), {full}, {0, 100, 200, 50}},
        {"as last applied, disabled: no mask at all", withReal(2, 0, 0, 1, 1, 2), {full, real}, {200, 200, 200, 200}},
        {"as last applied, but the record ends before it", plain(0, 0, 2, 2, 0, 0), {full, real}, {0, 100, 200, 50}},
        {"mask channel that does not decode", plain(0, 0, 2, 2, 0, 0), {TestChannel{-2, 7, {1}, {}}}, {}, false,
         "layer 1: channel -2, compression method 7 is not supported"},
        {"mask row that does not unpack", plain(0, 0, 2, 2, 0, 0),
         {TestChannel{-2, 1, packedRows({{0x05, 1}, {0x05, 1}}), {}}}, {}, false},
        {"mask record longer than the file", [] { Bytes b; put32(b, 0); return b; }(), {}, {}, false,
         "layer record 1: the layer mask data runs past the end of the file"},
        // Density 128: m' = 255 - (128 x (255 - m) + 127) / 255.
        {"density", withParams(0, {0x01, 128}), {full}, {100, 150, 200, 125}},
        // Feather 1: boxes of 1, 1 and 3 pixels, rows then columns, edges repeated: 92 99 / 142 114.
        {"feather", withParams(0, concat({{0x02}, feather(1.0)})), {full}, {72, 78, 111, 89}},
        {"feather, then density", withParams(0, concat({{0x03, 128}, feather(1.0)})), {full}, {136, 139, 155, 144}},
        {"feather that is not a number", withParams(0, concat({{0x02}, feather(std::nan(""))})), {full}, {0, 100, 200, 50}},
        {"parameters after the mask as last applied", realWithParams, {full, real}, {200, 119, 200, 200}},
        {"parameters cut short by the record", withParams(0, {0x02, 0x3F, 0xF0, 0, 0}), {full}, {0, 100, 200, 50}},
        {"vector mask", {}, {}, {200, 0, 200, 0}, true, "", leftColumn},
        {"vector mask in a vsms block", {}, {}, {200, 0, 200, 0}, true, "", vectorMaskBlock(0, false, {left}, "vsms")},
        {"vector mask inverted", {}, {}, {0, 200, 0, 200}, true, "", vectorMaskBlock(1, false, {left})},
        {"vector mask disabled", {}, {}, {200, 200, 200, 200}, true, "", vectorMaskBlock(4, false, {left})},
        {"vector mask times the user mask", plain(0, 0, 2, 2, 0, 0), {full}, {0, 0, 200, 0}, true, "", leftColumn},
        {"user mask rendered from the vector mask", plain(0, 0, 2, 2, 0, 8), {full}, {200, 0, 200, 0}, true, "", leftColumn},
        {"a fill layer's pixels are its shape already", {}, {}, {200, 200, 200, 200}, true, "",
         concat({leftColumn, infoBlock("SoCo", {0, 0, 0, 16})})},
        {"vector density", withParams(0, {0x04, 128}), {}, {200, 100, 200, 100}, true, "", leftColumn},
        // Its pixels lack the density's spread: drawn again, opaque in its first pixel's colour.
        {"a solid fill's vector density", withParams(0, {0x04, 128}), {}, {255, 127, 255, 127}, true, "",
         concat({leftColumn, infoBlock("SoCo", {0, 0, 0, 16})}), 10},
        {"a gradient fill's vector density: its pixels", withParams(0, {0x04, 128}), {}, {200, 200, 200, 200}, true, "",
         concat({leftColumn, infoBlock("GdFl", {0, 0, 0, 16})})},
        {"vector feather", withParams(0, concat({{0x08}, feather(1.0)})), {}, {133, 67, 133, 67}, true, "", leftColumn},
        {"union, then subtract", {}, {}, {0, 0, 200, 0}, true, "", vectorMaskBlock(0, false, {left, withOp(top, 2)})},
        {"union, then exclude", {}, {}, {0, 200, 200, 0}, true, "", vectorMaskBlock(0, false, {left, withOp(top, 0)})},
        {"union, then intersect", {}, {}, {200, 0, 0, 0}, true, "", vectorMaskBlock(0, false, {left, withOp(top, 3)})},
        {"subtract first: from everything", {}, {}, {0, 0, 200, 200}, true, "", vectorMaskBlock(0, false, {withOp(top, 2)})},
        {"a subpath of the one before: even-odd", {}, {}, {0, 0, 200, 0}, true, "",
         vectorMaskBlock(0, false, {left, {-1, {{0, 0}, {0.5, 0}, {0.5, 0.5}, {0, 0.5}}}})},
        {"starts filled, no subpaths", {}, {}, {200, 200, 200, 200}, true, "", vectorMaskBlock(0, true, {})},
        {"starts filled, then intersect: the shapes decide", {}, {}, {200, 0, 0, 0}, true, "",
         vectorMaskBlock(0, true, {withOp(left, 3), withOp(top, 3)})},
        {"starts filled, then union: the shape", {}, {}, {200, 0, 200, 0}, true, "", vectorMaskBlock(0, true, {left})},
        {"starts empty, no subpaths", {}, {}, {0, 0, 0, 0}, true, "", vectorMaskBlock(0, false, {})},
        {"vector mask of another version: none", {}, {}, {200, 200, 200, 200}, true, "",
         [&] { Bytes b = leftColumn; b[12 + 3] = 2; return b; }()},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        TestLayer layer = opaqueLayer();
        layer.channels[0] = rawChannel(-1, Bytes(4, 200));
        layer.mask = c.record;
        layer.additional = c.additional;
        for (const TestChannel& mask : c.masks) layer.channels.insert(layer.channels.begin() + 1, mask);
        psd.layers = {layer, opaqueLayer("after")};
        Bytes bytes = psd.build();
        if (std::string(c.what) == "mask record longer than the file") {
            // The mask length field of the first record made huge.
            const size_t at = 26 + 4 + 4 + 4 + 4 + 2 + 18 + 6 * 4 + 16;
            bytes[at] = 0x7F;
        }
        // A budget of the layers, the mask plane and a little less than the read-ahead would take
        // for the larger layer's channels: it must leave the plane its room.
        uint64_t stored = 0;
        for (const TestLayer& l : psd.layers) {
            uint64_t bytesOfLayer = 0;
            for (const TestChannel& channel : l.channels)
                bytesOfLayer += channel.declaredLength.value_or(2 + static_cast<uint32_t>(channel.payload.size()));
            stored = std::max(stored, bytesOfLayer);
        }
        // A vector mask is drawn in two planes more, from its path, held from its record on.
        const uint64_t planes = c.additional.empty() ? 1 : 3;
        uint64_t path = 0;
        for (size_t at = 0; at + 12 <= c.additional.size(); at += 12 + psd::load32(c.additional.data() + at + 8)) {
            const std::string key(c.additional.begin() + at + 4, c.additional.begin() + at + 8);
            if (key == "vmsk" || key == "vsms") path += psd::load32(c.additional.data() + at + 8);
        }
        for (const MemoryBudget& budget :
             {MemoryBudget(), MemoryBudget(2 * 16 + 4 * planes + path + stored - 2, "a tight one")}) {
            ReadResult r;
            readBytes(bytes, r, budget);
            ASSERT_EQ(r.ok, c.ok) << c.what << ", " << budget.name() << ": " << r.reason;
            if (*c.reason != 0) {
                EXPECT_EQ(r.reason, c.reason) << c.what;
            }
            if (!c.ok) continue;
            ASSERT_EQ(r.layers.size(), 2u) << c.what;
            const Layer& l = *r.layers[0];
            EXPECT_EQ((std::vector<int>{pixel(l, 0, 0)[3], pixel(l, 1, 0)[3], pixel(l, 0, 1)[3], pixel(l, 1, 1)[3]}),
                      c.alpha)
                << c.what;
            EXPECT_EQ(pixel(l, 1, 1)[2], c.red) << c.what;
            EXPECT_EQ(pixel(*r.layers[1], 1, 1), (std::vector<int>{33, 23, 13, 255})) << c.what;
        }
    }
}

// A vector mask's path is held from its record until its layer is baked: it counts against the budget.
TEST(PsdReaderTest, VectorMaskPathsAreHeldWithinTheBudget) {
    TestPsd psd;
    TestLayer layer = opaqueLayer();
    layer.additional = vectorMaskBlock(0, false, std::vector<TestSubpath>(400, {0, {{0, 0}, {0.5, 0}, {0.5, 0.5}}}));
    psd.layers = {layer};
    for (const MemoryBudget& budget : {MemoryBudget(), MemoryBudget(4000, "a small one")}) {
        ReadResult r;
        readBytes(psd.build(), r, budget);
        EXPECT_EQ(r.ok, budget.limit() > 4000) << r.reason;
        if (!r.ok) {
            EXPECT_EQ(r.reason.rfind("layer record 1: its vector mask need ", 0), 0u) << r.reason;
        }
    }
}

TEST(PsdReaderTest, ChannelsOtherThanColourAndTransparencyAreSkippedUndecoded) {
    TestPsd psd;
    TestLayer layer = opaqueLayer();
    // A disabled mask whose own rectangle is empty: its rows would not unpack to it.
    layer.mask = Bytes(20, 0);
    layer.mask[17] = 2;
    layer.channels.insert(layer.channels.begin() + 1,
                          TestChannel{-2, 1, packedRows({literalRow({1, 2, 3})}), {}});
    // An unknown channel with a compression code that would fail if it were decoded.
    layer.channels.push_back(TestChannel{7, 9, {1, 2, 3}, {}});
    // Declared length 0: skipped without moving, so the next channel is read from the same place.
    layer.channels.push_back(TestChannel{0, 0, {}, 0u});
    psd.layers = {layer, opaqueLayer("after")};
    ReadResult r;
    readBytes(psd.build(), r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 2u);
    EXPECT_EQ(pixel(*r.layers[0], 1, 0), (std::vector<int>{31, 21, 11, 255}));
    EXPECT_EQ(r.layers[1]->name, "after");
    EXPECT_EQ(pixel(*r.layers[1], 0, 1), (std::vector<int>{32, 22, 12, 255}));
}

TEST(PsdReaderTest, InvertedRectangleKeepsTheLayerWithoutPixels) {
    struct Case {
        const char* what;
        uint16_t mode, channels;
        int32_t top, left, bottom, right;
        std::vector<int> next;  // pixel (1, 0) of the layer after it
    };
    // A grayscale document's colours go through the converter, which takes the layer's channel 0
    // only: the others are skipped.
    const Case cases[] = {
        {"RGB, rows inverted", 3, 3, 2, 0, 0, 2, {31, 21, 11, 255}},
        {"RGB, columns inverted", 3, 3, 0, 2, 2, 0, {31, 21, 11, 255}},
        {"grayscale, rows inverted", 1, 1, 2, 0, 0, 2, {11, 11, 11, 255}},
        {"grayscale, columns inverted", 1, 1, 0, 2, 2, 0, {11, 11, 11, 255}},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.mode = c.mode;
        psd.channels = c.channels;
        TestLayer inverted;
        inverted.top = c.top;
        inverted.left = c.left;
        inverted.bottom = c.bottom;
        inverted.right = c.right;
        inverted.name = "inv";
        inverted.key = "scrn";
        inverted.channels = {TestChannel{-1, 1, {0xFF, 0xFF}, {}}, rawChannel(0, {1, 2, 3})};
        psd.layers = {inverted, opaqueLayer("next")};
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << c.what << ": " << r.reason;
        ASSERT_EQ(r.layers.size(), 2u) << c.what;
        EXPECT_EQ(r.layers[0]->name, "inv") << c.what;
        EXPECT_EQ(r.layers[0]->blendMode, blend::Screen) << c.what;
        for (uint8_t b : r.layers[0]->pixels) ASSERT_EQ(b, 0) << c.what;
        EXPECT_EQ(pixel(*r.layers[1], 1, 0), c.next) << c.what;
    }
}

// Channels are read in bands of rows: up to 4 MB of them when the memory budget has room, one row
// of each when it has none. Layers and the merged image, raw and packed, give the same pixels
// every way, and the budget holds only the layers once the read is over.
TEST(PsdReaderTest, ChannelsReadInBandsAsLargeAsTheBudgetAllowsGiveTheSamePixels) {
    struct Case {
        uint32_t side;
        bool layered;  // else the merged image of a file without layers
        uint16_t compression;
    };
    const Case cases[] = {
        {1200, true, 0},  // four channels of 1.4 MB: more than one band holds
        {300, true, 1},
        {300, false, 0},
        {300, false, 1},
    };
    for (const Case& c : cases) {
        const size_t plane = size_t{c.side} * c.side;
        // Plane k: runs and noise, different in every plane.
        std::vector<Bytes> planes(4, Bytes(plane));
        for (size_t k = 0; k < planes.size(); ++k) {
            for (size_t i = 0; i < plane; ++i)
                planes[k][i] = static_cast<uint8_t>(i % 11 < 5 ? k * 60 + i / c.side : i * 7 + i / c.side * 13 + k * 50);
        }
        std::vector<Bytes> stored;
        for (const Bytes& p : planes) {
            if (c.compression == 0) {
                stored.push_back(p);
                continue;
            }
            std::vector<Bytes> rows;
            for (size_t y = 0; y < c.side; ++y) {
                Bytes row(static_cast<size_t>(packBitsMaxLength(c.side)));
                row.resize(static_cast<size_t>(
                    packBitsEncode(p.data() + y * c.side, static_cast<int32_t>(c.side), row.data())));
                rows.push_back(row);
            }
            stored.push_back(packedRows(rows));
        }
        TestPsd psd;
        psd.width = psd.height = c.side;
        // A layer: transparency, red, green, blue. The merged image: red, green, blue, an alpha channel.
        std::vector<Bytes> expected(2, Bytes(plane * 4, 0));
        const int16_t ids[] = {-1, 0, 1, 2};
        for (size_t k = 0; k < planes.size(); ++k) {
            const uint32_t id = c.layered ? static_cast<uint16_t>(ids[k]) : static_cast<uint32_t>(k);
            const int byte = !c.layered && k == 3 ? 3 : psd::pixelByteForChannel(id);
            Bytes& into = expected[!c.layered && k == 3];
            for (size_t i = 0; i < plane; ++i) into[i * 4 + static_cast<size_t>(byte)] = planes[k][i];
        }
        if (c.layered) {
            TestLayer layer;
            layer.bottom = layer.right = static_cast<int32_t>(c.side);
            for (size_t k = 0; k < planes.size(); ++k) layer.channels.push_back({ids[k], c.compression, stored[k], {}});
            psd.layers = {layer};
        } else {
            for (size_t i = 0; i < plane; ++i) expected[0][i * 4 + 3] = 255;
            psd.channels = 4;
            put16(psd.merged, c.compression);
            if (c.compression == 1) {  // every channel's row counts first, then every channel's rows
                for (const Bytes& s : stored) psd.merged.insert(psd.merged.end(), s.begin(), s.begin() + 2 * c.side);
                for (const Bytes& s : stored) psd.merged.insert(psd.merged.end(), s.begin() + 2 * c.side, s.end());
            } else {
                for (const Bytes& s : stored) putBytes(psd.merged, s);
            }
        }
        const Bytes bytes = psd.build();
        const uint64_t layerBytes = (c.layered ? 1 : 2) * plane * 4;
        for (const MemoryBudget& budget : {MemoryBudget(), MemoryBudget(layerBytes, "no room for a band")}) {
            SCOPED_TRACE(std::to_string(c.side) + (c.layered ? ", layer" : ", merged image") + ", compression " +
                         std::to_string(c.compression) + ", " + budget.name());
            ReadResult r;
            readBytes(bytes, r, budget);
            ASSERT_TRUE(r.ok) << r.reason;
            EXPECT_EQ(r.budgetUsed, layerBytes) << "the batch's room goes back to the budget once the read is over";
            ASSERT_EQ(r.layers.size(), 1u);
            EXPECT_TRUE(r.layers[0]->pixels == PixelBytes(expected[0].begin(), expected[0].end()));
            if (!c.layered) {
                ASSERT_EQ(r.alphaChannels.size(), 1u);
                EXPECT_TRUE(r.alphaChannels[0]->pixels == PixelBytes(expected[1].begin(), expected[1].end()));
            }
        }
    }
}

TEST(PsdReaderTest, PackedLayerChannelsAndTheirFailures) {
    struct Case {
        const char* what;
        uint16_t compression;
        Bytes payload;
        const char* reason;  // empty when the file reads
        std::vector<TestChannel> after = {};  // channels behind channel 0
        int32_t bottom = 2;                   // of the layer's rectangle
        uint16_t mode = 3;                    // grayscale (1) converts its rows, decoding colours last
    };
    // Rows unpack in bands on several threads: the failure reported is still the first in the file.
    const Bytes goodRow = literalRow({10, 11}), badRow{0x01, 10};
    const Bytes rows{10, 11, 12, 13}, damaged{0x78, 0x9C, 0xFF, 0xFF, 0xFF};
    const Case cases[] = {
        {"two packed rows", 1, packedRows({literalRow({10, 11}), {0xFF, 12}}), ""},
        {"no-op header 0x80 before a literal", 1, packedRows({{0x80, 0x01, 10, 11}, {0xFF, 12}}), ""},
        {"ZIP", 2, zipRows(rows, 2, false), ""},
        {"ZIP with prediction", 3, zipRows(rows, 2, true), ""},
        {"compression code 4", 4, {0, 0, 0, 0}, "layer 1: channel 0, compression method 4 is not supported"},
        {"damaged ZIP", 2, damaged, "layer 1: channel 0, the ZIP data is damaged"},
        {"ZIP one byte short", 3, zipRows({10, 11, 12}, 2, true),
         "layer 1: channel 0, the ZIP data does not inflate to exactly 4 bytes"},
        {"ZIP too short to inflate to its rows, refused before they are made", 2, Bytes(8, 0),
         "layer 1: channel 0, 8 compressed bytes cannot inflate to 2000000 rows of 2", {}, 2000000},
        {"a bad packed row before a later channel's damaged ZIP", 1, packedRows({goodRow, badRow}),
         "layer 1: channel 0, row 2: packed row of 2 bytes does not unpack to 2", {TestChannel{1, 2, damaged, {}}}},
        {"a damaged ZIP before a later channel's bad packed row", 2, damaged,
         "layer 1: channel 0, the ZIP data is damaged", {TestChannel{1, 1, packedRows({badRow, goodRow}), {}}}},
        {"row overruns its columns", 1, packedRows({literalRow({10, 11, 12}), {0xFF, 12}}),
         "layer 1: channel 0, row 1: packed row of 4 bytes does not unpack to 2"},
        {"row ends early", 1, packedRows({{0x01, 10}, {0xFF, 12}}),
         "layer 1: channel 0, row 1: packed row of 2 bytes does not unpack to 2"},
        {"row counts promise more bytes than the file holds", 1, {0xFF, 0xFF},
         "layer 1: channel 0, the packed rows run past the end of the file"},
        {"a later row of an earlier channel before an earlier row of a later one", 1, packedRows({goodRow, badRow}),
         "layer 1: channel 0, row 2: packed row of 2 bytes does not unpack to 2",
         {TestChannel{1, 1, packedRows({badRow, goodRow}), {}}}},
        {"a bad row before a later channel's unknown compression", 1, packedRows({badRow, goodRow}),
         "layer 1: channel 0, row 1: packed row of 2 bytes does not unpack to 2", {TestChannel{1, 5, {0, 0}, {}}}},
        {"a later channel's bad row", 1, packedRows({goodRow, goodRow}),
         "layer 1: channel 2, row 2: packed row of 2 bytes does not unpack to 2",
         {rawChannel(1, {1, 2, 3, 4}), TestChannel{2, 1, packedRows({goodRow, badRow}), {}}}},
        {"converted: a bad grey row before the transparency's", 1, packedRows({goodRow, badRow}),
         "layer 1: channel 0, row 2: packed row of 2 bytes does not unpack to 2",
         {TestChannel{-1, 1, packedRows({badRow, goodRow}), {}}}, 2, 1},
        {"converted: grey rows", 1, packedRows({literalRow({10, 11}), {0xFF, 12}}), "", {}, 2, 1},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.width = 2;
        psd.height = 2;
        psd.mode = c.mode;
        psd.channels = c.mode == 1 ? 1 : 3;
        TestLayer layer;
        layer.bottom = c.bottom;
        layer.right = 2;
        layer.channels = {TestChannel{0, c.compression, c.payload, {}}};
        layer.channels.insert(layer.channels.end(), c.after.begin(), c.after.end());
        psd.layers = {layer};
        ReadResult r;
        readBytes(psd.build(), r);
        EXPECT_EQ(r.ok, *c.reason == 0) << c.what;
        EXPECT_EQ(r.reason, c.reason) << c.what;
        if (r.ok) {
            ASSERT_EQ(r.layers.size(), 1u);
            EXPECT_EQ(pixel(*r.layers[0], 1, 0)[2], 11) << c.what;
            EXPECT_EQ(pixel(*r.layers[0], 0, 1)[2], 12) << c.what;
        }
    }
}

TEST(PsdReaderTest, MergedImageFailures) {
    struct Case {
        const char* what;
        Bytes merged;
    };
    const Case cases[] = {
        {"no compression code", {}},
        {"compression code 4", {0, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"damaged ZIP", {0, 2, 0x78, 0x9C, 0xFF, 0xFF, 0xFF}},
        {"ZIP of one byte short", [] {
             Bytes b{0, 3};
             putBytes(b, zipRows(Bytes(11, 7), 2, true));
             return b;
         }()},
        {"raw planes short", {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"row table short", {0, 1, 0, 1, 0, 1}},
        {"packed row does not unpack", [] {
             Bytes b{0, 1};
             putBytes(b, packedRows({{0x00, 1}, {0xFF, 1}, {0xFF, 1}, {0xFF, 1}, {0xFF, 1}, {0xFF, 1}}));
             return b;
         }()},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.merged = c.merged;
        ReadResult r;
        readBytes(psd.build(), r);
        EXPECT_FALSE(r.ok) << c.what;
    }
}

TEST(PsdReaderTest, ResolutionAndResourceWalk) {
    struct Case {
        const char* what;
        Bytes resources;
        int32_t resolution;
        size_t alphaNames;
    };
    const Bytes res300 = resourceBlock(1005, resolutionData(300u << 16));
    const Bytes res72half = resourceBlock(1005, resolutionData(72u << 16 | 0x8000));
    Bytes overrunning;
    putText(overrunning, "8BIM");
    put16(overrunning, 1005);
    put16(overrunning, 0);
    put32(overrunning, 1000);  // data beyond the section
    putBytes(overrunning, resolutionData(150u << 16));
    const Case cases[] = {
        {"300 dpi", res300, 300, 0},
        {"72.5 dpi rounds to 73", res72half, 73, 0},
        {"named block before it, odd data padded", [&] {
             Bytes b = resourceBlock(1000, {1, 2, 3}, "named");
             putBytes(b, resourceBlock(1001, {4}, "x"));
             putBytes(b, res300);
             return b;
         }(), 300, 0},
        {"overrunning block ends the walk, keeping what was read", [&] {
             Bytes b = res72half;
             putBytes(b, overrunning);
             return b;
         }(), 73, 0},
        {"truncated block head ends the walk", [&] {
             Bytes b = res300;
             putBytes(b, {'8', 'B', 'I', 'M', 0x03});
             return b;
         }(), 300, 0},
        {"alpha names with the writer's zero pad give one more empty name", [&] {
             Bytes d = alphaNamesData({"a", "bb"});
             d.push_back(0);
             Bytes b = resourceBlock(1006, d);
             putBytes(b, res300);
             return b;
         }(), 300, 3},
        {"alpha name running past the block stops the names", resourceBlock(1006, {1, 'a', 5, 'b'}), 72, 1},
        {"resolution block too short to hold one, last in the section", resourceBlock(1005, {0, 0x2C}), 72, 0},
    };
    for (const Case& c : cases) {
        TestPsd psd;
        psd.channels = 3 + static_cast<uint16_t>(c.alphaNames);
        psd.resources = c.resources;
        std::vector<Bytes> planes(psd.channels, Bytes(4, 9));
        psd.merged = rawMerged(planes);
        ReadResult r;
        readBytes(psd.build(), r);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(r.doc.resolution, c.resolution) << c.what;
        if (c.alphaNames == 3) {
            ASSERT_EQ(r.alphaChannels.size(), 3u);
            EXPECT_EQ(r.alphaChannels[0]->name, "a");
            EXPECT_EQ(r.alphaChannels[1]->name, "bb");
            EXPECT_EQ(r.alphaChannels[2]->name, "");
        }
        if (c.alphaNames == 1) {
            ASSERT_EQ(r.alphaChannels.size(), 1u);
            EXPECT_EQ(r.alphaChannels[0]->name, "a");
        }
    }
}

TEST(PsdReaderTest, LayerInfoLengthZeroReadsTheGlobalMaskLengthAsNoLayers) {
    TestPsd psd;
    Bytes bytes = psd.build();
    // Replace the empty layer section by one with a zero layer info length and a zero global mask length.
    bytes.resize(bytes.size() - 4);
    put32(bytes, 8);
    put32(bytes, 0);
    put32(bytes, 0);
    putBytes(bytes, rawMerged({{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}}));
    ReadResult r;
    readBytes(bytes, r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.layers.size(), 1u);
    EXPECT_EQ(r.layers[0]->name, kBackground);
    EXPECT_EQ(pixel(*r.layers[0], 1, 1), (std::vector<int>{3, 2, 1, 255}));
}

TEST(PsdReaderTest, BillionsOfEmptyRowsAreNoWork) {
    TestPsd tall;
    tall.width = 0;
    tall.height = INT32_MAX;
    tall.merged = rawMerged({});
    ReadResult r1;
    readBytes(tall.build(), r1);
    EXPECT_TRUE(r1.ok);
    EXPECT_EQ(r1.layers.size(), 1u);

    TestPsd psd;
    TestLayer thin;
    thin.top = INT32_MIN;
    thin.bottom = INT32_MAX;
    thin.channels = {rawChannel(0, {}), rawChannel(-1, {})};
    psd.layers = {thin};
    ReadResult r2;
    readBytes(psd.build(), r2);
    EXPECT_TRUE(r2.ok);
    EXPECT_EQ(r2.layers.size(), 1u);
}

TEST(PsdReaderTest, ReadPsdFileClearsLayersOnFailure) {
    LayerTempList layers;
    LayerTempList alphaChannels;
    DocumentInfo doc;
    layers.add(new Layer);
    EXPECT_FALSE(readPsdFile("/nonexistent/dir/x.psd", layers, alphaChannels, doc));
    EXPECT_TRUE(layers.empty());

    // A failure after the first layer was made leaves nothing behind either.
    TestPsd psd;
    psd.layers = {opaqueLayer(), opaqueLayer()};
    psd.layers[1].channels[0].compression = 5;
    const Bytes bytes = psd.build();
    const std::string path = testing::TempDir() + "psd_reader_partial.psd";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    EXPECT_FALSE(readPsdFile(path, layers, alphaChannels, doc));
    EXPECT_TRUE(layers.empty());
    psd.layers[1].channels[0].compression = 0;
    const Bytes good = psd.build();
    out = std::fopen(path.c_str(), "wb");
    std::fwrite(good.data(), 1, good.size(), out);
    std::fclose(out);
    EXPECT_TRUE(readPsdFile(path, layers, alphaChannels, doc));
    EXPECT_EQ(layers.size(), 2u);
    std::remove(path.c_str());
}


// Documents of every colour mode, depth, compression and version (the fuzz targets' seeds), each
// converted to 8-bit blue, green, red, alpha as the rules say.
TEST(PsdReaderTest, EveryModeDepthCompressionAndVersionGivesItsPixels) {
    for (const psdsamples::Sample& s : psdsamples::samples()) {
        ReadResult r;
        readBytes(s.psd.build(), r);
        EXPECT_TRUE(r.ok) << s.what << ": " << r.reason;
        EXPECT_EQ(r.layers.size(), 1u) << s.what;
        if (!r.ok || r.layers.size() != 1) continue;
        const Layer& layer = *r.layers[0];
        EXPECT_EQ(pixel(layer, 0, 0), s.first) << s.what;
        EXPECT_EQ(pixel(layer, layer.width - 1, layer.height - 1), s.last) << s.what;
        if (!s.name.empty()) {
            EXPECT_EQ(layer.name, s.name) << s.what;
        }
    }
}

}  // namespace
