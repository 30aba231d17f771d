#include "formats/psd/PsdInput.h"

#include "formats/psd/PsdLayout.h"
#include "image/Platform.h"

namespace psd {
namespace {

bool seekAbsolute(std::FILE* file, uint64_t offset) {
    return offset <= static_cast<uint64_t>(INT64_MAX) && seekStream(file, static_cast<int64_t>(offset), SEEK_SET);
}

}  // namespace

Input::Input(std::FILE* file) : file_(file) {
    if (file_ == nullptr) return;
    const int64_t start = streamPosition(file_);
    if (start < 0 || !seekStream(file_, 0, SEEK_END)) return;
    const int64_t end = streamPosition(file_);
    if (end < 0 || !seekAbsolute(file_, static_cast<uint64_t>(start))) return;
    position_ = static_cast<uint64_t>(start);
    size_ = static_cast<uint64_t>(end);
    ok_ = true;
}

bool Input::read(void* destination, size_t bytes) {
    if (!ok_ || !fits(bytes)) return false;
    if (bytes == 0) return true;
    const size_t got = std::fread(destination, 1, bytes, file_);
    position_ += got;
    return got == bytes;
}

bool Input::read8(uint8_t& value) { return read(&value, 1); }

bool Input::read16(uint16_t& value) {
    uint8_t bytes[2];
    if (!read(bytes, sizeof bytes)) return false;
    value = load16(bytes);
    return true;
}

bool Input::read32(uint32_t& value) {
    uint8_t bytes[4];
    if (!read(bytes, sizeof bytes)) return false;
    value = load32(bytes);
    return true;
}

bool Input::readPascalString(size_t padding, std::string& text) {
    uint8_t length = 0;
    if (!read8(length)) return false;
    char field[kMaxNameLength + 4];
    const size_t rest = static_cast<size_t>(pascalFieldSize(length, padding) - 1);
    if (rest > sizeof field || !read(field, rest)) return false;
    text.assign(field, length);
    return true;
}

bool Input::seek(uint64_t absolute) {
    if (!ok_ || !seekAbsolute(file_, absolute)) return false;
    position_ = absolute;
    return true;
}

}  // namespace psd
