#include "formats/psd/PsdInput.h"

#include <sys/types.h>

#include "formats/psd/PsdLayout.h"

namespace psd {
namespace {

// 64-bit stream positions: `long` is 32 bits on Windows.
bool seekAbsolute(std::FILE* file, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    if (offset > static_cast<uint64_t>(static_cast<off_t>(INT64_MAX))) return false;
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

bool seekEnd(std::FILE* file) {
#ifdef _WIN32
    return _fseeki64(file, 0, SEEK_END) == 0;
#else
    return fseeko(file, 0, SEEK_END) == 0;
#endif
}

int64_t tell(std::FILE* file) {
#ifdef _WIN32
    return _ftelli64(file);
#else
    return static_cast<int64_t>(ftello(file));
#endif
}

}  // namespace

Input::Input(std::FILE* file) : file_(file) {
    if (file_ == nullptr) return;
    const int64_t start = tell(file_);
    if (start < 0 || !seekEnd(file_)) return;
    const int64_t end = tell(file_);
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

bool Input::seek(uint64_t absolute) {
    if (!ok_ || !seekAbsolute(file_, absolute)) return false;
    position_ = absolute;
    return true;
}

}  // namespace psd
