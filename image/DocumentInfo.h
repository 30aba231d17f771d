#pragma once
#include <cstdint>

// Size and resolution of a document: filled by a reader, read by a writer and by the driver.
struct DocumentInfo {
    int32_t width = 0;
    int32_t height = 0;
    int32_t resolution = 72;  // dots per inch
};
