#include "formats/wlx/DeflateBlock.h"

#include <libdeflate.h>

#include <cstring>

namespace {

constexpr int kLevel = 6;

// A compressor and a decompressor per call: allocating them costs a few microseconds, nothing beside
// a layer's deflate. (Kept per thread in a thread_local, the MinGW build freed the thread's storage
// before running its destructor.)
struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// Swaps the first row with the last, the second with the one before it and so on, through a small
// buffer on the stack: a row may be far longer than the buffer.
void reverseRows(uint8_t* pixels, size_t rowBytes, size_t rows) {
    if (rows < 2) return;
    uint8_t buffer[4096];
    for (uint8_t *top = pixels, *bottom = pixels + (rows - 1) * rowBytes; top < bottom;
         top += rowBytes, bottom -= rowBytes) {
        for (size_t at = 0; at < rowBytes; at += sizeof buffer) {
            const size_t piece = rowBytes - at < sizeof buffer ? rowBytes - at : sizeof buffer;
            std::memcpy(buffer, top + at, piece);
            std::memcpy(top + at, bottom + at, piece);
            std::memcpy(bottom + at, buffer, piece);
        }
    }
}

}  // namespace

bool uncompressRowsBottomUp(const uint8_t* input, size_t inputLength, uint8_t* pixels, size_t rowBytes,
                            size_t rows) {
    const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(libdeflate_alloc_decompressor());
    if (decompressor == nullptr) return false;
    const size_t total = rowBytes * rows;
    // No output still needs a place to point at; a stream of any byte fails there.
    uint8_t none = 0;
    // Without room for the actual size, libdeflate fails unless the stream gives exactly total bytes.
    if (libdeflate_zlib_decompress(decompressor.get(), input, inputLength, total != 0 ? pixels : &none, total,
                                   nullptr) != LIBDEFLATE_SUCCESS) {
        return false;
    }
    reverseRows(pixels, rowBytes, rows);
    return true;
}

bool compressRowsBottomUp(uint8_t* pixels, size_t rowBytes, size_t rows, PackedBlock& output) {
    output.size = 0;
    const std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor(libdeflate_alloc_compressor(kLevel));
    if (compressor == nullptr) return false;
    const size_t total = rowBytes * rows;
    const size_t capacity = libdeflate_zlib_compress_bound(compressor.get(), total);
    if (output.capacity < capacity) {
        output.bytes.reset();
        output.bytes.reset(new uint8_t[capacity]);  // not cleared: untouched pages cost nothing
        output.capacity = capacity;
    }
    uint8_t none = 0;
    reverseRows(pixels, rowBytes, rows);
    output.size = libdeflate_zlib_compress(compressor.get(), total != 0 ? pixels : &none, total, output.bytes.get(),
                                           output.capacity);
    reverseRows(pixels, rowBytes, rows);
    return output.size != 0;  // 0 only when the bound was not enough, which it always is
}
