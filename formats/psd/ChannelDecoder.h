#pragma once
// Reading a channel's pixel data as the file holds it: a 16-bit byte count per row, then the rows,
// each packed with PackBits (or the rows raw, without the counts). Layers and the merged image
// share it; PackedChannel.h is the writing half.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/psd/PsdLayout.h"
#include "image/ByteInput.h"

namespace psd {

// Appends count row byte counts, read in one piece; false when they are not all in the file.
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

// Rows of a channel read into memory, from row `first` on, as the file holds them.
struct BufferedRows {
    uint16_t compression = kCompressionRaw;
    uint64_t columns = 0;
    const uint16_t* rowCounts = nullptr;  // packed: the count of every row of the channel, from row 0
    uint64_t first = 0;                   // the row that bytes starts with
    const uint8_t* bytes = nullptr;
    uint64_t available = 0;               // how many bytes there are
    ChannelTarget target;
};

constexpr size_t kMaxDecodedChannels = kLayerChannelCount;

// Which row of which channel failed first, and why (rows counted from 1 in the reason).
struct DecodeFailure {
    size_t channel = SIZE_MAX;  // its index among those decoded; SIZE_MAX for none
    uint64_t row = 0;
    std::string problem;
};

// Decodes rows first .. end - 1 of one to four buffered channels (given in file order) into their
// targets, a row of each at a time. When they are the four pixel bytes of one plane over one area,
// each row is stored as whole pixels; otherwise each channel's row goes to its target with its
// step, later channels after earlier ones. Bands of rows touch separate rows of the targets, so they
// can be decoded at the same time. When a row does not decode, false, and failure is the one that
// comes first in the file: the earliest channel's earliest failing row.
bool decodeRows(std::span<const BufferedRows> channels, uint64_t first, uint64_t end, std::vector<uint8_t>& scratch,
                DecodeFailure& failure);

}  // namespace psd
