#pragma once
// Anti-aliased coverage of a filled outline made of cubic Bezier curves, for masks drawn from paths.
//
// Coverage rule: every pixel row is sampled on 16 horizontal lines at heights (k + 0.5) / 16; on
// each line the fill rule decides the inside spans, whose ends are exact to 1/256 pixel. A pixel
// sums the inside length of its 16 lines (0..4096) and its coverage is that sum * 255 / 4096,
// rounded: a pixel wholly inside is 255, one wholly outside 0, one cut by a vertical edge at its
// middle 128. Curves are flattened to lines within 0.1 pixel of the curve.
#include <cstdint>
#include <vector>

namespace raster {

struct Point {
    double x, y;
};

// One outline: from start through cubic curves of three points each (two control points, then the
// curve's end); closed back to start by a straight line. Points past the last whole triple are
// ignored.
struct Subpath {
    Point start;
    std::vector<Point> curves;
};

enum class FillRule { nonZero, evenOdd };

// Writes width * height coverage bytes, row by row, for the subpaths filled together by rule.
// False when width or height is not 1..kMaxSide (nothing written), or when the lines would cross
// sample lines more than kMaxCrossings times (the plane left clear): no document's mask comes near,
// and the time spent is in proportion to that count.
//
// Any input is drawn in bounded time and memory: a subpath with a coordinate that is not finite is
// left out, coordinates are clamped to +-2^30 pixels, a curve gives at most 256 lines (one when it
// lies wholly off the plane), and when the whole path would flatten to more than kMaxLines lines
// its curves get proportionally fewer. Memory: the lines, plus a few rows of width.
constexpr int32_t kMaxSide = 1 << 22;
constexpr uint64_t kMaxLines = uint64_t{1} << 20;
constexpr uint64_t kMaxCrossings = uint64_t{1} << 26;
bool fillPath(const std::vector<Subpath>& subpaths, FillRule rule, int32_t width, int32_t height,
              uint8_t* coverage);

}  // namespace raster
