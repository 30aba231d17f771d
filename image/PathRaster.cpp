#include "image/PathRaster.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace raster {
namespace {

constexpr int32_t kSubRows = 16;      // sample lines per pixel row
constexpr int32_t kSubPixel = 256;    // span ends are exact to 1/256 pixel
constexpr int32_t kFull = kSubRows * kSubPixel;
constexpr double kTolerance = 0.1;    // largest distance of a line from its curve, in pixels
constexpr uint64_t kMaxCurveLines = 256;
constexpr double kFar = 1073741824.0;  // 2^30: far past any document, and near enough that no product overflows

// A line that crosses at least one sample line of the plane, oriented downwards.
struct Edge {
    double x0, y0, slope;  // x at height y is x0 + (y - y0) * slope
    int32_t first, last;   // the sample lines it crosses, inclusive
    int32_t winding;       // +1 when the line went down, -1 when it went up
};

// Where a line crosses a sample line, as a sort key: x in 1/256 pixel (clamped to the plane, so
// below 2^30) above one bit, set for a line going down.
uint32_t crossing(int32_t x, int32_t winding) { return static_cast<uint32_t>(x) << 1 | (winding > 0); }

// Sorts a sample line's crossings. Many crossings on one line (only a hostile path has them) go
// through three radix passes, so that the time stays in proportion to their number.
void sortCrossings(std::vector<uint32_t>& keys, std::vector<uint32_t>& scratch) {
    if (keys.size() < 256) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    scratch.resize(keys.size());
    for (int shift = 0; shift < 33; shift += 11) {
        uint32_t counts[2049] = {};
        for (uint32_t key : keys) ++counts[(key >> shift & 2047) + 1];
        for (size_t i = 1; i < 2049; ++i) counts[i] += counts[i - 1];
        for (uint32_t key : keys) scratch[counts[key >> shift & 2047]++] = key;
        keys.swap(scratch);
    }
}

Point clamped(Point p) { return {std::clamp(p.x, -kFar, kFar), std::clamp(p.y, -kFar, kFar)}; }

bool finite(const Subpath& subpath, size_t curvePoints) {
    if (!std::isfinite(subpath.start.x) || !std::isfinite(subpath.start.y)) return false;
    for (size_t i = 0; i < curvePoints; ++i) {
        if (!std::isfinite(subpath.curves[i].x) || !std::isfinite(subpath.curves[i].y)) return false;
    }
    return true;
}

size_t wholeCurvePoints(const Subpath& subpath) { return subpath.curves.size() / 3 * 3; }

class Flattener {
public:
    Flattener(int32_t width, int32_t height) : width_(width), height_(height) {}

    // Lines a curve is cut into: enough that each stays within the tolerance (the distance of a
    // chord of a parameter step h from its cubic is at most h^2 / 8 times the largest second
    // derivative, 6 * dd), or one when the curve's hull lies off the plane. A chord off to the left
    // or right turns the same as its curve for every point of the plane; above or below, neither
    // crosses a sample line.
    uint64_t linesFor(const Point p[4]) const {
        const double minX = std::min({p[0].x, p[1].x, p[2].x, p[3].x});
        const double maxX = std::max({p[0].x, p[1].x, p[2].x, p[3].x});
        const double minY = std::min({p[0].y, p[1].y, p[2].y, p[3].y});
        const double maxY = std::max({p[0].y, p[1].y, p[2].y, p[3].y});
        if (maxX <= 0 || minX >= width_ || maxY <= 0 || minY >= height_) return 1;
        const double dd = std::max(std::hypot(p[0].x - 2 * p[1].x + p[2].x, p[0].y - 2 * p[1].y + p[2].y),
                                   std::hypot(p[1].x - 2 * p[2].x + p[3].x, p[1].y - 2 * p[2].y + p[3].y));
        const double n = std::ceil(std::sqrt(0.75 * dd / kTolerance));
        if (!(n > 1)) return 1;
        return n < kMaxCurveLines ? static_cast<uint64_t>(n) : kMaxCurveLines;
    }

    void addCurve(const Point p[4], uint64_t lines) {
        Point from = p[0];
        for (uint64_t i = 1; i < lines; ++i) {
            const double t = static_cast<double>(i) / static_cast<double>(lines), s = 1 - t;
            const double a = s * s * s, b = 3 * s * s * t, c = 3 * s * t * t, d = t * t * t;
            const Point to{a * p[0].x + b * p[1].x + c * p[2].x + d * p[3].x,
                           a * p[0].y + b * p[1].y + c * p[2].y + d * p[3].y};
            addLine(from, to);
            from = to;
        }
        addLine(from, p[3]);
    }

    void addLine(Point a, Point b) {
        if (a.y == b.y || (a.x >= width_ && b.x >= width_)) return;  // crosses no sample line / right of every pixel
        int32_t winding = 1;
        if (a.y > b.y) {
            std::swap(a, b);
            winding = -1;
        }
        // Sample line k lies at (k + 0.5) / kSubRows; a line holds the samples in [a.y, b.y).
        const double first = std::max(std::ceil(a.y * kSubRows - 0.5), 0.0);
        const double last = std::min(std::ceil(b.y * kSubRows - 0.5) - 1, static_cast<double>(height_) * kSubRows - 1);
        if (!(first <= last)) return;
        edges_.push_back({a.x, a.y, (b.x - a.x) / (b.y - a.y), static_cast<int32_t>(first),
                          static_cast<int32_t>(last), winding});
    }

