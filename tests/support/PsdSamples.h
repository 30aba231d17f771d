#pragma once
// Small documents of every colour mode, depth, compression and version the PSD reader takes, each
// with the pixels it must give: the reader's tests check them, and the fuzz seeds are made of them
// (fuzz/make_seeds), so every seed starts the search from a file that reads. Each stays well under
// the fuzz targets' 4096-byte inputs.
#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "PsdBytes.h"

namespace psdsamples {

using namespace psdbytes;

// Big-endian 16-bit samples, and 32-bit floats given by their bits.
inline Bytes words(std::initializer_list<uint32_t> values) {
    Bytes b;
    for (uint32_t v : values) put16(b, v);
    return b;
}
inline Bytes floats(std::initializer_list<uint32_t> bits) {
    Bytes b;
    for (uint32_t v : bits) put32(b, v);
    return b;
}

// PackBits packets repeating v count times, 128 at most each.
inline Bytes repeated(uint8_t v, size_t count) {
    Bytes b;
    for (; count >= 2; count -= std::min<size_t>(count, 128)) {
        put8(b, static_cast<uint32_t>(257 - std::min<size_t>(count, 128)));
        put8(b, v);
    }
    if (count == 1) putBytes(b, {0x00, v});
    return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) putBytes(b, p);
    return b;
}

// The merged image as one ZIP stream of every plane's rows (the way a merged image holds ZIP).
inline Bytes zipMerged(const std::vector<Bytes>& planes, size_t width, bool predicted, uint16_t depth) {
    Bytes all, b;
    for (const Bytes& p : planes) putBytes(all, p);
    put16(b, predicted ? 3 : 2);
    putBytes(b, zipRows(all, width, predicted, depth));
    return b;
}

struct Sample {
    const char* file;  // the seed's file name, without extension
    const char* what;
    TestPsd psd;
    // Blue, green, red, alpha of the single layer's first pixel (0, 0) and last (width - 1, height - 1).
    std::vector<int> first, last;
    std::string name = {};  // the layer's name, when it matters
};

// A layer of a 2 x 1 canvas made of planes for the channels -1, 0, 1, 2 (transparency, red, green,
// blue), each stored with compression 0 to 3; rows of `depth` bits.
inline TestLayer planesLayer(const std::vector<Bytes>& planes, uint16_t compression, uint16_t depth, bool wide = false) {
    const int16_t ids[] = {-1, 0, 1, 2};
    TestLayer layer;
    layer.bottom = 1;
    layer.right = 2;
    for (size_t k = 0; k < planes.size(); ++k) {
        Bytes payload = planes[k];
        if (compression == 1) payload = packedRows({literalRow(planes[k])}, wide);
        if (compression >= 2) payload = zipRows(planes[k], 2, compression == 3, depth);
        layer.channels.push_back({ids[k], compression, payload, {}});
    }
    return layer;
}

