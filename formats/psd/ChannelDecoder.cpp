#include "formats/psd/ChannelDecoder.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/psd/PackBits.h"
#include "formats/psd/ZipChannel.h"

namespace psd {
namespace {

// A PSD row's packed length is a 16-bit count, and PackBits turns at most 2 packed bytes into 128:
// no longer row can ever unpack, so nothing longer is allocated for one. Large documents are at most
// 300000 wide, well within it.
constexpr uint64_t kMaxUnpackedRow = (kMaxPackedRow + 1) / 2 * 128;

// The columns of a channel's rows that land inside its target's plane: [first, end).
struct KeptColumns {
    int64_t first = 0;
    int64_t end = 0;
};

KeptColumns keptColumns(const ChannelTarget& target, uint64_t columns) {
    return {std::max<int64_t>(0, -target.left),
            std::min<int64_t>(static_cast<int64_t>(std::min<uint64_t>(columns, INT64_MAX)), target.width - target.left)};
}

// Copies the part of row r that lies inside the plane to its place there.
void keepRow(const ChannelTarget& target, const KeptColumns& kept, uint64_t r, const uint8_t* row) {
    const int64_t y = target.top + static_cast<int64_t>(r);
    if (target.plane == nullptr || y < 0 || y >= target.height || kept.first >= kept.end) return;
    // Held in locals: the byte stores could otherwise alias them and force a reload per byte.
    const size_t step = target.step;
    const size_t count = static_cast<size_t>(kept.end - kept.first);
    uint8_t* out = target.plane + static_cast<size_t>(y * target.width + target.left + kept.first) * step;
    const uint8_t* in = row + kept.first;
    if (step == 4) {
        for (size_t k = 0; k < count; ++k) out[k * 4] = in[k];
    } else {
        for (size_t k = 0; k < count; ++k) out[k * step] = in[k];
    }
}

// Stores count pixels whose bytes come from four rows, one row per pixel byte.
void interleave(const uint8_t* const (&in)[kLayerChannelCount], size_t count, uint8_t* out) {
    const uint8_t *b = in[0], *g = in[1], *r = in[2], *a = in[3];
    size_t k = 0;
#if defined(__SSE2__)
    for (; k + 16 <= count; k += 16) {
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + k));
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + k));
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
        const __m128i bgLow = _mm_unpacklo_epi8(vb, vg), bgHigh = _mm_unpackhi_epi8(vb, vg);
        const __m128i raLow = _mm_unpacklo_epi8(vr, va), raHigh = _mm_unpackhi_epi8(vr, va);
        __m128i* o = reinterpret_cast<__m128i*>(out + k * 4);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(bgLow, raLow));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(bgLow, raLow));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
#endif
    for (; k < count; ++k) {
        out[k * 4] = b[k];
        out[k * 4 + 1] = g[k];
        out[k * 4 + 2] = r[k];
        out[k * 4 + 3] = a[k];
    }
}

// Whether the channels are the four pixel bytes of one plane over one area, so that their rows can
// be stored as whole pixels; byByte[b] is then the channel of pixel byte b.
bool wholePixels(std::span<const BufferedRows> channels, size_t (&byByte)[kLayerChannelCount]) {
    if (channels.size() != kLayerChannelCount) return false;
    const BufferedRows& any = channels[0];
    uintptr_t base = UINTPTR_MAX;
    for (const BufferedRows& c : channels) {
        const ChannelTarget& t = c.target;
        if (t.step != kLayerChannelCount || c.columns != any.columns ||
            t.width != any.target.width || t.height != any.target.height || t.top != any.target.top ||
            t.left != any.target.left)
            return false;
        base = std::min(base, reinterpret_cast<uintptr_t>(t.plane));
    }
    unsigned seen = 0;
    for (size_t i = 0; i < channels.size(); ++i) {
        const uintptr_t byte = reinterpret_cast<uintptr_t>(channels[i].target.plane) - base;
        if (byte >= kLayerChannelCount || (seen & (1u << byte)) != 0) return false;
        seen |= 1u << byte;
        byByte[byte] = i;
    }
    return true;
}

