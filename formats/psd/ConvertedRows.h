#pragma once
// Row receivers for documents that are not 8-bit RGB: the channel decoder hands them a band's rows
// and they convert them, through the document's pixel converter, into 8-bit pixels or planes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/psd/ChannelDecoder.h"
#include "formats/psd/PixelConversion.h"

namespace psd {

// Colour rows converted into the blue, green and red of the target's pixels (and their alpha, for
// an indexed document's transparent index).
class ColourRows final : public RowReceiver {
public:
    ColourRows(const PixelConverter& converter, const ChannelTarget& target, uint64_t columns)
        : converter_(converter), target_(target), columns_(columns) {}
    // The colour channel the next channel of the group is; false when it is one already taken.
    bool add(uint32_t colour);
    size_t count() const { return count_; }
    // Channels without rows of their own are read as zeros: whichever of the mode's colours the
    // layer lacks, not only when it has fewer channels than the mode. Only colours with rows to
    // convert need it: their row, as long as the zeros, was measured against the file.
    void fillMissing();
    void receive(const uint8_t* const* rows, uint64_t r) const override;

private:
    const PixelConverter& converter_;
    ChannelTarget target_;
    uint64_t columns_;
    uint32_t slot_[4] = {};
    size_t count_ = 0;
    unsigned taken_ = 0;
    std::vector<uint8_t> zeros_;
};

// Transparency, mask or alpha channel rows of any depth, scaled to 8 bits into the target.
class AlphaRows final : public RowReceiver {
public:
    AlphaRows(const PixelConverter& converter, const ChannelTarget& target, uint64_t columns)
        : converter_(converter), target_(target), columns_(columns) {}
    void receive(const uint8_t* const* rows, uint64_t r) const override;

private:
    const PixelConverter& converter_;
    ChannelTarget target_;
    uint64_t columns_;
};

}  // namespace psd
