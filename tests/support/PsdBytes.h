#pragma once
// PSD files built field by field, independently of the reader and writer under test: a document of
// layer records, channel data, resources and a merged image, and its parts on their own.
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestBytes.h"

namespace psdbytes {

using testbytes::Bytes;
using testbytes::be::put16;
using testbytes::be::put32;

inline void put8(Bytes& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void putText(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
inline void putBytes(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
// A big-endian length of 4 bytes, or 8 in a large document (version 2).
inline void putLength(Bytes& b, uint64_t v, bool wide) {
    if (wide) put32(b, static_cast<uint32_t>(v >> 32));
    put32(b, static_cast<uint32_t>(v));
}

// One row as a single literal packet (rows of 1 to 128 bytes).
inline Bytes literalRow(const Bytes& row) {
    Bytes packed{static_cast<uint8_t>(row.size() - 1)};
    putBytes(packed, row);
    return packed;
}

// Channel data after the compression code: the row count table (2-byte counts, 4-byte in a large
// document), then the packed rows.
inline Bytes packedRows(const std::vector<Bytes>& packed, bool wideCounts = false) {
    Bytes out;
    for (const Bytes& row : packed) {
        if (wideCounts) {
            put32(out, static_cast<uint32_t>(row.size()));
        } else {
            put16(out, static_cast<uint32_t>(row.size()));
        }
    }
    for (const Bytes& row : packed) putBytes(out, row);
    return out;
}

// Channel data after the compression code for ZIP (2) or ZIP with prediction (3): rows of `width`
// samples of `depth` bits, each delta-coded from its first sample when predicted (8-bit bytewise,
// 16-bit on big-endian words; a 32-bit row is split into byte planes, the first bytes of all its
// samples first, and then delta-coded bytewise), then deflated by zlib. A partial last row is left
// as it is.
inline Bytes zipRows(Bytes rows, size_t width, bool predicted, uint16_t depth = 8) {
    const size_t rowBytes = width * (depth / 8);
    if (predicted && rowBytes != 0) {
        for (size_t at = 0; at + rowBytes <= rows.size(); at += rowBytes) {
            uint8_t* row = rows.data() + at;
            if (depth == 16) {
                for (size_t x = width; x-- > 1;) {
                    const uint32_t v = static_cast<uint32_t>(row[2 * x] << 8 | row[2 * x + 1]) -
                                       static_cast<uint32_t>(row[2 * x - 2] << 8 | row[2 * x - 1]);
                    row[2 * x] = static_cast<uint8_t>(v >> 8);
                    row[2 * x + 1] = static_cast<uint8_t>(v);
                }
                continue;
            }
            if (depth == 32) {
                const Bytes samples(row, row + rowBytes);
                for (size_t x = 0; x < width; ++x) {
                    for (size_t b = 0; b < 4; ++b) row[b * width + x] = samples[4 * x + b];
                }
            }
            for (size_t x = rowBytes; x-- > 1;) row[x] = static_cast<uint8_t>(row[x] - row[x - 1]);
        }
    }
    uLongf size = compressBound(static_cast<uLong>(rows.size()));
    Bytes packed(size);
    compress2(packed.data(), &size, rows.data(), static_cast<uLong>(rows.size()), Z_BEST_COMPRESSION);
    packed.resize(size);
    return packed;
}

// An additional layer information block; wide gives it the 8-byte length some keys have in a large
// document.
inline Bytes infoBlock(const std::string& key, const Bytes& data, const std::string& signature = "8BIM",
                       bool wide = false) {
    Bytes b;
    putText(b, signature);
    putText(b, key);
    putLength(b, data.size(), wide);
    putBytes(b, data);
    return b;
}

// A vector mask block ("vmsk"): version 3, flags, the initial fill record, then each subpath as a
// closed length record (knot count, operation) and its corner knots, given as (x, y) in fractions
// of the canvas (control points on the anchors: straight sides).
struct TestSubpath {
    int16_t operation;
    std::vector<std::pair<double, double>> knots;
};
inline Bytes vectorMaskBlock(uint32_t flags, bool startsFilled, const std::vector<TestSubpath>& subpaths,
                             const std::string& key = "vmsk") {
    auto record = [](Bytes& b, uint16_t selector, uint16_t first, uint16_t second) {
        put16(b, selector);
        put16(b, first);
        put16(b, second);
        b.resize(b.size() + 20, 0);
    };
    Bytes d;
    put32(d, 3);
    put32(d, flags);
    record(d, 8, startsFilled ? 1 : 0, 0);
    for (const TestSubpath& path : subpaths) {
        record(d, 0, static_cast<uint16_t>(path.knots.size()), static_cast<uint16_t>(path.operation));
        for (const auto& [x, y] : path.knots) {
            put16(d, 2);
            for (int i = 0; i < 3; ++i) {
                put32(d, static_cast<uint32_t>(static_cast<int32_t>(y * (1 << 24))));
                put32(d, static_cast<uint32_t>(static_cast<int32_t>(x * (1 << 24))));
            }
        }
    }
    return infoBlock(key, d);
}

struct TestChannel {
    int16_t id;
    uint16_t compression;
    Bytes payload;                           // what follows the compression code
    std::optional<uint64_t> declaredLength;  // default: 2 + payload
};

inline TestChannel rawChannel(int16_t id, const Bytes& plane) { return {id, 0, plane, {}}; }

struct TestLayer {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<TestChannel> channels;
    std::string key = "norm";
    uint8_t opacity = 255;
    uint8_t clipping = 0;
    uint8_t flags = 0;
    std::string name;
    Bytes mask;        // layer mask data
    Bytes ranges;      // blending ranges
    Bytes additional;  // additional layer information after the name
};

struct TestPsd {
    std::string signature = "8BPS";
    uint16_t version = 1;
    uint16_t channels = 3;
    uint32_t width = 2;
    uint32_t height = 2;
    uint16_t depth = 8;
    uint16_t mode = 3;
    Bytes colourMode;
    Bytes resources;  // the resource blocks, back to back
    bool layerSection = false;
    std::optional<int16_t> layerCount;  // default: the number of layers
    std::vector<TestLayer> layers;
    // "Lr16" or "Lr32": the layer information goes into a block of that key after the global layer
    // mask information, the section's own layer information left empty, as deep documents have it.
    std::string deepKey;
    Bytes sectionBlocks;  // blocks after the global layer mask information (before the deep one)
    Bytes merged;  // compression code and image data, up to the end of the file

    Bytes build() const {
        const bool wide = version == 2;
        Bytes b;
        putText(b, signature);
        put16(b, version);
        b.insert(b.end(), 6, 0);
        put16(b, channels);
        put32(b, height);
        put32(b, width);
        put16(b, depth);
        put16(b, mode);
        put32(b, static_cast<uint32_t>(colourMode.size()));
        putBytes(b, colourMode);
        put32(b, static_cast<uint32_t>(resources.size()));
        putBytes(b, resources);
        if (!layerSection && layers.empty() && deepKey.empty() && sectionBlocks.empty()) {
            putLength(b, 0, wide);
        } else {
            Bytes info;
            put16(info, static_cast<uint16_t>(layerCount.value_or(static_cast<int16_t>(layers.size()))));
            for (const TestLayer& layer : layers) putRecord(info, layer, wide);
            for (const TestLayer& layer : layers) {
                for (const TestChannel& channel : layer.channels) {
                    if (channel.declaredLength == 0u) continue;  // declared empty: no data at all
                    put16(info, channel.compression);
                    putBytes(info, channel.payload);
                }
            }
            Bytes section;
            if (deepKey.empty()) {
                putLength(section, info.size(), wide);
                putBytes(section, info);
            } else {
                putLength(section, 0, wide);
            }
            put32(section, 0);  // global layer mask information
            putBytes(section, sectionBlocks);
            if (!deepKey.empty()) {
                info.resize((info.size() + 3) / 4 * 4, 0);  // blocks here are padded to 4 bytes
                putBytes(section, infoBlock(deepKey, info, "8BIM", wide));
            }
            putLength(b, section.size(), wide);
            putBytes(b, section);
        }
        putBytes(b, merged);
        return b;
    }

    static void putRecord(Bytes& b, const TestLayer& layer, bool wide) {
        put32(b, static_cast<uint32_t>(layer.top));
        put32(b, static_cast<uint32_t>(layer.left));
        put32(b, static_cast<uint32_t>(layer.bottom));
        put32(b, static_cast<uint32_t>(layer.right));
        put16(b, static_cast<uint32_t>(layer.channels.size()));
        for (const TestChannel& channel : layer.channels) {
            put16(b, static_cast<uint16_t>(channel.id));
            putLength(b, channel.declaredLength.value_or(2 + channel.payload.size()), wide);
        }
        putText(b, "8BIM");
        putText(b, layer.key);
        put8(b, layer.opacity);
        put8(b, layer.clipping);
        put8(b, layer.flags);
        put8(b, 0);
        Bytes extra;
        put32(extra, static_cast<uint32_t>(layer.mask.size()));
        putBytes(extra, layer.mask);
        put32(extra, static_cast<uint32_t>(layer.ranges.size()));
        putBytes(extra, layer.ranges);
        put8(extra, static_cast<uint32_t>(layer.name.size()));
        putText(extra, layer.name);
        for (size_t field = 1 + layer.name.size(); field % 4 != 0; ++field) put8(extra, 0);
        putBytes(extra, layer.additional);
        put32(b, static_cast<uint32_t>(extra.size()));
        putBytes(b, extra);
    }
};

// An image resource block.
inline Bytes resourceBlock(uint16_t id, const Bytes& data, const std::string& name = "") {
    Bytes b;
    putText(b, "8BIM");
    put16(b, id);
    put8(b, static_cast<uint32_t>(name.size()));
    putText(b, name);
    if (name.size() % 2 == 0) put8(b, 0);
    put32(b, static_cast<uint32_t>(data.size()));
    putBytes(b, data);
    if (data.size() % 2 != 0) put8(b, 0);
    return b;
}

// Raw merged image: compression 0, then the planes.
inline Bytes rawMerged(const std::vector<Bytes>& planes) {
    Bytes b;
    put16(b, 0);
    for (const Bytes& plane : planes) putBytes(b, plane);
    return b;
}

}  // namespace psdbytes