inline std::vector<Sample> samples() {
    // 8-bit planes: transparency, red, green, blue.
    const std::vector<Bytes> plain = {{255, 128}, {10, 11}, {20, 21}, {30, 31}};
    // 16-bit: 0x00FF rounds to 1 (its high byte would be 0), 0x8000 to 128, 257 x k to k. Predicted,
    // 0x00FF then 0xC8C8 are the words 0x00FF 0xC7C9, which bytewise would not come back.
    const std::vector<Bytes> deep = {words({0xFFFF, 0x8000}), words({0x00FF, 257 * 200}), words({257 * 10, 0}),
                                     words({0xFFFF, 257 * 7})};
    // 32-bit linear light through the sRGB curve: 0.25 is 137, 0.5 is 188; past 1 is 255. Transparency
    // is linear: 0.25 is 64.
    const std::vector<Bytes> deeper = {floats({0x3F800000, 0x3E800000}), floats({0x3F800000, 0x3E800000}),
                                       floats({0x3F000000, 0x40000000}), floats({0, 0x3F800000})};
    const std::vector<Bytes> deepColours(deep.begin() + 1, deep.end());
    const std::vector<Bytes> deeperColours(deeper.begin() + 1, deeper.end());
    const std::vector<int> plainFirst{30, 20, 10, 255}, plainLast{31, 21, 11, 128};
    const std::vector<int> deepFirst{255, 10, 1, 255}, deepLast{7, 0, 200, 128};
    const std::vector<int> deeperFirst{0, 188, 255, 255}, deeperLast{255, 255, 137, 64};

    Bytes palette(768, 0);
    for (int i = 1; i <= 2; ++i) {
        palette[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 30 - 20);        // red
        palette[static_cast<size_t>(256 + i)] = static_cast<uint8_t>(i * 30 - 10);  // green
        palette[static_cast<size_t>(512 + i)] = static_cast<uint8_t>(i * 30);       // blue
    }

    std::vector<Sample> all;
    all.reserve(32);
    // A 2 x 1 document of the mode, depth and channel count, its layer or merged image as given.
    auto add = [&](const char* file, const char* what, uint16_t mode, uint16_t depth, uint16_t channels,
                   std::vector<TestLayer> layers, Bytes merged, std::vector<int> first, std::vector<int> last) {
        Sample s{file, what, {}, std::move(first), std::move(last)};
        s.psd.mode = mode;
        s.psd.depth = depth;
        s.psd.channels = channels;
        s.psd.height = 1;
        s.psd.layers = std::move(layers);
        s.psd.merged = std::move(merged);
        all.push_back(std::move(s));
        return &all.back().psd;
    };

    add("rgb8-layer-zip", "8-bit RGB layer, ZIP", 3, 8, 3, {planesLayer(plain, 2, 8)}, {}, plainFirst, plainLast);
    add("rgb8-layer-zip-predicted", "8-bit RGB layer, ZIP with prediction", 3, 8, 3, {planesLayer(plain, 3, 8)}, {},
        plainFirst, plainLast);
    add("rgb8-merged-zip", "8-bit RGB merged image, ZIP", 3, 8, 3, {}, zipMerged({{10, 11}, {20, 21}, {30, 31}}, 2, false, 8),
        {30, 20, 10, 255}, {31, 21, 11, 255});
    add("rgb8-merged-zip-predicted", "8-bit RGB merged image, ZIP with prediction", 3, 8, 3, {},
        zipMerged({{10, 11}, {20, 21}, {30, 31}}, 2, true, 8), {30, 20, 10, 255}, {31, 21, 11, 255});

    add("rgb16-layer-raw", "16-bit RGB layer, raw", 3, 16, 3, {planesLayer(deep, 0, 16)}, {}, deepFirst, deepLast);
    add("rgb16-layer-packbits", "16-bit RGB layer, PackBits", 3, 16, 3, {planesLayer(deep, 1, 16)}, {}, deepFirst,
        deepLast);
    add("rgb16-layer-zip", "16-bit RGB layer, ZIP", 3, 16, 3, {planesLayer(deep, 2, 16)}, {}, deepFirst, deepLast);
    add("rgb16-layer-zip-predicted", "16-bit RGB layer, ZIP with prediction on words", 3, 16, 3,
        {planesLayer(deep, 3, 16)}, {}, deepFirst, deepLast);
    add("rgb16-lr16", "16-bit RGB layer in an Lr16 block", 3, 16, 3, {planesLayer(deep, 0, 16)}, {}, deepFirst,
        deepLast)->deepKey = "Lr16";
    add("rgb16-merged-zip-predicted", "16-bit RGB merged image, ZIP with prediction on words", 3, 16, 3, {},
        zipMerged(deepColours, 2, true, 16), deepFirst, {7, 0, 200, 255});

    add("rgb32-merged-raw", "32-bit RGB merged image, raw", 3, 32, 3, {}, rawMerged(deeperColours), deeperFirst,
        {255, 255, 137, 255});
    add("rgb32-merged-zip-predicted", "32-bit RGB merged image, ZIP with prediction on byte planes", 3, 32, 3, {},
        zipMerged(deeperColours, 2, true, 32), deeperFirst, {255, 255, 137, 255});
    add("rgb32-layer-zip-predicted", "32-bit RGB layer, ZIP with prediction on byte planes", 3, 32, 3,
        {planesLayer(deeper, 3, 32)}, {}, deeperFirst, deeperLast);
    add("rgb32-lr32", "32-bit RGB layer in an Lr32 block", 3, 32, 3, {planesLayer(deeper, 0, 32)}, {}, deeperFirst,
        deeperLast)->deepKey = "Lr32";

    add("gray8", "grayscale 8", 1, 8, 1, {}, rawMerged({{10, 200}}), {10, 10, 10, 255}, {200, 200, 200, 255});
    add("gray16", "grayscale 16", 1, 16, 1, {}, rawMerged({words({257 * 10, 0x8000})}), {10, 10, 10, 255},
        {128, 128, 128, 255});
    add("indexed", "indexed, index 2 transparent", 2, 8, 1, {}, rawMerged({{1, 2}}), {30, 20, 10, 255},
        {60, 50, 40, 0});
    all.back().psd.colourMode = palette;
    all.back().psd.resources = resourceBlock(1047, words({2}));
    add("bitmap", "bitmap: a set bit is black", 0, 1, 1, {}, rawMerged({{0x40}}), {255, 255, 255, 255}, {0, 0, 0, 255});
    // Stored inverted: 255 is no ink. Each colour is its value times black's, / 255.
    add("cmyk8", "CMYK without a profile", 4, 8, 4, {}, rawMerged({{255, 100}, {255, 0}, {128, 255}, {255, 200}}),
        {128, 255, 255, 255}, {200, 0, 78, 255});
    add("lab8", "Lab: white and black", 9, 8, 3, {}, rawMerged({{255, 0}, {128, 128}, {128, 128}}),
        {255, 255, 255, 255}, {0, 0, 0, 255});
    // Every channel is the mode's: the fourth is no alpha channel.
    add("multichannel8", "multichannel: the first three channels as red, green, blue", 7, 8, 4, {},
        rawMerged({{1, 9}, {2, 8}, {3, 7}, {4, 6}}), {3, 2, 1, 255}, {7, 8, 9, 255});
    add("duotone8", "duotone: the stored grey", 8, 8, 1, {}, rawMerged({{0, 77}}), {0, 0, 0, 255}, {77, 77, 77, 255});
    all.back().psd.colourMode = Bytes(40, 7);  // the inks, not read

    // Large documents. Blocks of keys with 8-byte lengths before the Lr16 block and in the record,
    // and of keys with 4-byte ones: a reader taking any of their lengths wrong loses the Lr16 block
    // or the layer's name.
    {
        TestPsd* psd = add("psb-lr16", "large document: 16-bit layer in an Lr16 block behind 8-byte-length blocks",
                           3, 16, 3, {planesLayer(deep, 1, 16, true)}, {}, deepFirst, deepLast);
        psd->version = 2;
        psd->deepKey = "Lr16";
        const Bytes emptyLr16 = infoBlock("Lr16", {0, 0, 0, 0}, "8BIM", true);
        for (const char* key : {"LMsk", "Mt16", "FMsk", "lnk2"})
            putBytes(psd->sectionBlocks, infoBlock(key, emptyLr16, "8BIM", true));
        putBytes(psd->sectionBlocks, infoBlock("Txt2", emptyLr16));  // not among them: 4 bytes still
        // Blocks here are padded to 4 bytes, beyond their length.
        putBytes(psd->sectionBlocks, concat({infoBlock("Patt", {1, 2, 3, 4, 5}), {0, 0, 0}}));
        const Bytes name = infoBlock("luni", {0, 0, 0, 1, 0, 'x'});
        TestLayer& layer = psd->layers[0];
        for (const char* key : {"cinf", "pths", "PxSD"}) putBytes(layer.additional, infoBlock(key, name, "8BIM", true));
        putBytes(layer.additional, infoBlock("luni", {0, 0, 0, 1, 0, 'N', 0, 0}));
        all.back().name = "N";
    }
    // Wider and taller than a PSD may be: one row of 30001 columns packed with 4-byte row counts,
    // one column of 30001 rows in ZIP.
    {
        constexpr uint32_t kLong = 30001;
        TestLayer row;
        row.bottom = 1;
        row.right = kLong;
        TestLayer column;
        column.bottom = kLong;
        column.right = 1;
        const int16_t ids[] = {-1, 0, 1, 2};
        for (int16_t id : ids) {
            const uint8_t base = id < 0 ? 255 : static_cast<uint8_t>(id * 30 + 10);
            const uint8_t end = id < 0 ? 100 : static_cast<uint8_t>(base + 20);
            const Bytes packed = concat({{0x00, base}, repeated(static_cast<uint8_t>(base + 10), kLong - 2), {0x00, end}});
            row.channels.push_back({id, 1, packedRows({packed}, true), {}});
            Bytes plane(kLong, static_cast<uint8_t>(base + 10));
            plane.front() = base;
            plane.back() = end;
            column.channels.push_back({id, 2, zipRows(plane, 1, false), {}});
        }
        TestPsd* psd = add("psb-wide", "large document: a layer of 30001 x 1", 3, 8, 3, {row}, {}, {70, 40, 10, 255},
                           {90, 60, 30, 100});
        psd->version = 2;
        psd->width = kLong;
        psd = add("psb-tall", "large document: a layer of 1 x 30001", 3, 8, 3, {column}, {}, {70, 40, 10, 255},
                  {90, 60, 30, 100});
        psd->version = 2;
        psd->width = 1;
        psd->height = kLong;
    }
    return all;
}

}  // namespace psdsamples
