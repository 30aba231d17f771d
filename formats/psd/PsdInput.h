#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace psd {

// Big-endian reads over a stream whose size is known up front, so that every length taken from the
// file can be checked against what is actually left before it sizes a buffer or a loop.
class Input {
public:
    explicit Input(std::FILE* file);

    // False when the stream's size or position could not be determined.
    bool ok() const { return ok_; }

    uint64_t position() const { return position_; }
    uint64_t size() const { return size_; }
    // Bytes between the position and the end of the file; 0 when positioned past the end.
    uint64_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }
    bool fits(uint64_t bytes) const { return bytes <= remaining(); }

    // All-or-nothing reads: false when fewer bytes arrive.
    bool read(void* destination, size_t bytes);
    bool read8(uint8_t& value);
    bool read16(uint16_t& value);
    bool read32(uint32_t& value);
    // A Pascal string field with its padding, as pascalString writes it.
    bool readPascalString(size_t padding, std::string& text);

    // Absolute seek. Like the stream itself, a position past the end is allowed; reads there fail.
    bool seek(uint64_t absolute);
    bool skip(uint64_t bytes) { return bytes <= UINT64_MAX - position_ && seek(position_ + bytes); }

private:
    std::FILE* file_;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    bool ok_ = false;
};

}  // namespace psd
