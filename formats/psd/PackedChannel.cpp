#include "formats/psd/PackedChannel.h"

#include <algorithm>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/psd/PackBits.h"
#include "formats/psd/PsdLayout.h"

namespace psd {
namespace {

// A row's packed length is a 16-bit count, and PackBits turns at most 2 packed bytes into 128: no
// longer row can ever unpack, so nothing longer is allocated for one.
constexpr uint64_t kMaxUnpackedRow = (kMaxPackedRow + 1) / 2 * 128;

size_t widthOf(const ChannelSource& source) { return source.width > 0 ? static_cast<size_t>(source.width) : 0; }
size_t heightOf(const ChannelSource& source) { return source.height > 0 ? static_cast<size_t>(source.height) : 0; }

// Calls f(row, y) for every row of the channel, gathered into one contiguous buffer, until f
// returns false.
template <typename F>
void forEachRow(const ChannelSource& source, F&& f) {
    const size_t width = widthOf(source);
    const size_t height = heightOf(source);
    std::vector<uint8_t> row(width);
    for (size_t y = 0; y < height; ++y) {
        if (width > 0) {
            const uint8_t* src = source.origin + static_cast<ptrdiff_t>(y) * source.rowStride;
            size_t x = 0;
#if defined(__SSE2__)
            // Sixteen pixels at a time: the wanted byte starts each 32-bit lane, and two narrowings
            // bring it down to one byte. The loads run up to 3 bytes into the next pixel, so the
            // last pixel of the row is left to the plain loop.
            if (source.step == 4) {
                const __m128i low = _mm_set1_epi32(0xFF);
                auto lane = [&](size_t at) {
                    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at * 4)), low);
                };
                for (; x + 17 <= width; x += 16) {
                    const __m128i a = _mm_packs_epi32(lane(x), lane(x + 4));
                    const __m128i b = _mm_packs_epi32(lane(x + 8), lane(x + 12));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(row.data() + x), _mm_packus_epi16(a, b));
                }
            }
#endif
            for (; x < width; ++x) row[x] = src[x * source.step];
        }
        if (!f(row.data(), y)) return;
    }
}

}  // namespace

ChannelSource layerChannel(const Layer& layer, int byteIndex) {
    ChannelSource source;
    if (!layer.pixels.empty()) source.origin = layer.pixels.data() + byteIndex;
    source.rowStride = static_cast<ptrdiff_t>(layer.width) * 4;
    source.step = 4;
    source.width = layer.width;
    source.height = layer.height;
    return source;
}

bool packChannel(const ChannelSource& source, PackedChannel& packed) {
    const size_t width = widthOf(source);
    const size_t longest = static_cast<size_t>(packBitsMaxLength(static_cast<int64_t>(width)));
    packed.rowCounts.resize(heightOf(source));
    // Storage with room for every row at its longest (see reserveWorst) is used without growing.
    const size_t worstRows = heightOf(source) * longest;
    if (packed.rows.capacity() >= worstRows) packed.rows.resize(worstRows);
    // Each row is packed once, straight into the kept bytes, with room for its longest form.
    size_t used = 0;
    bool fits = true;
    forEachRow(source, [&](const uint8_t* row, size_t y) {
        if (packed.rows.size() < used + longest) packed.rows.resize(std::max(used + longest, packed.rows.size() * 2));
        const int32_t n = packBitsEncode(row, static_cast<int32_t>(width), packed.rows.data() + used);
        if (n > kMaxPackedRow) return fits = false;
        packed.rowCounts[y] = static_cast<uint16_t>(n);
        used += static_cast<size_t>(n);
        return true;
    });
    packed.rows.resize(used);
    return fits;
}

void reserveWorst(const ChannelSource& source, PackedChannel& packed) {
    const uint64_t worst = worstPackedSize(source);
    if (packed.rows.capacity() >= worst) return;
    // Dropped first: growing would copy what the storage holds.
    PixelBytes().swap(packed.rows);
    packed.rows.reserve(static_cast<size_t>(worst));
}

