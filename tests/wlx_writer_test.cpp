#include <gtest/gtest.h>

#include "formats/wlx/LayerCompressor.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "support/TestFiles.h"
#include "wlx_test_support.h"

namespace {

using wlxtest::Bytes;

Layer* makeLayer(int32_t w, int32_t h, const std::string& name, BlendMode mode, int32_t opacity, uint8_t visible,
                 uint8_t seed = 0) {
    auto* layer = new Layer;
    layer->resize(w, h, mode);
    layer->name = name;
    layer->opacity = opacity;
    layer->visible = visible;
    const Bytes pattern = wlxtest::patternPixels(static_cast<uint32_t>(w), static_cast<uint32_t>(h), seed);
    layer->pixels.assign(pattern.begin(), pattern.end());
    return layer;
}

Bytes write(const LayerTempList& layers, const DocumentInfo& doc, bool expectOk = true) {
    wlxtest::Stream out;
    EXPECT_EQ(writeWlx(out.get(), layers, doc), expectOk);
    return out.contents();
}

bool readBack(const Bytes& file, LayerTempList& layers, DocumentInfo& doc) {
    wlxtest::Stream in(file);
    return readWlx(in.get(), layers, doc);
}

constexpr size_t kHeadSize = 34, kRecordSize = 39;

TEST(WlxWriterTest, BytesEqualTheModelEncodedFieldByField) {
    DocumentInfo doc{5, 3, 350};
    LayerTempList layers;
    layers.add(makeLayer(5, 3, "Background", blend::Normal, 100, 1, 11));
    layers.add(makeLayer(5, 3, "\x89\x65", blend::SoftLight, 37, 0, 22));  // CP932 shadow
    layers.add(makeLayer(5, 3, "x", blend::Luminosity, 2, 1, 33));
    layers[1]->alphaLocked = layers[2]->clipping = 1;  // neither has a place in the file

    Bytes expected = wlxtest::documentHead(5, 3, 3);
    const struct {
        std::string name;
        uint8_t code, opacity, flags;
    } fields[] = {{"Background", 0, 128, 1}, {"\x89\x65", 6, 47, 0}, {"x", 0, 3, 1}};
    for (size_t i = 0; i < 3; ++i) {
        const Bytes stored = wlxtest::flipRows(layers[i]->pixels, 5, 3);
        wlxtest::appendLayer(expected, fields[i].name, fields[i].code, fields[i].opacity, fields[i].flags,
                             wlxtest::libdeflateLevel6(stored));
    }
    EXPECT_EQ(write(layers, doc), expected);
}

TEST(WlxWriterTest, AnEmptyListGivesThe34ByteFile) {
    LayerTempList layers;
    EXPECT_EQ(write(layers, DocumentInfo{300, 200, 72}), wlxtest::documentHead(300, 200, 0));
}

TEST(WlxWriterTest, NamesAreCutTo31BytesBetweenCharacters) {
    const std::string cp932Run = "\x83\x8C\x83\x43\x83\x84\x81\x5B\x83\x8C\x83\x43\x83\x84\x81\x5B"
                                 "\x83\x8C\x83\x43\x83\x84\x81\x5B\x83\x8C\x83\x43\x83\x84\x81\x5B";
    std::string equalsRun;  // 16 x the full-width '=' 81 81: its trail byte is also a lead byte
    for (int i = 0; i < 16; ++i) equalsRun += "\x81\x81";
    const struct {
        std::string name;
        std::string stored;
    } rows[] = {
        {std::string(31, 'n'), std::string(31, 'n')},
        {std::string(32, 'm'), std::string(31, 'm')},
        {cp932Run, cp932Run.substr(0, 30)},  // 16 characters keep 15, not 15 and half of one
        {"a" + cp932Run, "a" + cp932Run.substr(0, 30)},
        {"a" + equalsRun, "a" + equalsRun.substr(0, 30)},
        {"\xb1" + equalsRun, "\xb1" + equalsRun.substr(0, 30)},  // a half-width katakana is one byte
        {equalsRun + "a", equalsRun.substr(0, 30)},
        {"ab" + equalsRun, "ab" + equalsRun.substr(0, 28)},
        {cp932Run.substr(0, 30) + "\x83", cp932Run.substr(0, 30) + "\x83"},  // not cut: kept as it is
    };
    for (const auto& row : rows) {
        LayerTempList layers;
        layers.add(makeLayer(1, 1, row.name, blend::Normal, 100, 1));
        const Bytes file = write(layers, DocumentInfo{1, 1, 72});
        ASSERT_GE(file.size(), kHeadSize + kRecordSize);
        const std::string field(file.begin() + kHeadSize, file.begin() + kHeadSize + 32);
        EXPECT_EQ(field, row.stored + std::string(32 - row.stored.size(), '\0')) << row.name.size();

        LayerTempList back;
        DocumentInfo doc;
        ASSERT_TRUE(readBack(file, back, doc));
        EXPECT_EQ(back[0]->name, row.stored);
    }
}

TEST(WlxWriterTest, BlendModesWrittenAsCodesAndReadBack) {
    const struct {
        BlendMode mode;
        uint8_t code;
        BlendMode readBack;
    } rows[] = {
        {blend::Normal, 0, blend::Normal},           {blend::NormalAlt, 0, blend::Normal},
        {blend::Multiply, 1, blend::Multiply},       {blend::MultiplyAlt, 1, blend::Multiply},
        {blend::Screen, 4, blend::Screen},           {blend::Overlay, 5, blend::Overlay},
        {blend::HardLight, 7, blend::HardLight},     {blend::SoftLight, 6, blend::SoftLight},
        {blend::VividLight, 11, blend::VividLight},  {blend::LinearLight, 12, blend::LinearLight},
        {blend::PinLight, 13, blend::PinLight},      {blend::ColorDodge, 8, blend::ColorDodge},
        {blend::ColorBurn, 9, blend::ColorBurn},     {blend::LinearDodge, 2, blend::LinearDodge},
        {blend::LinearBurn, 10, blend::LinearBurn},  {blend::Darken, 0, blend::Normal},
        {blend::Lighten, 0, blend::Normal},          {blend::Difference, 14, blend::Difference},
        {blend::Exclusion, 0, blend::Normal},        {blend::Hue, 0, blend::Normal},
        {blend::Saturation, 0, blend::Normal},       {blend::Color, 0, blend::Normal},
        {blend::Luminosity, 0, blend::Normal},       {blend::AlphaChannel, 0, blend::Normal},
        {-1, 0, blend::Normal},                      {1000, 0, blend::Normal},
    };
    LayerTempList layers;
    for (const auto& row : rows) layers.add(makeLayer(1, 1, "b", row.mode, 100, 1));
    const Bytes file = write(layers, DocumentInfo{1, 1, 72});
    LayerTempList back;
    DocumentInfo doc;
    ASSERT_TRUE(readBack(file, back, doc));
    ASSERT_EQ(back.size(), std::size(rows));

    const size_t record = (file.size() - kHeadSize) / std::size(rows);  // identical pixels, one record size
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(file[kHeadSize + i * record + 32], rows[i].code) << "mode " << rows[i].mode;
        EXPECT_EQ(back[i]->blendMode, rows[i].readBack) << "mode " << rows[i].mode;
    }
}

