// PackBits both ways: decoding any bytes stays inside both buffers, and whatever is encoded
// decodes back to itself.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "formats/psd/PackBits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 0x10000) return 0;
    // The first two bytes choose the row length; the rest is the packed row. Exact-size heap
    // buffers, so that a step past either end is seen.
    const int32_t rowLength = data[0] | (data[1] << 8);
    const int32_t packedLength = static_cast<int32_t>(size - 2);
    std::unique_ptr<uint8_t[]> packed(new uint8_t[packedLength > 0 ? packedLength : 1]);
    if (packedLength > 0) std::memcpy(packed.get(), data + 2, static_cast<size_t>(packedLength));
    std::unique_ptr<uint8_t[]> row(new uint8_t[rowLength > 0 ? rowLength : 1]);
    packBitsDecode(packed.get(), packedLength, row.get(), rowLength);

    // Encode the packed bytes as if they were a row, then decode.
    const int32_t length = packedLength;
    const int32_t needed = packBitsEncode(packed.get(), length, nullptr);
    std::unique_ptr<uint8_t[]> encoded(new uint8_t[needed > 0 ? needed : 1]);
    if (packBitsEncode(packed.get(), length, encoded.get()) != needed) std::abort();
    std::unique_ptr<uint8_t[]> decoded(new uint8_t[length > 0 ? length : 1]);
    if (!packBitsDecode(encoded.get(), needed, decoded.get(), length)) std::abort();
    if (length > 0 && std::memcmp(decoded.get(), packed.get(), static_cast<size_t>(length)) != 0) std::abort();
    return 0;
}
