#include "formats/psd/LayerBaking.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <utility>

namespace psd::bake {

void multiply(uint8_t* into, const uint8_t* by, size_t count) {
    for (size_t i = 0; i < count; ++i) into[i] = scaled(into[i], by[i]);
}

void applyDensity(uint8_t* plane, size_t count, uint8_t density) {
    if (density == 255) return;
    for (size_t i = 0; i < count; ++i) plane[i] = static_cast<uint8_t>(255 - (density * (255 - plane[i]) + 127) / 255);
}

namespace {

// One box blur of radius r over n samples `step` apart, through line (n + 2r samples of room).
void boxLine(uint8_t* data, size_t n, size_t step, size_t r, std::vector<uint8_t>& line) {
    // The samples with r copies of each end beside them.
    line.resize(n + 2 * r);
    for (size_t i = 0; i < r; ++i) line[i] = data[0];
    for (size_t i = 0; i < n; ++i) line[r + i] = data[i * step];
    for (size_t i = 0; i < r; ++i) line[r + n + i] = data[(n - 1) * step];
    const uint32_t width = static_cast<uint32_t>(2 * r + 1);
    uint32_t sum = 0;
    for (size_t i = 0; i < width; ++i) sum += line[i];
    for (size_t i = 0; i < n; ++i) {
        data[i * step] = static_cast<uint8_t>((sum + width / 2) / width);
        if (i + 1 < n) sum += line[i + width] - line[i];
    }
}

}  // namespace

void feather(uint8_t* plane, int32_t width, int32_t height, double radius) {
    if (!(radius > 0) || width <= 0 || height <= 0) return;
    const double sigma = std::min(radius, kMaxFeather);
    // Three boxes whose variances add up to sigma squared: widths wl and wl + 2, odd.
    const double ideal = std::sqrt(12 * sigma * sigma / 3 + 1);
    int wl = static_cast<int>(std::floor(ideal));
    if (wl % 2 == 0) --wl;
    const double m = (12 * sigma * sigma - 3.0 * wl * wl - 12.0 * wl - 9) / (-4.0 * wl - 4);
    const int lower = static_cast<int>(std::lround(m));
    std::vector<uint8_t> line;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    for (int pass = 0; pass < 3; ++pass) {
        const size_t r = static_cast<size_t>((pass < lower ? wl : wl + 2) / 2);
        if (r == 0) continue;
        for (size_t y = 0; y < h; ++y) boxLine(plane + y * w, w, 1, r, line);
        for (size_t x = 0; x < w; ++x) boxLine(plane + x, h, w, r, line);
    }
}

bool drawVectorMask(const VectorMask& mask, int32_t width, int32_t height, uint8_t* plane, uint8_t* scratch) {
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    // Components: a subpath and those after it that belong to it (operation -1).
    std::vector<std::pair<size_t, size_t>> components;  // first subpath, end
    for (size_t i = 0; i < mask.subpaths.size(); ++i) {
        if (i == 0 || mask.operations[i] != -1) components.push_back({i, i + 1});
        else components.back().second = i + 1;
    }
    const uint64_t pixels = static_cast<uint64_t>(count);
    if (pixels != 0 && components.size() > kMaxWork / pixels) {
        if (!raster::fillPath(mask.subpaths, raster::FillRule::evenOdd, width, height, plane)) return false;
    } else {
        std::fill(plane, plane + count, mask.startsFilled && components.empty() ? 255 : 0);
        std::vector<raster::Subpath> part;
        bool first = true;
        for (const auto& [begin, end] : components) {
            part.assign(mask.subpaths.begin() + static_cast<ptrdiff_t>(begin), mask.subpaths.begin() + static_cast<ptrdiff_t>(end));
            if (!raster::fillPath(part, raster::FillRule::evenOdd, width, height, scratch)) return false;
            const int16_t op = mask.operations[begin];
            if (first && (op == 2 || op == 3)) {
                for (size_t i = 0; i < count; ++i) plane[i] = static_cast<uint8_t>(255 - plane[i]);
            }
            first = false;
            for (size_t i = 0; i < count; ++i) {
                const int a = plane[i], c = scratch[i];
                switch (op) {
                case 0: plane[i] = static_cast<uint8_t>(std::abs(a - c)); break;
                case 2: plane[i] = static_cast<uint8_t>(std::max(a - c, 0)); break;
                case 3: plane[i] = static_cast<uint8_t>(std::min(a, c)); break;
                case 1: case -1: plane[i] = static_cast<uint8_t>(std::max(a, c)); break;
                default: break;
                }
            }
        }
    }
    if (mask.flags & kVectorMaskInvert) {
        for (size_t i = 0; i < count; ++i) plane[i] = static_cast<uint8_t>(255 - plane[i]);
    }
    return true;
}

}  // namespace psd::bake
