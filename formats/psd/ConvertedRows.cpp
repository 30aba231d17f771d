#include "formats/psd/ConvertedRows.h"

#include <algorithm>

namespace psd {
namespace {

// The columns of a row of `columns` samples starting at target.left that lie inside its plane.
void keptColumns(const ChannelTarget& target, uint64_t columns, int64_t& first, int64_t& end) {
    first = std::max<int64_t>(0, -target.left);
    end = std::min<int64_t>(static_cast<int64_t>(std::min<uint64_t>(columns, INT64_MAX)), target.width - target.left);
}

}  // namespace

bool ColourRows::add(uint32_t colour) {
    if (colour >= 4 || (taken_ & (1u << colour)) != 0) return false;
    taken_ |= 1u << colour;
    slot_[count_++] = colour;
    return true;
}

void ColourRows::fillMissing() {
    if (count_ == 0) return;
    for (size_t c = 0; c < converter_.colourChannels(); ++c) {
        if ((taken_ & (1u << c)) == 0) {
            zeros_.assign(static_cast<size_t>(converter_.rowBytes(columns_)), 0);
            return;
        }
    }
}

void ColourRows::receive(const uint8_t* const* rows, uint64_t r) const {
    const int64_t y = target_.top + static_cast<int64_t>(r);
    int64_t first = 0, end = 0;
    keptColumns(target_, columns_, first, end);
    if (target_.plane == nullptr || y < 0 || y >= target_.height || first >= end) return;
    const uint8_t* in[4] = {zeros_.data(), zeros_.data(), zeros_.data(), zeros_.data()};
    for (size_t k = 0; k < count_; ++k) in[slot_[k]] = rows[k];
    // Converted whole, then the part inside the plane kept; alpha 255 marks the pixels the
    // conversion left alone.
    thread_local std::vector<uint8_t> scratch;
    scratch.assign(static_cast<size_t>(columns_) * 4, 255);
    converter_.convertRow(in, columns_, scratch.data(), 4);
    // Column x lies at left + x of the plane, never left of it: first keeps it inside.
    const int64_t at = y * target_.width + target_.left;
    for (int64_t x = first; x < end; ++x) {
        const uint8_t* from = &scratch[static_cast<size_t>(x) * 4];
        uint8_t* to = target_.plane + static_cast<size_t>(at + x) * 4;
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
        if (from[3] == 0) to[3] = 0;
    }
}

void AlphaRows::receive(const uint8_t* const* rows, uint64_t r) const {
    const int64_t y = target_.top + static_cast<int64_t>(r);
    int64_t first = 0, end = 0;
    keptColumns(target_, columns_, first, end);
    if (target_.plane == nullptr || y < 0 || y >= target_.height || first >= end) return;
    thread_local std::vector<uint8_t> scratch;
    scratch.resize(static_cast<size_t>(columns_));
    converter_.convertAlphaRow(rows[0], columns_, scratch.data(), 1);
    const size_t step = target_.step;
    // Column x lies at left + x of the plane, never left of it: first keeps it inside.
    const int64_t at = y * target_.width + target_.left;
    for (int64_t x = first; x < end; ++x) target_.plane[static_cast<size_t>(at + x) * step] = scratch[static_cast<size_t>(x)];
}

}  // namespace psd
