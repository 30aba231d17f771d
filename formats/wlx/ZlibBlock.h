#pragma once
// zlib streams of the WLX pixel blocks: zlib container, window bits 15, default level.
#include <cstddef>
#include <cstdint>
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
