#pragma once
// Byte builders for test files, in either byte order, and a temporary stream that holds them:
// shared by every test that writes a format field by field.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "TestFiles.h"

namespace testbytes {

using Bytes = std::vector<uint8_t>;

inline void put(Bytes& b, const void* p, size_t n) {
    b.insert(b.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
}
inline void put(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// Big-endian (PSD).
namespace be {
inline void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
}  // namespace be

// Little-endian (WLX, BMP).
namespace le {
inline void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
}  // namespace le

// A temporary stream holding bytes, positioned at the start; closed (and deleted) on destruction.
class TempStream {
public:
    explicit TempStream(const Bytes& bytes = {}) : f_(std::tmpfile()) {
        if (f_ && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f_);
        if (f_) std::rewind(f_);
    }
    ~TempStream() {
        if (f_) std::fclose(f_);
    }
    TempStream(const TempStream&) = delete;
    TempStream& operator=(const TempStream&) = delete;
    std::FILE* get() const { return f_; }

    // Everything written so far, from the start.
    Bytes contents() const {
        std::fflush(f_);
        std::rewind(f_);
        const std::string data = testfiles::readAll(f_);
        return Bytes(data.begin(), data.end());
    }

private:
    std::FILE* f_;
};

}  // namespace testbytes
