#pragma once
// A channel's pixel data as the file holds it: a 16-bit byte count per row, then the rows, each
// packed with PackBits (or the rows raw, without the counts). Layers and the merged image share it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdOutput.h"
#include "image/ByteInput.h"
#include "image/Layer.h"

namespace psd {

// ---- Writing ----

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

// ---- Reading ----

// Reads count row byte counts in one piece; false when they are not all in the file.
bool readRowCounts(ByteInput& in, uint64_t count, std::vector<uint16_t>& counts);
constexpr char kRowCountsCutShort[] = "the row counts run past the end of the file";

// Where decoded rows go: a plane of width x height entries `step` bytes apart. The channel's first
// row and column lie at (top, left) in it; only the part inside the plane is kept. A null plane
// decodes the rows and keeps nothing.
struct ChannelTarget {
    uint8_t* plane = nullptr;
    size_t step = 1;
    int64_t width = 0;
    int64_t height = 0;
    int64_t top = 0;
    int64_t left = 0;
};

// Checks that rows x columns bytes, raw or packed with the given row counts, can be read from what
// the file still holds, and gives the bytes their rows take there. On failure, problem says why.
bool measureChannelRows(const ByteInput& in, uint16_t compression, const uint16_t* rowCounts, uint64_t rows,
                        uint64_t columns, uint64_t& bytes, std::string& problem);

// Reads rows x columns bytes, raw or packed with the given row counts, into target. Every length is
// checked against what the file still holds before it sizes a buffer or a loop. On failure, problem
// says what was wrong (rows counted from 1).
bool readChannelRows(ByteInput& in, uint16_t compression, const uint16_t* rowCounts, uint64_t rows,
                     uint64_t columns, const ChannelTarget& target, std::string& problem);

// A channel whose rows were read ahead in one piece, to be unpacked later, a band of rows at a time.
struct BufferedRows {
    uint16_t compression = kCompressionRaw;
    const uint16_t* rowCounts = nullptr;
    uint64_t rows = 0;
    uint64_t columns = 0;
    ChannelTarget target;
    const uint8_t* bytes = nullptr;  // the rows as the file holds them
    uint64_t available = 0;          // how many of their bytes arrived
};

// Unpacks rows first .. end - 1 of a buffered channel into its target. Bands of rows touch
// separate parts of the target, so they can be unpacked at the same time. On the first row that
// fails, failedRow is it and problem says what readChannelRows would have said.
bool unpackRows(const BufferedRows& channel, uint64_t first, uint64_t end, std::vector<uint8_t>& row,
                uint64_t& failedRow, std::string& problem);

// Whether the four channels of a layer's pixels, the one for pixel byte b at b (blue, green, red,
// alpha), can be unpacked together by unpackPixelRows: all of one area, each the pixel byte of one
// plane.
bool interleavable(const BufferedRows* const (&channels)[kLayerChannelCount]);

// Unpacks rows first .. end - 1 of four interleavable channels at once, a row of each at a time,
// and stores the kept part of each row as whole pixels: the same pixels as unpackRows on each, in
// one pass over them. False when a row of any of them fails; then unpackRows on each, in file
// order, tells which failure comes first.
bool unpackPixelRows(const BufferedRows* const (&channels)[kLayerChannelCount], uint64_t first, uint64_t end,
                     std::vector<uint8_t>& rows);

}  // namespace psd
