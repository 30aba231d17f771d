// Any bytes as a vector mask's path, drawn by both fill rules: reading stays inside the block,
// drawing inside the plane, and what even-odd fills non-zero fills too.
#include <cstdlib>
#include <vector>

#include "formats/psd/VectorMask.h"
#include "image/PathRaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the canvas (1 to 256 pixels a side); the rest is the block's data,
    // in an exact-size heap buffer so that a step past its end is seen.
    const int32_t width = data[0] + 1, height = data[1] + 1;
    std::vector<uint8_t> block(data + 2, data + size);
    psd::VectorMask mask;
    if (!psd::readVectorMask(block.data(), block.size(), width, height, mask)) return 0;
    if (mask.operations.size() != mask.subpaths.size()) std::abort();

    std::vector<uint8_t> nonZero(static_cast<size_t>(width) * height), evenOdd(nonZero.size());
    const bool drawn = raster::fillPath(mask.subpaths, raster::FillRule::nonZero, width, height, nonZero.data());
    if (raster::fillPath(mask.subpaths, raster::FillRule::evenOdd, width, height, evenOdd.data()) != drawn) std::abort();
    for (size_t i = 0; i < nonZero.size(); ++i) {
        if (evenOdd[i] > nonZero[i]) std::abort();
    }
    return 0;
}