    std::vector<Edge>& edges() { return edges_; }

private:
    int32_t width_, height_;
    std::vector<Edge> edges_;
};

// Per pixel row: each sample line's inside spans, added up per pixel as differences so that a long
// span costs two writes.
class RowCoverage {
public:
    explicit RowCoverage(int32_t width) : width_(width), sums_(static_cast<size_t>(width) + 2, 0) {}

    void addSpan(int32_t from, int32_t to) {
        if (from >= to) return;
        const int32_t a = from / kSubPixel, b = to / kSubPixel;
        if (a == b) {
            sums_[a] += to - from;
            sums_[a + 1] -= to - from;
        } else {
            const int32_t head = kSubPixel - from % kSubPixel, tail = to % kSubPixel;
            sums_[a] += head;
            sums_[a + 1] += kSubPixel - head;
            sums_[b] += tail - kSubPixel;
            sums_[b + 1] -= tail;
        }
        low_ = std::min(low_, a);
        high_ = std::max(high_, b + 1);
    }

    // Writes the touched pixels of the row and clears the sums for the next.
    void resolve(uint8_t* row) {
        int32_t sum = 0;
        for (int32_t x = low_; x <= high_; ++x) {
            sum += sums_[x];
            sums_[x] = 0;
            if (x < width_) row[x] = static_cast<uint8_t>((sum * 255 + kFull / 2) / kFull);
        }
        low_ = width_ + 1;
        high_ = -1;
    }

private:
    int32_t width_;
    std::vector<int32_t> sums_;
    int32_t low_ = width_ + 1, high_ = -1;
};

}  // namespace

bool fillPath(const std::vector<Subpath>& subpaths, FillRule rule, int32_t width, int32_t height,
              uint8_t* coverage) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) return false;
    std::memset(coverage, 0, static_cast<size_t>(width) * static_cast<size_t>(height));

    // Two passes over the curves: the first counts the lines, so that a path that would flatten to
    // too many gets fewer per curve before any is kept.
    Flattener flattener(width, height);
    auto forEachCurve = [&](auto&& curve) {
        for (const Subpath& subpath : subpaths) {
            const size_t points = wholeCurvePoints(subpath);
            if (!finite(subpath, points)) continue;
            Point p[4];
            p[0] = clamped(subpath.start);
            for (size_t i = 0; i < points; i += 3) {
                for (size_t j = 0; j < 3; ++j) p[j + 1] = clamped(subpath.curves[i + j]);
                curve(p);
                p[0] = p[3];
            }
            p[1] = p[0];  // the straight curve that closes the subpath
            p[2] = p[3] = clamped(subpath.start);
            curve(p);
        }
    };
    uint64_t total = 0;
    forEachCurve([&](const Point* p) { total += flattener.linesFor(p); });
    forEachCurve([&](const Point* p) {
        uint64_t lines = flattener.linesFor(p);
        if (total > kMaxLines) lines = std::max<uint64_t>(1, lines * kMaxLines / total);
        flattener.addCurve(p, lines);
    });

    std::vector<Edge>& edges = flattener.edges();
    if (edges.empty()) return true;
    uint64_t work = 0;
    for (const Edge& edge : edges) work += static_cast<uint64_t>(edge.last - edge.first) + 1;
    if (work > kMaxCrossings) return false;
    std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.first < b.first; });

    const int32_t right = width * kSubPixel;
    const bool evenOdd = rule == FillRule::evenOdd;
    RowCoverage row(width);
    std::vector<size_t> active;
    std::vector<uint32_t> crossings, scratch;
    size_t next = 0;
    for (int32_t y = edges[0].first / kSubRows; y < height; ++y) {
        if (active.empty()) {
            if (next == edges.size()) break;
            y = std::max(y, edges[next].first / kSubRows);
        }
        for (int32_t k = y * kSubRows; k < (y + 1) * kSubRows; ++k) {
            while (next < edges.size() && edges[next].first <= k) active.push_back(next++);
            std::erase_if(active, [&](size_t e) { return edges[e].last < k; });
            if (active.empty()) continue;

            const double sampleY = (k + 0.5) / kSubRows;
            crossings.clear();
            for (size_t e : active) {
                const Edge& edge = edges[e];
                double x = edge.x0 + (sampleY - edge.y0) * edge.slope;
                x = x > 0 ? std::min(x, static_cast<double>(width)) : 0.0;  // NaN falls to 0
                crossings.push_back(crossing(static_cast<int32_t>(x * kSubPixel + 0.5), edge.winding));
            }
            sortCrossings(crossings, scratch);
            int64_t winding = 0;
            int32_t spanStart = 0;
            for (uint32_t c : crossings) {
                const int32_t x = static_cast<int32_t>(c >> 1);
                const bool wasInside = evenOdd ? (winding & 1) != 0 : winding != 0;
                winding += c & 1 ? 1 : -1;
                const bool inside = evenOdd ? (winding & 1) != 0 : winding != 0;
                if (!wasInside && inside) spanStart = x;
                if (wasInside && !inside) row.addSpan(spanStart, x);
            }
            // Lines right of the plane were left out, so a span may still be open: it runs off the right.
            if (evenOdd ? (winding & 1) != 0 : winding != 0) row.addSpan(spanStart, right);
        }
        row.resolve(coverage + static_cast<size_t>(y) * static_cast<size_t>(width));
    }
    return true;
}

}  // namespace raster
