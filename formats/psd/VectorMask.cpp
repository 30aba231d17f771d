#include "formats/psd/VectorMask.h"

#include "formats/psd/PsdLayout.h"

namespace psd {
namespace {

enum : uint16_t {
    kClosedLength = 0,
    kClosedKnotLinked = 1,
    kClosedKnotUnlinked = 2,
    kOpenLength = 3,
    kOpenKnotLinked = 4,
    kOpenKnotUnlinked = 5,
    kInitialFill = 8,
};

bool isKnot(uint16_t selector) {
    return selector == kClosedKnotLinked || selector == kClosedKnotUnlinked || selector == kOpenKnotLinked ||
           selector == kOpenKnotUnlinked;
}

struct Knot {
    raster::Point before, anchor, after;
};

// One point: vertical then horizontal, 8.24 fixed point in fractions of the canvas.
raster::Point pointAt(const uint8_t* p, int32_t width, int32_t height) {
    constexpr double kOne = 1 << 24;
    return {load32s(p + 4) / kOne * width, load32s(p) / kOne * height};
}

// The curve from each knot's anchor to the next runs through the first's leaving control point and
// the second's preceding one; a closed subpath has one more, from the last knot back to the first.
raster::Subpath subpathOf(const std::vector<Knot>& knots, bool closed) {
    raster::Subpath subpath{knots.front().anchor, {}};
    const size_t curves = closed ? knots.size() : knots.size() - 1;
    subpath.curves.reserve(curves * 3);
    for (size_t i = 0; i < curves; ++i) {
        const Knot& to = knots[(i + 1) % knots.size()];
        subpath.curves.insert(subpath.curves.end(), {knots[i].after, to.before, to.anchor});
    }
    return subpath;
}

}  // namespace

bool readVectorMask(const uint8_t* data, size_t size, int32_t width, int32_t height, VectorMask& mask) {
    mask = VectorMask{};
    if (size < 8 || load32(data) != kVectorMaskVersion) return false;
    mask.flags = load32(data + 4);

    std::vector<Knot> knots;
    bool closed = false;
    uint32_t knotsLeft = 0;
    int16_t operation = 0;
    auto finishSubpath = [&] {
        if (!knots.empty()) {
            mask.subpaths.push_back(subpathOf(knots, closed));
            mask.operations.push_back(operation);
        }
        knots.clear();
        knotsLeft = 0;
    };
    for (size_t at = 8; size - at >= kPathRecordSize; at += kPathRecordSize) {
        const uint8_t* record = data + at;
        const uint16_t selector = load16(record);
        if (isKnot(selector) && knotsLeft > 0) {
            knots.push_back({pointAt(record + 2, width, height), pointAt(record + 10, width, height),
                             pointAt(record + 18, width, height)});
            if (--knotsLeft == 0) finishSubpath();
            continue;
        }
        // Anything else ends the subpath being read, with the knots it has.
        finishSubpath();
        if (selector == kClosedLength || selector == kOpenLength) {
            closed = selector == kClosedLength;
            knotsLeft = load16(record + 2);
            operation = static_cast<int16_t>(load16(record + 4));
        } else if (selector == kInitialFill) {
            mask.startsFilled = load16(record + 2) == 1;
        }
    }
    finishSubpath();
    return true;
}

}  // namespace psd
