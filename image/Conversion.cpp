#include "image/Conversion.h"

bool Conversion::reserve(uint64_t bytes, const char* what) {
    if (budget_.reserve(bytes)) return true;
    return fail(std::string(what) + " need " + std::to_string(bytes) + " bytes with " +
                std::to_string(budget_.used()) + " in use: past the memory budget of " +
                std::to_string(budget_.limit()) + " bytes (" + budget_.name() + ")");
}

bool Conversion::fail(const std::string& reason) {
    if (reason_.empty()) reason_ = reason;
    return false;
}
