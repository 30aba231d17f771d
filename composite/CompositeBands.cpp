#include "composite/CompositeBands.h"

#include <algorithm>
#include <cstdint>

#include "composite/Composite.h"
#include "image/ThreadPool.h"

void compositeInBands(const Layer& layer, dib24& canvas, ThreadPool& pool) {
    const int32_t rows = std::min(layer.height, canvas.height);
    // Several bands per thread even out layers whose work sits in a few rows; at least 16 rows
    // each keep the hand-over cost small.
    const int32_t bandRows = std::max<int32_t>(16, rows / static_cast<int32_t>(pool.size() * 8) + 1);
    if (pool.size() == 1 || rows <= bandRows) return compositeOnto(layer, canvas);
    const size_t bands = static_cast<size_t>((rows + bandRows - 1) / bandRows);
    pool.forEach(bands, [&](size_t band) {
        const int32_t top = static_cast<int32_t>(band) * bandRows;
        const CompositeBounds bounds{0, top, layer.width, std::min(rows, top + bandRows)};
        compositeOnto(layer, canvas, &bounds);
    });
}
