#pragma once
// zlib streams of the WLX pixel blocks: zlib container, window bits 15, default level.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Appends zlib's default deflate of the whole input to output, so the bytes equal a one-shot
// compress2 at Z_DEFAULT_COMPRESSION. False when zlib fails (only for want of memory); what was
// appended before then is the caller's to discard.
bool compressBlock(const uint8_t* input, size_t inputLength, std::string& output);

// Appends the inflated contents of the zlib stream at the start of input to output. Bytes after the
// end of the stream are ignored. False for a truncated stream, corrupt data or a wrong checksum.
bool uncompressBlock(const uint8_t* input, size_t inputLength, std::string& output);

// Inflates the zlib stream at the start of input into exactly outputLength bytes at output, so that
// a hostile stream can never make the caller allocate more. False when the stream is damaged or
// would produce more or fewer bytes. Bytes after the end of the stream are ignored.
bool uncompressBlockExact(const uint8_t* input, size_t inputLength, uint8_t* output, size_t outputLength);

// Inflates like uncompressBlockExact into rows rows of rowBytes bytes, the first row of the stream
// into the last row of pixels: WLX blocks store the picture bottom row first.
bool uncompressRowsBottomUp(const uint8_t* input, size_t inputLength, uint8_t* pixels, size_t rowBytes,
                            size_t rows);

// Compressed bytes in memory that is never cleared, so that pages the compressor does not reach are
// never touched; kept from block to block.
struct PackedBlock {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    size_t capacity = 0;
};

// The bytes compressBlock gives for the rows taken last row first, without copying them into that
// order. False when zlib fails (for want of memory).
bool compressRowsBottomUp(const uint8_t* pixels, size_t rowBytes, size_t rows, PackedBlock& output);