uint64_t worstPackedSize(const ChannelSource& source) {
    const uint64_t height = heightOf(source);
    return height * 2 + height * static_cast<uint64_t>(packBitsMaxLength(static_cast<int64_t>(widthOf(source))));
}

bool measureChannel(const ChannelSource& source, uint64_t& size) {
    const int32_t width = static_cast<int32_t>(widthOf(source));
    size = 0;
    bool fits = true;
    forEachRow(source, [&](const uint8_t* row, size_t) {
        const int32_t n = packBitsEncode(row, width, nullptr);
        if (n > kMaxPackedRow) return fits = false;
        size += 2 + static_cast<uint64_t>(n);
        return true;
    });
    return fits;
}

void writeRowCounts(BigEndianOutput& out, const PackedChannel& channel) {
    std::vector<uint8_t> table(channel.rowCounts.size() * 2);
    for (size_t y = 0; y < channel.rowCounts.size(); ++y) store16(table.data() + y * 2, channel.rowCounts[y]);
    out.bytes(table.data(), table.size());
}

bool readRowCounts(ByteInput& in, uint64_t count, std::vector<uint16_t>& counts) {
    const uint64_t bytes = product(count, 2);
    if (!in.fits(bytes)) return false;
    std::vector<uint8_t> raw(static_cast<size_t>(bytes));
    if (!in.read(raw.data(), raw.size())) return false;
    counts.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < counts.size(); ++i) counts[i] = load16(raw.data() + 2 * i);
    return true;
}

namespace {

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

std::string rawRowUnread(uint64_t r) { return "row " + std::to_string(r + 1) + ": cannot be read"; }

std::string packedRowUnpacked(uint64_t r, uint16_t count, uint64_t columns) {
    return "row " + std::to_string(r + 1) + ": packed row of " + std::to_string(count) + " bytes does not unpack to " +
           std::to_string(columns);
}

}  // namespace

