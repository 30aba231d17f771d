#pragma once
// Builds WLX bytes field by field, independently of the reader and writer under test, and hands
// them over as a real stream.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/TestBytes.h"

namespace wlxtest {

using testbytes::Bytes;

// zlib's one-shot deflate at a level: streams of another maker than the program's.
inline Bytes zlibDeflate(const Bytes& data, int level) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    if (compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) return {};
    out.resize(length);
    return out;
}

inline Bytes zlibDefault(const Bytes& data) { return zlibDeflate(data, Z_DEFAULT_COMPRESSION); }

// libdeflate's one-shot zlib stream at level 6: the bytes of a WLX block.
inline Bytes libdeflateLevel6(const Bytes& data) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    if (compressor == nullptr) return {};
    Bytes out(libdeflate_zlib_compress_bound(compressor, data.size()));
    const uint8_t none = 0;
    out.resize(libdeflate_zlib_compress(compressor, data.empty() ? &none : data.data(), data.size(), out.data(),
                                        out.size()));
    libdeflate_free_compressor(compressor);
    return out;
}

using testbytes::put;
using testbytes::le::put16;
using testbytes::le::put32;

// File header, empty extension block header and the layer header size 35.
inline Bytes documentHead(uint32_t width, uint32_t height, uint32_t layerCount) {
    Bytes b;
    put(b, "DOVIZOZ", 8);  // with its 0 terminator
    put32(b, 10);
    for (uint32_t field : {width, height, layerCount, 0u, 0u, 0u, 0u}) put16(b, field);
    put32(b, 0);
    put32(b, 35);
    return b;
}

// A 39-byte layer record followed by its block; dataSize defaults to the block's length.
inline void appendLayer(Bytes& b, const std::string& nameField, uint8_t code, uint8_t opacity, uint8_t flags,
                        const Bytes& block, int64_t dataSize = -1) {
    uint8_t name[32] = {};
    for (size_t i = 0; i < nameField.size() && i < 32; ++i) name[i] = static_cast<uint8_t>(nameField[i]);
    put(b, name, 32);
    b.push_back(code);
    b.push_back(opacity);
    b.push_back(flags);
    put32(b, static_cast<uint32_t>(dataSize < 0 ? static_cast<int64_t>(block.size()) : dataSize));
    put(b, block.data(), block.size());
}

// Pixels whose every byte tells its position, so a wrong row order or offset shows.
inline Bytes patternPixels(uint32_t width, uint32_t height, uint8_t seed) {
    Bytes p(size_t{width} * height * 4);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(seed + i * 7 + i / 13);
    return p;
}

// The rows in the opposite order, as plain bytes or as a layer's pixels.
template <typename Out = Bytes, typename In>
Out flipRows(const In& pixels, uint32_t width, uint32_t height) {
    Out out(pixels.size());
    const size_t row = size_t{width} * 4;
    for (size_t y = 0; y < height; ++y) {
        std::copy(pixels.begin() + static_cast<ptrdiff_t>(y * row), pixels.begin() + static_cast<ptrdiff_t>((y + 1) * row),
                  out.begin() + static_cast<ptrdiff_t>((height - 1 - y) * row));
    }
    return out;
}

using Stream = testbytes::TempStream;

}  // namespace wlxtest
