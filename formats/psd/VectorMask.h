#pragma once
// The path of a layer's vector mask: the data of a "vmsk" (or "vsms") additional layer information
// block. Version 3, 4-byte flags, then 26-byte path records, each a 2-byte selector and 24 bytes:
//   0 / 3  closed / open subpath: the count of knot records that follow, then (unofficially) the
//          2-byte signed operation that combines it with the subpaths before it
//   1, 2 / 4, 5  a knot of a closed / open subpath (linked or not): the control point before it, its
//          anchor, the control point after it, each a vertical then a horizontal 8.24 fixed-point
//          signed number in fractions of the canvas height and width
//   6 path fill rule, 7 clipboard: nothing a mask needs
//   8 initial fill rule: first 2 bytes 1 when the fill starts with every pixel
// Bytes after the last whole record (padding) are ignored.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/PathRaster.h"

namespace psd {

constexpr char kKeyVectorMask[4] = {'v', 'm', 's', 'k'};
constexpr char kKeyVectorMaskShape[4] = {'v', 's', 'm', 's'};
constexpr uint32_t kVectorMaskVersion = 3;
constexpr size_t kPathRecordSize = 26;
constexpr uint32_t kVectorMaskInvert = 0x01;
constexpr uint32_t kVectorMaskNotLinked = 0x02;
constexpr uint32_t kVectorMaskDisabled = 0x04;

// The subpaths are meant to be filled together by the even-odd rule (a subpath inside another cuts
// a hole in it). The per-subpath operations (0 exclude, 1 union, 2 subtract, 3 intersect, -1 part
// of the subpath before) are kept, as read, for a caller that combines subpaths one by one.
struct VectorMask {
    uint32_t flags = 0;
    bool startsFilled = false;  // the initial fill rule record said 1
    std::vector<raster::Subpath> subpaths;  // in pixels of the canvas; an open one is closed straight
    std::vector<int16_t> operations;        // one per subpath
};

// Reads the block's data (size bytes) for a canvas of width x height pixels. False for a version
// other than 3 or data shorter than the version and flags; any records after them are read as far
// as whole records go. A knot count larger than the knots present takes the knots present; a
// subpath without knots is left out.
bool readVectorMask(const uint8_t* data, size_t size, int32_t width, int32_t height, VectorMask& mask);

}  // namespace psd
