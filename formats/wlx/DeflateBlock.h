#pragma once
// The WLX pixel blocks: zlib-format streams made and read by libdeflate, level 6. Any zlib reader
// reads them, and the same libdeflate version gives the same bytes on every platform.
#include <cstddef>
#include <cstdint>
#include <memory>

// Inflates the zlib stream at the start of input into exactly rows rows of rowBytes bytes, the first
// row of the stream into the last row of pixels: WLX blocks store the picture bottom row first.
// Nothing is written outside the rows, so a hostile stream can never make the caller allocate more.
// False when the stream is damaged or would give more or fewer bytes, or for want of memory for the
// decompressor; the rows are then undefined. Bytes after the end of the stream are ignored.
bool uncompressRowsBottomUp(const uint8_t* input, size_t inputLength, uint8_t* pixels, size_t rowBytes,
                            size_t rows);

// Compressed bytes in memory that is never cleared, so that pages the compressor does not reach are
// never touched; kept from block to block.
struct PackedBlock {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    size_t capacity = 0;
};

// The block of the rows taken last row first. libdeflate needs its input in one piece, so the rows
// are reversed in place, compressed and reversed back before this returns: the pixels come back
// unchanged, but nothing else may read or write them meanwhile. No layer-sized copy is made.
// False when the compressor cannot be had (for want of memory); the output buffer's allocation
// throws std::bad_alloc as any other would.
bool compressRowsBottomUp(uint8_t* pixels, size_t rowBytes, size_t rows, PackedBlock& output);