// Where the packed bytes of row r of a buffered channel start among its bytes (raw rows need none).
uint64_t packedOffset(const BufferedRows& channel, uint64_t r) {
    uint64_t at = 0;
    if (channel.compression == kCompressionRaw) return at;
    for (uint64_t k = channel.first; k < r; ++k) at += channel.rowCounts[k];
    return at;
}

// Row r of a buffered channel into data: where it lies when raw, else unpacked into buffer from
// `at`, which then moves past its packed bytes. False when the row is not all there or does not
// unpack.
bool fetchRow(const BufferedRows& channel, uint64_t r, uint64_t& at, uint8_t* buffer, const uint8_t*& data) {
    const uint64_t columns = channel.columns;
    if (r < channel.first) return false;
    if (channel.compression == kCompressionRaw) {
        const uint64_t end = (r - channel.first + 1) * columns;
        if (end > channel.available) return false;
        data = channel.bytes + (end - columns);
        return true;
    }
    const uint32_t count = channel.rowCounts[r];
    if (columns > kMaxUnpackedRow || at + count > channel.available ||
        !packBitsDecode(channel.bytes + at, static_cast<int32_t>(std::min<uint32_t>(count, INT32_MAX)), buffer,
                        static_cast<int32_t>(columns)))
        return false;
    at += count;
    data = buffer;
    return true;
}

std::string rowProblem(const BufferedRows& channel, uint64_t r) {
    const std::string row = "row " + std::to_string(r + 1) + ": ";
    if (channel.compression == kCompressionRaw) return row + "cannot be read";
    return row + "packed row of " + std::to_string(channel.rowCounts[r]) + " bytes does not unpack to " +
           std::to_string(channel.columns);
}

}  // namespace

bool readBeSized(ByteInput& in, size_t bytes, uint64_t& value) {
    uint8_t raw[8];
    if (bytes > sizeof raw || !in.read(raw, bytes)) return false;
    value = loadBe(raw, bytes);
    return true;
}

bool readRowCounts(ByteInput& in, uint64_t count, size_t countBytes, std::vector<uint32_t>& counts) {
    const uint64_t bytes = product(count, countBytes);
    if (!in.fits(bytes)) return false;
    const size_t at = counts.size();
    counts.resize(at + static_cast<size_t>(count));
    // Read over the counts' own storage (each as wide as the widest count), then each turned from
    // the file's byte order in place, back to front: count i's bytes never lie after where it goes.
    uint8_t* raw = reinterpret_cast<uint8_t*>(counts.data() + at);
    if (!in.read(raw, static_cast<size_t>(bytes))) {
        counts.resize(at);
        return false;
    }
    for (size_t i = static_cast<size_t>(count); i-- > 0;)
        counts[at + i] = static_cast<uint32_t>(loadBe(raw + countBytes * i, countBytes));
    return true;
}

bool measureChannelRows(const ByteInput& in, uint16_t compression, const uint32_t* rowCounts, uint64_t rows,
                        uint64_t columns, uint64_t& bytes, std::string& problem) {
    bytes = 0;
    if (rows == 0) return true;
    if (compression == kCompressionRaw) {
        // Empty rows take no bytes: billions of them are no reason to loop.
        if (columns == 0) return true;
        bytes = product(rows, columns);
        if (!in.fits(bytes)) {
            problem = "the raw rows run past the end of the file";
            return false;
        }
        return true;
    }
    if (columns > kMaxUnpackedRow) {
        problem = "rows of " + std::to_string(columns) + " bytes are longer than a packed row can unpack to";
        return false;
    }
    uint64_t packedTotal = 0;
    for (uint64_t r = 0; r < rows; ++r) packedTotal += rowCounts[r];
    if (!in.fits(packedTotal)) {
        problem = "the packed rows run past the end of the file";
        return false;
    }
    bytes = packedTotal;
    return true;
}

