// The codec-only bound the end-to-end benchmark measures the program against, on one thread: zlib
// (the reference the targets are set against) or libdeflate (the program's codec).
// Usage: zlib_bound inflate|deflate zlib|libdeflate FILE.wlx
//   inflate  inflates every layer block of the file (zlib's uncompress, libdeflate_zlib_decompress);
//   deflate  deflates every layer's pixels at level 6 (compress2, libdeflate_zlib_compress; the
//            blocks are inflated first, untimed), which is the work a WLX writer cannot avoid.
// Prints the wall and processor seconds the codec calls took, and for deflate the bytes of all the
// blocks made; reading the file is not counted.
#include <libdeflate.h>
#include <zlib.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "formats/wlx/WlxLayout.h"

namespace {

struct Block {
    const uint8_t* data;
    size_t size;
};

bool readAll(const char* path, std::vector<uint8_t>& bytes) {
    std::FILE* in = std::fopen(path, "rb");
    if (!in) return false;
    uint8_t buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(in);
    return true;
}

// The layer blocks of a well-formed WLX file (the generator's); false on anything else.
bool blocksOf(const std::vector<uint8_t>& file, size_t& layerBytes, std::vector<Block>& blocks) {
    using namespace wlx;
    size_t at = FileHeader::kSize + ExtensionHeader::kSize;
    if (file.size() < at) return false;
    const uint32_t width = load16(file.data() + FileHeader::kWidthAt);
    const uint32_t height = load16(file.data() + FileHeader::kHeightAt);
    const uint32_t count = load16(file.data() + FileHeader::kLayerCountAt);
    layerBytes = size_t{width} * height * 4;
    at += load32(file.data() + FileHeader::kSize + ExtensionHeader::kExtraSizeAt) + kLayerHeaderSizeFieldSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (file.size() < at + LayerRecord::kSize) return false;
        const uint32_t size = load32(file.data() + at + LayerRecord::kDataSizeAt);
        at += LayerRecord::kSize;
        if (file.size() - at < size) return false;
        blocks.push_back(Block{file.data() + at, size});
        at += size;
    }
    return true;
}

// One codec's inflate of a whole block into exactly length bytes, and deflate at level 6 into room
// of its bound; false on failure.
struct Codec {
    virtual ~Codec() = default;
    virtual bool inflate(const Block& block, uint8_t* out, size_t length) = 0;
    virtual size_t bound(size_t length) = 0;
    virtual bool deflate(const uint8_t* in, size_t length, uint8_t* out, size_t& outLength) = 0;
};

struct Zlib final : Codec {
    bool inflate(const Block& block, uint8_t* out, size_t length) override {
        uLongf got = static_cast<uLongf>(length);
        return uncompress(out, &got, block.data, static_cast<uLong>(block.size)) == Z_OK && got == length;
    }
    size_t bound(size_t length) override { return compressBound(static_cast<uLong>(length)); }
    bool deflate(const uint8_t* in, size_t length, uint8_t* out, size_t& outLength) override {
        uLongf got = static_cast<uLongf>(outLength);
        if (compress2(out, &got, in, static_cast<uLong>(length), Z_DEFAULT_COMPRESSION) != Z_OK) return false;
        outLength = got;
        return true;
    }
};

struct Libdeflate final : Codec {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    ~Libdeflate() override {
        libdeflate_free_compressor(compressor);
        libdeflate_free_decompressor(decompressor);
    }
    bool inflate(const Block& block, uint8_t* out, size_t length) override {
        return libdeflate_zlib_decompress(decompressor, block.data, block.size, out, length, nullptr) ==
               LIBDEFLATE_SUCCESS;
    }
    size_t bound(size_t length) override { return libdeflate_zlib_compress_bound(compressor, length); }
    bool deflate(const uint8_t* in, size_t length, uint8_t* out, size_t& outLength) override {
        outLength = libdeflate_zlib_compress(compressor, in, length, out, outLength);
        return outLength != 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "inflate") != 0 && std::strcmp(argv[1], "deflate") != 0) ||
        (std::strcmp(argv[2], "zlib") != 0 && std::strcmp(argv[2], "libdeflate") != 0)) {
        std::fprintf(stderr, "usage: zlib_bound inflate|deflate zlib|libdeflate FILE.wlx\n");
        return 2;
    }
    const bool inflating = std::strcmp(argv[1], "inflate") == 0;
    Zlib zlib;
    Libdeflate libdeflate;
    if (libdeflate.compressor == nullptr || libdeflate.decompressor == nullptr) return 1;
    Codec& codec = std::strcmp(argv[2], "zlib") == 0 ? static_cast<Codec&>(zlib) : libdeflate;
    std::vector<uint8_t> file;
    size_t layerBytes = 0;
    std::vector<Block> blocks;
    if (!readAll(argv[3], file) || !blocksOf(file, layerBytes, blocks)) {
        std::fprintf(stderr, "zlib_bound: cannot read %s\n", argv[3]);
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    Clock::duration spent{};
    std::clock_t cpuStart = 0;
    uint64_t packedBytes = 0;
    if (inflating) {
        // One output buffer, touched once beforehand, so page faults are not counted.
        std::vector<uint8_t> pixels(layerBytes, 1);
        cpuStart = std::clock();
        const Clock::time_point start = Clock::now();
        for (const Block& block : blocks) {
            if (!codec.inflate(block, pixels.data(), pixels.size())) return 1;
        }
        spent = Clock::now() - start;
    } else {
        std::vector<std::vector<uint8_t>> layers(blocks.size(), std::vector<uint8_t>(layerBytes));
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (!libdeflate.inflate(blocks[i], layers[i].data(), layerBytes)) return 1;
        }
        std::vector<uint8_t> packed(codec.bound(layerBytes), 1);
        cpuStart = std::clock();
        const Clock::time_point start = Clock::now();
        for (const std::vector<uint8_t>& layer : layers) {
            size_t length = packed.size();
            if (!codec.deflate(layer.data(), layer.size(), packed.data(), length)) return 1;
            packedBytes += length;
        }
        spent = Clock::now() - start;
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("%.4f %.4f %llu\n", std::chrono::duration<double>(spent).count(), cpu,
                static_cast<unsigned long long>(packedBytes));
    return 0;
}
