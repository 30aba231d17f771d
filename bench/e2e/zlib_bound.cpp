// The zlib-only bound the end-to-end benchmark measures the program against, on one thread.
// Usage: zlib_bound inflate|deflate FILE.wlx
//   inflate  inflates every layer block of the file with zlib's uncompress;
//   deflate  deflates every layer's pixels at the default level with compress2 (the blocks are
//            inflated first, untimed), which is the work a WLX writer cannot avoid.
// Prints the wall and processor seconds the zlib calls took; reading the file is not counted.
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "inflate") != 0 && std::strcmp(argv[1], "deflate") != 0)) {
        std::fprintf(stderr, "usage: zlib_bound inflate|deflate FILE.wlx\n");
        return 2;
    }
    const bool inflating = std::strcmp(argv[1], "inflate") == 0;
    std::vector<uint8_t> file;
    size_t layerBytes = 0;
    std::vector<Block> blocks;
    if (!readAll(argv[2], file) || !blocksOf(file, layerBytes, blocks)) {
        std::fprintf(stderr, "zlib_bound: cannot read %s\n", argv[2]);
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    Clock::duration spent{};
    std::clock_t cpuStart = 0;
    if (inflating) {
        // One output buffer, touched once beforehand, so page faults are not counted.
        std::vector<uint8_t> pixels(layerBytes, 1);
        cpuStart = std::clock();
        const Clock::time_point start = Clock::now();
        for (const Block& block : blocks) {
            uLongf length = static_cast<uLongf>(pixels.size());
            if (uncompress(pixels.data(), &length, block.data, static_cast<uLong>(block.size)) != Z_OK) return 1;
        }
        spent = Clock::now() - start;
    } else {
        std::vector<std::vector<uint8_t>> layers(blocks.size(), std::vector<uint8_t>(layerBytes));
        for (size_t i = 0; i < blocks.size(); ++i) {
            uLongf length = static_cast<uLongf>(layerBytes);
            if (uncompress(layers[i].data(), &length, blocks[i].data, static_cast<uLong>(blocks[i].size)) != Z_OK) {
                return 1;
            }
        }
        std::vector<uint8_t> packed(compressBound(static_cast<uLong>(layerBytes)), 1);
        cpuStart = std::clock();
        const Clock::time_point start = Clock::now();
        for (const std::vector<uint8_t>& layer : layers) {
            uLongf length = static_cast<uLongf>(packed.size());
            if (compress2(packed.data(), &length, layer.data(), static_cast<uLong>(layer.size()),
                          Z_DEFAULT_COMPRESSION) != Z_OK) {
                return 1;
            }
        }
        spent = Clock::now() - start;
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("%.4f %.4f\n", std::chrono::duration<double>(spent).count(), cpu);
    return 0;
}
