#pragma once
// Builds WLX bytes field by field, independently of the reader and writer under test, and hands
// them over as a real stream.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace wlxtest {

using Bytes = std::vector<uint8_t>;

// zlib's one-shot default deflate.
inline Bytes zlibDefault(const Bytes& data) {
    uLongf length = compressBound(static_cast<uLong>(data.size()));
    Bytes out(length);
    if (compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
        return {};
    }
    out.resize(length);
    return out;
}

inline void put(Bytes& b, const void* p, size_t n) {
    b.insert(b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}
inline void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

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

// The rows in the opposite order.
inline Bytes flipRows(const Bytes& pixels, uint32_t width, uint32_t height) {
    Bytes out(pixels.size());
    const size_t row = size_t{width} * 4;
    for (size_t y = 0; y < height; ++y) {
        std::copy(pixels.begin() + static_cast<ptrdiff_t>(y * row), pixels.begin() + static_cast<ptrdiff_t>((y + 1) * row),
                  out.begin() + static_cast<ptrdiff_t>((height - 1 - y) * row));
    }
    return out;
}

// A temporary stream holding bytes, positioned at the start. Closed (and deleted) on destruction.
class Stream {
public:
    explicit Stream(const Bytes& bytes = {}) : f_(std::tmpfile()) {
        if (f_ && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f_);
        if (f_) std::rewind(f_);
    }
    ~Stream() {
        if (f_) std::fclose(f_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    std::FILE* get() const { return f_; }

    Bytes contents() const {
        std::rewind(f_);
        const std::string data = testfiles::readAll(f_);
        return Bytes(data.begin(), data.end());
    }

private:
    std::FILE* f_;
};

}  // namespace wlxtest
