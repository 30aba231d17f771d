#pragma once
// Writing a channel's pixel data as the file holds it: a 16-bit byte count per row, then the rows,
// each packed with PackBits. ChannelDecoder.h is the reading half.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdOutput.h"
#include "image/Layer.h"

namespace psd {

// One channel to pack: height rows of width bytes, `step` bytes apart within a row; row y (from the
// top) starts at origin + y * rowStride, so a bottom-up image has a negative stride.
struct ChannelSource {
    const uint8_t* origin = nullptr;
    ptrdiff_t rowStride = 0;
    size_t step = 1;
    int32_t width = 0;
    int32_t height = 0;
};

// Channel byteIndex of a layer's blue-green-red-alpha pixels.
ChannelSource layerChannel(const Layer& layer, int byteIndex);
// Whether the layer's pixels hold all of it, and at least w x h of it.
inline bool pixelsCover(const Layer& layer, int64_t w, int64_t h) {
    return layer.width >= 0 && layer.height >= 0 && layer.width >= w && layer.height >= h &&
           layer.pixels.size() >= Layer::pixelBytes(layer.width, layer.height);
}

// A channel packed row by row: its row byte counts and the packed rows one after another. Packing
// into one that held a channel before reuses its storage.
struct PackedChannel {
    std::vector<uint16_t> rowCounts;
    PixelBytes rows;
    // Bytes the counts and rows take in the file.
    uint64_t size() const { return 2 * static_cast<uint64_t>(rowCounts.size()) + rows.size(); }
};

// Packs every row of one channel; it touches nothing but its source and its result, so channels can
// be packed independently. False when a row's packed length does not fit its 16-bit count.
bool packChannel(const ChannelSource& source, PackedChannel& packed);

// The most bytes a channel's counts and rows can take: every row packed at its longest.
uint64_t worstPackedSize(const ChannelSource& source);
// Gives packed room for the channel's rows at their longest in one block, so that packing never
// grows it; a block that large comes in large pages, faulted in far fewer steps than a growing one.
void reserveWorst(const ChannelSource& source, PackedChannel& packed);
// Whether every row of the channel packs short enough for its 16-bit count, and the bytes its
// counts and rows would take, without keeping them.
bool measureChannel(const ChannelSource& source, uint64_t& size);

void writeRowCounts(BigEndianOutput& out, const PackedChannel& channel);
inline void writePackedRows(BigEndianOutput& out, const PackedChannel& channel) {
    out.bytes(channel.rows.data(), channel.rows.size());
}

}  // namespace psd