TEST(WlxWriterTest, OpacityBytesAndEveryPercentageSurvivesWriteThenRead) {
    // Out-of-range percentages only come from odd files; they keep the low 8 bits.
    const std::pair<int32_t, uint8_t> bytes[] = {{1, 1}, {2, 3}, {50, 64}, {99, 127}, {100, 128},
                                                 {199, 255}, {200, 0}, {-1, 0}, {-100, 0x81}};
    LayerTempList layers;
    for (int32_t percent = 0; percent <= 100; ++percent) layers.add(makeLayer(1, 1, "", 0, percent, 1));
    for (auto [percent, byte] : bytes) layers.add(makeLayer(1, 1, "", 0, percent, 1));
    const Bytes file = write(layers, DocumentInfo{1, 1, 72});
    const size_t record = (file.size() - kHeadSize) / layers.size();
    for (size_t i = 0; i < std::size(bytes); ++i)
        EXPECT_EQ(file[kHeadSize + (101 + i) * record + 33], bytes[i].second) << bytes[i].first;
    LayerTempList back;
    DocumentInfo doc;
    ASSERT_TRUE(readBack(file, back, doc));
    for (int32_t percent = 0; percent <= 100; ++percent) EXPECT_EQ(back[percent]->opacity, percent);
    EXPECT_EQ(back[101 + 5]->opacity, 199) << "byte 255 reads unclamped";
}

TEST(WlxWriterTest, OpacityByte2ReadsAs2PercentAndIsWrittenBackAs3) {
    Bytes file = wlxtest::documentHead(1, 1, 1);
    wlxtest::appendLayer(file, "", 0, 2, 1, wlxtest::zlibDefault(Bytes(4, 0)));
    LayerTempList layers;
    DocumentInfo doc;
    ASSERT_TRUE(readBack(file, layers, doc));
    EXPECT_EQ(layers[0]->opacity, 2);
    EXPECT_EQ(write(layers, doc)[kHeadSize + 33], 3);
}

