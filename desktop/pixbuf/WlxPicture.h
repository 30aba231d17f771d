#pragma once
// The merged picture of a WLX document, made as the PSD's merged image is: every layer in file
// order onto white paper, with the program's compositor. No PSD channel is packed on the way.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/Conversion.h"

struct WlxPicture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // rows top to bottom, 3 bytes a pixel, no padding
};

// Reads the WLX file at the stream's position and composites it into picture. When the size wanted
// is smaller than the document in either direction, the picture is reduced to fit inside it
// (keeping the proportions is the caller's choice). False, with the reason in conversion, when the
// file is damaged or foreign or the memory budget refuses it.
bool readWlxPicture(std::FILE* in, Conversion& conversion, WlxPicture& picture, int32_t wantedWidth = 0,
                    int32_t wantedHeight = 0);

// Reduces a w x h RGB picture to outW x outH (each at most the source's) by area averaging: each
// output pixel is the mean of the source area it covers, partly covered pixels counting by their
// share. For thumbnails, where the source is far larger than the output.
std::vector<uint8_t> boxReduce(const std::vector<uint8_t>& rgb, int32_t w, int32_t h, int32_t outW, int32_t outH);
