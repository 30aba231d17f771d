#include "image/ByteInput.h"

#include <algorithm>
#include <cstring>

#include "image/ByteOrder.h"
#include "image/Platform.h"

namespace {

bool seekAbsolute(std::FILE* file, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) && seekStream(file, static_cast<int64_t>(offset), SEEK_SET);
}

}  // namespace

ByteInput::ByteInput(std::FILE* file) : file_(file) {
    if (file_ == nullptr) {
        sized_ = true;  // an empty source
        return;
    }
    const int64_t start = streamPosition(file_);
    if (start < 0 || !seekStream(file_, 0, SEEK_END)) return;
    const int64_t end = streamPosition(file_);
    // Back to where the caller left the stream, whatever the end position told.
    if (!seekAbsolute(file_, static_cast<uint64_t>(start)) || end < start) return;
    origin_ = static_cast<uint64_t>(start);
    size_ = static_cast<uint64_t>(end - start);
    sized_ = true;
}

ByteInput::ByteInput(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0), sized_(true) {}

size_t ByteInput::readSome(void* destination, size_t count) {
    if (count == 0) return 0;
    size_t got = 0;
    if (file_ != nullptr) {
        got = std::fread(destination, 1, count, file_);
    } else {
        got = static_cast<size_t>(std::min<uint64_t>(count, remaining()));
        if (got != 0) std::memcpy(destination, data_ + position_, got);
    }
    position_ += got;
    return got;
}

bool ByteInput::read(void* destination, size_t count) {
    if (!fits(count)) return false;
    return readSome(destination, count) == count;
}

bool ByteInput::read8(uint8_t& value) { return read(&value, 1); }

bool ByteInput::readBe16(uint16_t& value) {
    uint8_t b[2];
    if (!read(b, sizeof b)) return false;
    value = byteorder::be::load16(b);
    return true;
}

bool ByteInput::readBe32(uint32_t& value) {
    uint8_t b[4];
    if (!read(b, sizeof b)) return false;
    value = byteorder::be::load32(b);
    return true;
}

bool ByteInput::readLe16(uint16_t& value) {
    uint8_t b[2];
    if (!read(b, sizeof b)) return false;
    value = byteorder::le::load16(b);
    return true;
}

bool ByteInput::readLe32(uint32_t& value) {
    uint8_t b[4];
    if (!read(b, sizeof b)) return false;
    value = byteorder::le::load32(b);
    return true;
}

void ByteInput::readBlock(uint64_t count, std::vector<uint8_t>& block) {
    block.clear();
    count = std::min<uint64_t>(count, remaining());
    if (sized_) {
        if (count > SIZE_MAX) return;
        block.resize(static_cast<size_t>(count));
        block.resize(readSome(block.data(), block.size()));
        return;
    }
    constexpr uint64_t kPiece = uint64_t{1} << 20;
    while (block.size() < count) {
        const size_t at = block.size();
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count - at, kPiece));
        block.resize(at + piece);
        const size_t got = readSome(block.data() + at, piece);
        block.resize(at + got);
        if (got < piece) break;
    }
}

bool ByteInput::seek(uint64_t absolute) {
    if (!sized_) return false;
    if (file_ != nullptr && (absolute > UINT64_MAX - origin_ || !seekAbsolute(file_, origin_ + absolute))) return false;
    position_ = absolute;
    return true;
}

bool ByteInput::skip(uint64_t count) {
    if (sized_) return count <= UINT64_MAX - position_ && seek(position_ + count);
    uint8_t scratch[4096];
    while (count != 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, sizeof scratch));
        const size_t got = readSome(scratch, piece);
        if (got < piece) return true;
        count -= got;
    }
    return true;
}
