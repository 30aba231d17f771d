#pragma once
// Bounded input over a stdio stream or a memory block, for every reader: the size is known up front
// where the source can tell it, so that each length taken from a file can be checked against what
// is really left before it sizes a buffer or a loop. Big- and little-endian integer reads; stream
// positions are 64-bit on every platform.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

class ByteInput {
public:
    // From the stream's current position. A stream that cannot tell its size (a pipe) is read
    // without one: remaining() is then unbounded and blocks are read in pieces.
    explicit ByteInput(std::FILE* file);
    ByteInput(const uint8_t* data, size_t size);

    // True when the size is known.
    bool sized() const { return sized_; }
    uint64_t position() const { return position_; }
    uint64_t size() const { return size_; }
    // Bytes between the position and the end; 0 when positioned past the end.
    uint64_t remaining() const {
        if (!sized_) return UINT64_MAX;
        return position_ < size_ ? size_ - position_ : 0;
    }
    bool fits(uint64_t bytes) const { return bytes <= remaining(); }

    // Reads up to count bytes; returns how many arrived.
    size_t readSome(void* destination, size_t count);
    // All-or-nothing reads: false when fewer bytes are there.
    bool read(void* destination, size_t count);
    bool read8(uint8_t& value);
    bool readBe16(uint16_t& value);
    bool readBe32(uint32_t& value);
    bool readLe16(uint16_t& value);
    bool readLe32(uint32_t& value);
    // Reads up to count bytes into block, growing it only as far as the source really holds.
    void readBlock(uint64_t count, std::vector<uint8_t>& block);

    // Absolute seek. A position past the end is allowed; reads there fail. False without a size.
    bool seek(uint64_t absolute);
    // Moves on by count bytes; a source without a size is read and dropped up to its end.
    bool skip(uint64_t count);

private:
    std::FILE* file_ = nullptr;
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    uint64_t origin_ = 0;  // the stream position that position() 0 stands for
    bool sized_ = false;
};
