#include "formats/psd/ZipChannel.h"

#include <libdeflate.h>

#include <algorithm>
#include <memory>
#include <new>

#include "formats/psd/PixelConversion.h"
#include "image/ByteOrder.h"

namespace psd {

namespace {

struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

void undoBytes(uint8_t* row, uint64_t length) {
    uint8_t previous = 0;
    for (uint64_t i = 0; i < length; ++i) previous = row[i] = static_cast<uint8_t>(row[i] + previous);
}

void undoWords(uint8_t* row, uint64_t words) {
    uint16_t previous = 0;
    for (uint64_t i = 0; i < words; ++i) {
        previous = static_cast<uint16_t>(byteorder::be::load16(row + 2 * i) + previous);
        byteorder::be::store16(row + 2 * i, previous);
    }
}

}  // namespace

bool unpredictRows(uint8_t* rows, uint64_t count, uint64_t width, uint16_t depth, std::vector<uint8_t>& scratch) {
    if (depth != 8 && depth != 16 && depth != 32) return false;
    const uint64_t rowBytes = storedRowBytes(width, depth);
    if (depth == 32 && scratch.size() < rowBytes) scratch.resize(rowBytes);
    for (uint64_t r = 0; r < count; ++r) {
        uint8_t* row = rows + r * rowBytes;
        switch (depth) {
            case 8:
                undoBytes(row, rowBytes);
                break;
            case 16:
                undoWords(row, width);
                break;
            case 32: {
                undoBytes(row, rowBytes);
                uint8_t* planes = scratch.data();
                std::copy(row, row + rowBytes, planes);
                for (uint64_t x = 0; x < width; ++x) {
                    for (uint64_t b = 0; b < 4; ++b) row[4 * x + b] = planes[b * width + x];
                }
                break;
            }
        }
    }
    return true;
}

bool inflateZipChannel(const uint8_t* data, size_t size, bool predicted, uint16_t depth, uint64_t width, uint64_t rows,
                       uint8_t* out, std::string& problem) {
    if (predicted && depth != 8 && depth != 16 && depth != 32) {
        problem = "ZIP prediction is not defined for " + std::to_string(depth) + "-bit channels";
        return false;
    }
    const uint64_t rowBytes = storedRowBytes(width, depth);
    if (rowBytes != 0 && rows > SIZE_MAX / rowBytes) {
        problem = "the channel's rows are too large to hold";
        return false;
    }
    const uint64_t total = rowBytes * rows;
    if (total == 0) return true;
    const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(libdeflate_alloc_decompressor());
    if (decompressor == nullptr) throw std::bad_alloc();
    // Without room for the actual size, libdeflate fails unless the stream gives exactly total bytes.
    switch (libdeflate_zlib_decompress(decompressor.get(), data, size, out, static_cast<size_t>(total), nullptr)) {
        case LIBDEFLATE_SUCCESS:
            break;
        case LIBDEFLATE_SHORT_OUTPUT:
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            problem = "the ZIP data does not inflate to exactly " + std::to_string(total) + " bytes";
            return false;
        default:
            problem = "the ZIP data is damaged";
            return false;
    }
    if (predicted) {
        std::vector<uint8_t> scratch;
        unpredictRows(out, rows, width, depth, scratch);
    }
    return true;
}

}  // namespace psd