bool measureChannelRows(const ByteInput& in, uint16_t compression, const uint16_t* rowCounts, uint64_t rows,
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

bool readChannelRows(ByteInput& in, uint16_t compression, const uint16_t* rowCounts, uint64_t rows,
                     uint64_t columns, const ChannelTarget& target, std::string& problem) {
    uint64_t bytes = 0;
    if (!measureChannelRows(in, compression, rowCounts, rows, columns, bytes, problem)) return false;
    if (rows == 0 || (compression == kCompressionRaw && columns == 0)) return true;
    const KeptColumns kept = keptColumns(target, columns);
    std::vector<uint8_t> row(static_cast<size_t>(columns));
    if (compression == kCompressionRaw) {
        for (uint64_t r = 0; r < rows; ++r) {
            if (!in.read(row.data(), row.size())) {
                problem = rawRowUnread(r);
                return false;
            }
            keepRow(target, kept, r, row.data());
        }
        return true;
    }
    std::vector<uint8_t> packed(kMaxPackedRow);
    for (uint64_t r = 0; r < rows; ++r) {
        const uint16_t count = rowCounts[r];
        const bool unpacked = in.read(packed.data(), count) &&
                              packBitsDecode(packed.data(), count, row.data(), static_cast<int32_t>(columns));
        if (!unpacked) {
            problem = packedRowUnpacked(r, count, columns);
            return false;
        }
        keepRow(target, kept, r, row.data());
    }
    return true;
}

namespace {

// Where the packed bytes of row first of a buffered channel start (0 for raw rows).
uint64_t packedOffset(const BufferedRows& channel, uint64_t first) {
    uint64_t at = 0;
    if (channel.compression == kCompressionRaw) return at;
    for (uint64_t r = 0; r < first; ++r) at += channel.rowCounts[r];
    return at;
}

// Row r of a buffered channel into data: where it lies when raw, else unpacked into buffer from
// `at`, which then moves past its packed bytes. False when the row did not arrive whole or does
// not unpack.
bool bufferedRow(const BufferedRows& channel, uint64_t r, uint64_t& at, uint8_t* buffer, const uint8_t*& data) {
    const uint64_t columns = channel.columns;
    if (channel.compression == kCompressionRaw) {
        // Only rows that arrived whole were read; the file ended before the first of the others.
        if ((r + 1) * columns > channel.available) return false;
        data = channel.bytes + r * columns;
        return true;
    }
    const uint16_t count = channel.rowCounts[r];
    if (at + count > channel.available ||
        !packBitsDecode(channel.bytes + at, count, buffer, static_cast<int32_t>(columns)))
        return false;
    at += count;
    data = buffer;
    return true;
}

}  // namespace

bool unpackRows(const BufferedRows& channel, uint64_t first, uint64_t end, std::vector<uint8_t>& row,
                uint64_t& failedRow, std::string& problem) {
    const uint64_t columns = channel.columns;
    const bool raw = channel.compression == kCompressionRaw;
    if (first >= end || (raw && columns == 0)) return true;
    const KeptColumns kept = keptColumns(channel.target, columns);
    if (!raw) row.resize(static_cast<size_t>(columns));
    uint64_t at = packedOffset(channel, first);
    for (uint64_t r = first; r < end; ++r) {
        const uint8_t* data = nullptr;
        if (!bufferedRow(channel, r, at, raw ? nullptr : row.data(), data)) {
            failedRow = r;
            problem = raw ? rawRowUnread(r) : packedRowUnpacked(r, channel.rowCounts[r], columns);
            return false;
        }
        keepRow(channel.target, kept, r, data);
    }
    return true;
}

namespace {

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

}  // namespace

bool interleavable(const BufferedRows* const (&channels)[kLayerChannelCount]) {
    const BufferedRows* first = channels[0];
    // Rows longer than any packed row can unpack to are left to the channel-by-channel path,
    // which refuses them before sizing a buffer for one.
    if (first == nullptr || first->target.plane == nullptr || first->columns == 0 || first->columns > kMaxUnpackedRow)
        return false;
    for (size_t b = 0; b < kLayerChannelCount; ++b) {
        const BufferedRows* c = channels[b];
        if (c == nullptr || c->rows != first->rows || c->columns != first->columns) return false;
        const ChannelTarget& t = c->target;
        if (t.step != 4 || t.plane != first->target.plane + b || t.width != first->target.width ||
            t.height != first->target.height || t.top != first->target.top || t.left != first->target.left)
            return false;
    }
    return true;
}

bool unpackPixelRows(const BufferedRows* const (&channels)[kLayerChannelCount], uint64_t first, uint64_t end,
                     std::vector<uint8_t>& rows) {
    const BufferedRows& any = *channels[0];
    const ChannelTarget& target = any.target;
    const uint64_t columns = any.columns;
    const KeptColumns kept = keptColumns(target, columns);
    if (first >= end) return true;
    // Raw rows are read where they lie: only packed ones need a row buffer.
    auto packed = [](const BufferedRows* c) { return c->compression != kCompressionRaw; };
    if (std::any_of(std::begin(channels), std::end(channels), packed))
        rows.resize(static_cast<size_t>(columns) * kLayerChannelCount);
    uint64_t at[kLayerChannelCount];
    for (size_t b = 0; b < kLayerChannelCount; ++b) at[b] = packedOffset(*channels[b], first);
    const uint8_t* row[kLayerChannelCount];
    for (uint64_t r = first; r < end; ++r) {
        for (size_t b = 0; b < kLayerChannelCount; ++b) {
            uint8_t* buffer = packed(channels[b]) ? rows.data() + b * columns : nullptr;
            if (!bufferedRow(*channels[b], r, at[b], buffer, row[b])) return false;
        }
        const int64_t y = target.top + static_cast<int64_t>(r);
        if (y < 0 || y >= target.height || kept.first >= kept.end) continue;
        const size_t from = static_cast<size_t>(kept.first);
        for (const uint8_t*& p : row) p += from;
        interleave(row, static_cast<size_t>(kept.end - kept.first),
                   target.plane + static_cast<size_t>(y * target.width + target.left + kept.first) * 4);
    }
    return true;
}

}  // namespace psd
