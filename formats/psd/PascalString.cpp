#include "formats/psd/PascalString.h"

#include "formats/psd/PsdLayout.h"

namespace psd {

std::string pascalString(const std::string& text, size_t padding) {
    const size_t n = text.size() < kMaxNameLength ? text.size() : kMaxNameLength;
    std::string field(1, static_cast<char>(n));
    field.append(text, 0, n);
    field.resize(static_cast<size_t>(pascalFieldSize(n, padding)), '\0');
    return field;
}

bool readPascalString(ByteInput& in, size_t padding, std::string& text) {
    uint8_t length = 0;
    if (!in.read8(length)) return false;
    const uint64_t rest = pascalFieldSize(length, padding) - 1;
    if (!in.fits(rest)) return false;
    std::string field(static_cast<size_t>(rest), '\0');
    if (!in.read(field.data(), field.size())) return false;
    field.resize(length);
    text = std::move(field);
    return true;
}

}  // namespace psd
