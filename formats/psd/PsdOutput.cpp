#include "formats/psd/PsdOutput.h"

#include "formats/psd/PsdLayout.h"
#include "image/Platform.h"

namespace psd {

void BigEndianOutput::bytes(const void* data, size_t count) {
    if (count == 0) return;
    if (std::fwrite(data, 1, count, out_) != count) failed_ = true;
}

void BigEndianOutput::u16(uint16_t value) {
    uint8_t b[2];
    store16(b, value);
    bytes(b, 2);
}

void BigEndianOutput::u32(uint32_t value) {
    uint8_t b[4];
    store32(b, value);
    bytes(b, 4);
}

uint64_t BigEndianOutput::fill(uint64_t count, uint8_t value) {
    uint8_t chunk[256];
    std::memset(chunk, value, sizeof chunk);
    for (uint64_t left = count; left > 0;) {
        const size_t n = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
        bytes(chunk, n);
        left -= n;
    }
    return count;
}

int64_t BigEndianOutput::position() {
    const int64_t at = streamPosition(out_);
    if (at < 0) failed_ = true;
    return at;
}

void BigEndianOutput::seek(int64_t position) {
    if (!seekStream(out_, position, SEEK_SET)) failed_ = true;
}

PatchedLength::PatchedLength(BigEndianOutput& out) : out_(out), at_(out.position()) { out_.u32(0); }

uint64_t PatchedLength::bytesSince() {
    const int64_t now = out_.position();
    return now >= at_ + 4 ? static_cast<uint64_t>(now - at_ - 4) : 0;
}

// The writer has checked beforehand that every length it patches fits in 32 bits.
PatchedLength::~PatchedLength() {
    const int64_t end = out_.position();
    if (at_ < 0 || end < 0) return;  // already marked failed
    out_.seek(at_);
    out_.u32(static_cast<uint32_t>(end - at_ - 4));
    out_.seek(end);
}

}  // namespace psd
