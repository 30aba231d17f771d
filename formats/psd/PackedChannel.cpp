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

}  // namespace psd
