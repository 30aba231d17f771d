#pragma once
// Pascal string fields, read and written by one pair: a length byte, at most kMaxNameLength bytes
// of text (longer text is cut when written), then zero bytes up to a multiple of the field's
// padding.
#include <cstddef>
#include <string>

#include "image/ByteInput.h"

namespace psd {

std::string pascalString(const std::string& text, size_t padding);
bool readPascalString(ByteInput& in, size_t padding, std::string& text);

}  // namespace psd