TEST(WlxWriterTest, DocumentsTheFormatCannotHoldAreRefusedBeforeWriting) {
    // The largest count still fits; one more does not.
    LayerTempList tooMany;
    for (int i = 0; i < 65535; ++i) tooMany.add(makeLayer(0, 0, "", 0, 100, 1));
    const size_t emptyBlock = wlxtest::libdeflateLevel6({}).size();
    EXPECT_EQ(write(tooMany, DocumentInfo{0, 0, 72}).size(), kHeadSize + 65535 * (kRecordSize + emptyBlock));
    tooMany.add(makeLayer(0, 0, "", 0, 100, 1));
    LayerTempList none;
    LayerTempList small;
    small.add(makeLayer(1, 2, "", 0, 100, 1));

    const struct {
        const char* what;
        const LayerTempList& layers;
        DocumentInfo doc;
    } cases[] = {
        {"65536 layers", tooMany, {0, 0, 72}},
        {"width 65536", none, {65536, 1, 72}},
        {"height 65536", none, {1, 65536, 72}},
        {"negative width", none, {-1, 1, 72}},
        {"layer smaller than the canvas", small, {2, 2, 72}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(write(c.layers, c.doc, false).empty()) << c.what;
    }
    EXPECT_EQ(write(none, DocumentInfo{65535, 65535, 72}), wlxtest::documentHead(65535, 65535, 0));
}

// The stage between the PSD reader and this writer, fed as the reader feeds it (each layer in
// storage the stage gave back): with any number of threads the blocks are the plain writer's
// bytes, and the layers give their storage up. Blocks that pass the budget, or a document the
// format cannot hold, fail the write before anything is written.
TEST(WlxWriterTest, BlocksMadeWhileReadingGiveThePlainBytes) {
    const DocumentInfo doc{61, 47, 72};
    const uint64_t layerBytes = Layer::pixelBytes(doc.width, doc.height);
    LayerTempList plain;
    for (uint8_t i = 0; i < 5; ++i) plain.add(makeLayer(doc.width, doc.height, "k", blend::Normal, 100, 1, i));
    const Bytes expected = write(plain, doc);
    const char* const kNotStorable = "a WLX file holds at most 65535 layers of at most 65535 x 65535 pixels";
    const struct {
        size_t threads;
        uint64_t limit;
        DocumentInfo doc;
        const char* failure;  // the start of the write's reason; null when it is written
    } cases[] = {
        {1, UINT64_MAX, doc, nullptr},
        {2, UINT64_MAX, doc, nullptr},
        {3, UINT64_MAX, doc, nullptr},
        {8, UINT64_MAX, doc, nullptr},
        {2, 2 * layerBytes + 64, doc, "the compressed layers need "},
        {2, UINT64_MAX, DocumentInfo{doc.width, 70000, 72}, kNotStorable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, budget " + std::to_string(c.limit));
        ThreadPool pool(c.threads);
        Conversion conversion(pool, MemoryBudget(c.limit));
        LayerCompressor blocks(conversion);
        ASSERT_TRUE(blocks.begin(c.doc, plain.size(), 0)) << conversion.reason();
        for (const Layer* source : plain) {
            auto* layer = new Layer;
            layer->resizeReusing(blocks.nextPixels(), doc.width, doc.height, source->blendMode, true);
            std::copy(source->pixels.begin(), source->pixels.end(), layer->pixels.begin());
            layer->name = source->name;
            blocks.layerRead(layer, layer->pixels.size());
        }
        blocks.finish();
        wlxtest::Stream out;
        const bool written = writeWlx(out.get(), blocks, c.doc, conversion);
        EXPECT_EQ(written, c.failure == nullptr) << conversion.reason();
        if (c.failure != nullptr) {
            EXPECT_EQ(conversion.reason().rfind(c.failure, 0), 0u) << conversion.reason();
            EXPECT_TRUE(out.contents().empty());
            continue;
        }
        EXPECT_EQ(out.contents(), expected);
        for (const Layer* layer : blocks.layers()) EXPECT_TRUE(layer->pixels.empty());
    }
}

// A PSD may declare a canvas with no columns but some rows; its layers have no pixels at all.
TEST(WlxWriterTest, ACanvasWithoutColumnsIsWrittenAndReadBack) {
    for (const DocumentInfo doc : {DocumentInfo{0, 4, 72}, DocumentInfo{3, 0, 72}}) {
        LayerTempList layers;
        layers.add(makeLayer(doc.width, doc.height, "empty", blend::Normal, 100, 1));
        LayerTempList reread;
        DocumentInfo rereadDoc;
        ASSERT_TRUE(readBack(write(layers, doc), reread, rereadDoc));
        ASSERT_EQ(reread.size(), 1u);
        EXPECT_EQ(rereadDoc.width, doc.width);
        EXPECT_EQ(rereadDoc.height, doc.height);
        EXPECT_TRUE(reread[0]->pixels.empty());
    }
}

TEST(WlxWriterTest, FileWrapperWritesAndFailsOnAnUnwritablePath) {
    LayerTempList layers;
    layers.add(makeLayer(4, 4, "file", blend::Screen, 60, 1, 5));
    const DocumentInfo doc{4, 4, 72};
    EXPECT_FALSE(writeWlxFile("/nonexistent/dir/out.wlx", layers, doc));

    const std::string path = ::testing::TempDir() + "wlx_writer_test_out.wlx";
    ASSERT_TRUE(writeWlxFile(path, layers, doc));
    const std::string fromFile = testfiles::readFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(Bytes(fromFile.begin(), fromFile.end()), write(layers, doc));
}

}  // namespace
