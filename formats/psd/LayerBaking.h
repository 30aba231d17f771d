#pragma once
// Plane operations that bake masks into a layer's transparency: density, feather, products, and a
// vector mask drawn from its path. Planes are width x height bytes, row by row, 255 opaque.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/psd/VectorMask.h"

namespace psd::bake {

// (a x b + 127) / 255: one 0..255 factor applied to another, rounded to nearest.
inline uint8_t scaled(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a * b + 127) / 255); }

// into[i] = scaled(into[i], by[i]).
void multiply(uint8_t* into, const uint8_t* by, size_t count);

// Density moves the mask toward white: m' = 255 - (density x (255 - m) + 127) / 255.
void applyDensity(uint8_t* plane, size_t count, uint8_t density);

// Feather: a Gaussian blur whose standard deviation is the radius, in pixels, as three box blurs of
// integer sums in each direction (each box's mean rounded to nearest); past the plane's edges its
// edge pixels repeat. A radius that is not above 0 (or not a number) leaves the plane alone; one
// above kMaxFeather is taken as kMaxFeather, so that the work stays three passes of boxes of at most
// a few hundred pixels, in time proportional to the plane whatever the radius.
constexpr double kMaxFeather = 250;
void feather(uint8_t* plane, int32_t width, int32_t height, double radius);

// Draws a vector mask's coverage into plane, with scratch (width x height bytes) for its
// components. A component is a subpath with the subpaths after it whose operation is -1; each is
// filled even-odd and combined in order with what is drawn so far, which starts all 0: 0 exclude
// |a - c|, 1 union max, 2 subtract a - c, 3 intersect min (the first component's subtract and
// intersect start from all 255), any other operation nothing. A path that starts filled is all 255
// only when it has no subpath: with subpaths, files that start filled and then intersect show the
// intersection, so the components alone decide. When the components would take more than kMaxWork pixel
// visits together, every subpath is filled even-odd at once instead. The invert flag is applied.
// False when the path could not be drawn within the rasteriser's caps: the mask is then absent.
constexpr uint64_t kMaxWork = uint64_t{1} << 30;
bool drawVectorMask(const VectorMask& mask, int32_t width, int32_t height, uint8_t* plane, uint8_t* scratch);

}  // namespace psd::bake