bool measureZipRows(const ByteInput& in, uint64_t compressedBytes, uint64_t rows, uint64_t columns,
                    std::string& problem) {
    if (!in.fits(compressedBytes)) {
        problem = "the compressed rows run past the end of the file";
        return false;
    }
    if (!zipCanInflateTo(compressedBytes, product(rows, columns))) {
        problem = std::to_string(compressedBytes) + " compressed bytes cannot inflate to " + std::to_string(rows) +
                  " rows of " + std::to_string(columns);
        return false;
    }
    return true;
}

bool inflateRows(uint16_t compression, const uint8_t* data, size_t size, uint64_t rows, uint64_t columns, uint8_t* out,
                 std::string& problem, uint16_t depth) {
    // Bit rows hold 8 samples a byte; wider samples take depth / 8 bytes each.
    const uint64_t width = depth == 1 ? columns * 8 : columns / std::max<uint16_t>(1, depth / 8);
    return inflateZipChannel(data, size, compression == kCompressionZipPredicted, depth, width, rows, out, problem);
}

bool decodeRows(std::span<const BufferedRows> channels, uint64_t first, uint64_t end, std::vector<uint8_t>& scratch,
                DecodeFailure& failure) {
    channels = channels.first(std::min(channels.size(), kMaxDecodedChannels));
    const size_t count = channels.size();
    if (first >= end || count == 0) return true;
    KeptColumns kept[kMaxDecodedChannels];
    uint64_t at[kMaxDecodedChannels];
    size_t slot[kMaxDecodedChannels];
    // Packed rows are unpacked into a row each of scratch; raw rows are read where they lie.
    size_t scratchBytes = 0;
    for (size_t i = 0; i < count; ++i) {
        const BufferedRows& c = channels[i];
        kept[i] = keptColumns(c.target, c.columns);
        at[i] = packedOffset(c, first);
        slot[i] = 0;
        if (c.compression != kCompressionRaw && c.columns <= kMaxUnpackedRow) {
            slot[i] = scratchBytes;
            scratchBytes += static_cast<size_t>(c.columns);
        }
    }
    if (scratch.size() < scratchBytes) scratch.resize(scratchBytes);
    size_t byByte[kLayerChannelCount];
    const bool whole = wholePixels(channels, byByte);
    const ChannelTarget& pixels = channels[whole ? byByte[0] : 0].target;

    // Channels from `live` on are past a failure found in an earlier one: only the earlier ones are
    // decoded on, since a failure of theirs, however far down, comes first in the file.
    size_t live = count;
    const uint8_t* row[kMaxDecodedChannels];
    for (uint64_t r = first; r < end && live > 0; ++r) {
        for (size_t i = 0; i < live; ++i) {
            if (!fetchRow(channels[i], r, at[i], scratch.data() + slot[i], row[i])) {
                failure = {i, r, rowProblem(channels[i], r)};
                live = i;
            }
        }
        if (live < count) continue;
        if (channels[0].receiver != nullptr) {
            channels[0].receiver->receive(row, r);
            continue;
        }
        if (!whole) {
            for (size_t i = 0; i < count; ++i) keepRow(channels[i].target, kept[i], r, row[i]);
            continue;
        }
        const int64_t y = pixels.top + static_cast<int64_t>(r);
        if (y < 0 || y >= pixels.height || kept[0].first >= kept[0].end) continue;
        const size_t from = static_cast<size_t>(kept[0].first);
        const uint8_t* in[kLayerChannelCount];
        for (size_t b = 0; b < kLayerChannelCount; ++b) in[b] = row[byByte[b]] + from;
        interleave(in, static_cast<size_t>(kept[0].end - kept[0].first),
                   pixels.plane + static_cast<size_t>(y * pixels.width + pixels.left + kept[0].first) * 4);
    }
    return live == count;
}

}  // namespace psd
