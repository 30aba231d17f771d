#pragma once
// Big-endian output to a stdio stream, shared by every section the PSD writer emits, and the
// placeholder-then-patch used for the length fields whose value is known only afterwards.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace psd {

class BigEndianOutput {
public:
    explicit BigEndianOutput(std::FILE* out) : out_(out) {}

    void bytes(const void* data, size_t count);
    void u8(uint8_t value) { bytes(&value, 1); }
    void u16(uint16_t value);
    void u32(uint32_t value);
    // Writes count bytes all equal to value; returns count.
    uint64_t fill(uint64_t count, uint8_t value);

    // Absolute stream position, 64-bit on every platform.
    int64_t position();
    void seek(int64_t position);

    // True once any write, seek or position query has failed.
    bool failed() const { return failed_ || std::ferror(out_) != 0; }

private:
    std::FILE* out_;
    bool failed_ = false;
};

// A 4-byte length field written as zero where it is made and, when the scope closes, patched with
// the bytes written after it.
class PatchedLength {
public:
    explicit PatchedLength(BigEndianOutput& out);
    ~PatchedLength();
    PatchedLength(const PatchedLength&) = delete;
    PatchedLength& operator=(const PatchedLength&) = delete;
    // Bytes written after the placeholder so far.
    uint64_t bytesSince();

private:
    BigEndianOutput& out_;
    int64_t at_;
};

}  // namespace psd
