#pragma once
// Channels stored with ZIP compression: a zlib stream of the channel's rows (compression 2), or of
// the rows delta-coded first (3, "ZIP with prediction"). libdeflate inflates them in one piece,
// straight into the rows the channel must have.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace psd {

// A deflate stream expands at most 1032:1 (a 258-byte match in two one-bit codes), plus a little for
// the zlib container: compressed bytes that cannot inflate to a channel's rows fail before anything
// is allocated for them.
constexpr bool zipCanInflateTo(uint64_t compressedBytes, uint64_t bytes) {
    return compressedBytes < (UINT64_MAX - 1024) / 1032 ? bytes <= compressedBytes * 1032 + 1024 : true;
}

// Inflates the zlib stream at the start of data into exactly rows rows of storedRowBytes(width,
// depth) bytes at out, then, when predicted, undoes the prediction (unpredictRows). The rows come out
// as the file stores raw rows: big-endian 16-bit words, big-endian 32-bit floats, packed bits.
// False when the stream is damaged or does not inflate to exactly that many bytes, or prediction is
// asked at a depth that has none; problem then says why, and the rows are undefined. Bytes after the
// end of the stream are ignored, and a channel of no bytes reads nothing. Throws std::bad_alloc when
// libdeflate cannot have its decompressor.
bool inflateZipChannel(const uint8_t* data, size_t size, bool predicted, uint16_t depth, uint64_t width, uint64_t rows,
                       uint8_t* out, std::string& problem);

// Undoes ZIP prediction on rows inflated but not yet decoded, in place; rows are independent, so
// bands of them can be undone at once. Each row is delta-coded from its first sample: 8-bit bytewise,
// 16-bit on big-endian words (modulo 65536). A 32-bit row was also split into byte planes before the
// delta (all first bytes of its big-endian floats, then all second bytes, ...) and is delta-coded
// bytewise across its 4 x width bytes: the delta is undone first, then the planes are put back
// together through scratch. False for depths other than 8, 16 and 32.
bool unpredictRows(uint8_t* rows, uint64_t count, uint64_t width, uint16_t depth, std::vector<uint8_t>& scratch);

}  // namespace psd
