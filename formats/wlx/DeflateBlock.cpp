#include "formats/wlx/DeflateBlock.h"

#include <libdeflate.h>

#include <cstring>

namespace {

constexpr int kLevel = 6;

// One compressor and one decompressor per thread, made on first use and freed when the thread
// ends: a level-6 compressor takes about 650 KB, too much to allocate for every block of a
// document of thousands of small layers.
class ThreadCodecs {
public:
    ThreadCodecs() = default;
    ThreadCodecs(const ThreadCodecs&) = delete;
    ThreadCodecs& operator=(const ThreadCodecs&) = delete;
    ~ThreadCodecs() {
        if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
        if (decompressor_ != nullptr) libdeflate_free_decompressor(decompressor_);
    }
    libdeflate_compressor* compressor() {
        if (compressor_ == nullptr) compressor_ = libdeflate_alloc_compressor(kLevel);
        return compressor_;
    }
    libdeflate_decompressor* decompressor() {
        if (decompressor_ == nullptr) decompressor_ = libdeflate_alloc_decompressor();
        return decompressor_;
    }

private:
    libdeflate_compressor* compressor_ = nullptr;
    libdeflate_decompressor* decompressor_ = nullptr;
};

thread_local ThreadCodecs codecs;

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
    libdeflate_decompressor* decompressor = codecs.decompressor();
    if (decompressor == nullptr) return false;
    const size_t total = rowBytes * rows;
    // No output still needs a place to point at; a stream of any byte fails there.
    uint8_t none = 0;
    // Without room for the actual size, libdeflate fails unless the stream gives exactly total bytes.
    if (libdeflate_zlib_decompress(decompressor, input, inputLength, total != 0 ? pixels : &none, total,
                                   nullptr) != LIBDEFLATE_SUCCESS) {
        return false;
    }
    reverseRows(pixels, rowBytes, rows);
    return true;
}

bool compressRowsBottomUp(uint8_t* pixels, size_t rowBytes, size_t rows, PackedBlock& output) {
    output.size = 0;
    libdeflate_compressor* compressor = codecs.compressor();
    if (compressor == nullptr) return false;
    const size_t total = rowBytes * rows;
    const size_t capacity = libdeflate_zlib_compress_bound(compressor, total);
    if (output.capacity < capacity) {
        output.bytes.reset();
        output.bytes.reset(new uint8_t[capacity]);  // not cleared: untouched pages cost nothing
        output.capacity = capacity;
    }
    uint8_t none = 0;
    reverseRows(pixels, rowBytes, rows);
    output.size = libdeflate_zlib_compress(compressor, total != 0 ? pixels : &none, total, output.bytes.get(),
                                           output.capacity);
    reverseRows(pixels, rowBytes, rows);
    return output.size != 0;  // 0 only when the bound was not enough, which it always is
}
