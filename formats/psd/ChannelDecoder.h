#pragma once
// Reading a channel's pixel data as the file holds it: a byte count per row (16-bit, 32-bit in a
// large document), then the rows, each packed with PackBits (or the rows raw, without the counts;
// ZIP channels are inflated to raw rows first). Layers and the merged image
// share it; PackedChannel.h is the writing half.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "formats/psd/PsdLayout.h"
#include "image/ByteInput.h"

namespace psd {

// A big-endian unsigned integer of `bytes` bytes (1 to 8); false when it is not all in the file.
bool readBeSized(ByteInput& in, size_t bytes, uint64_t& value);

// Appends count row byte counts of countBytes bytes each (2 or 4), read in one piece; false when
// they are not all in the file.
bool readRowCounts(ByteInput& in, uint64_t count, size_t countBytes, std::vector<uint32_t>& counts);
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
bool measureChannelRows(const ByteInput& in, uint16_t compression, const uint32_t* rowCounts, uint64_t rows,
                        uint64_t columns, uint64_t& bytes, std::string& problem);

// Whether a compression method is one of the two ZIP methods.
constexpr bool isZip(uint16_t compression) {
    return compression == kCompressionZip || compression == kCompressionZipPredicted;
}

// Checks, before anything is allocated for them, that rows x columns bytes compressed with ZIP into
// compressedBytes can be there: the compressed bytes are in what the file still holds and could
// inflate to that many. On failure, problem says why.
bool measureZipRows(const ByteInput& in, uint64_t compressedBytes, uint64_t rows, uint64_t columns,
                    std::string& problem);

// Inflates a ZIP channel (compression 2 or 3) of samples of depth bits into exactly rows x columns
// bytes at out, as raw rows; false with the reason in problem when it does not.
bool inflateRows(uint16_t compression, const uint8_t* data, size_t size, uint64_t rows, uint64_t columns, uint8_t* out,
                 std::string& problem, uint16_t depth = 8);

// Takes the decoded rows of channels that are not stored as they come: they need converting first.
// Called with row r of each channel of the group, on any thread, once per row.
class RowReceiver {
public:
    virtual void receive(const uint8_t* const* rows, uint64_t r) const = 0;

protected:
    ~RowReceiver() = default;
};

// Rows of a channel read into memory, from row `first` on, as the file holds them.
struct BufferedRows {
    uint16_t compression = kCompressionRaw;
    uint64_t columns = 0;
    const uint32_t* rowCounts = nullptr;  // packed: the count of every row of the channel, from row 0
    uint64_t first = 0;                   // the row that bytes starts with
    const uint8_t* bytes = nullptr;
    uint64_t available = 0;               // how many bytes there are
    ChannelTarget target;
    const RowReceiver* receiver = nullptr;  // when set, the rows go to it, not to target
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
// comes first in the file: the earliest channel's earliest failing row. When the first channel has
// a receiver, every row goes to it instead, a row of each channel at once.
bool decodeRows(std::span<const BufferedRows> channels, uint64_t first, uint64_t end, std::vector<uint8_t>& scratch,
                DecodeFailure& failure);

}  // namespace psd
