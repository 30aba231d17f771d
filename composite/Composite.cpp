#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "composite/BlendFunctions.h"
#include "composite/Composite.h"
#include "image/Layer.h"
#include "image/dib24.h"

namespace {

// The pixels to visit: columns x0..x1-1, rows y0..y1-1, in layer coordinates.
struct Span {
    size_t x0, x1, y0, y1;
};

// Moves the canvas byte D towards v by k / 65536. v is 0..255: the pair tables hold clamped
// values and hlsToRgb stays in range by construction.
inline uint8_t mixInRange(int32_t v, int32_t D, int32_t k) {
    return static_cast<uint8_t>(((v - D) * k + D * 65536) >> 16);
}

// Visits the span top row first: perRow(layer pixels, canvas pixels, count) for each row.
template <class PerRow>
inline void forEachRow(const Layer& layer, dib24& canvas, const Span& s, PerRow perRow) {
    const size_t layerWidth = static_cast<size_t>(layer.width);
    const size_t canvasStride = static_cast<size_t>(canvas.stride);
    const size_t canvasHeight = static_cast<size_t>(canvas.height);
    // Locals, not members: the byte stores below may alias anything, which would reload them.
    const size_t x0 = s.x0, x1 = s.x1, y0 = s.y0, y1 = s.y1;
    const uint8_t* pixels = layer.pixels.data();
    uint8_t* bits = canvas.bits;
    for (size_t y = y0; y < y1; ++y) {
        perRow(pixels + (y * layerWidth + x0) * 4, bits + (canvasHeight - 1 - y) * canvasStride + 3 * x0,
               x1 - x0);
    }
}

// Visits the span left to right in each row; a pixel with alpha 0 costs only the test.
template <class PerPixel>
inline void forEachOpaquePixel(const Layer& layer, dib24& canvas, const Span& s, PerPixel perPixel) {
    forEachRow(layer, canvas, s, [perPixel](const uint8_t* lp, uint8_t* dp, size_t count) {
        for (size_t x = 0; x < count; ++x, lp += 4, dp += 3) {
            const uint32_t a = lp[3];
            if (a == 0) continue;
            perPixel(lp, dp, a);
        }
    });
}

void compositeNormal(const Layer& layer, dib24& canvas, const Span& s, int32_t opacity) {
    const uint32_t op = static_cast<uint32_t>(opacity);
    forEachOpaquePixel(layer, canvas, s, [op](const uint8_t* lp, uint8_t* dp, uint32_t a) {
        const uint32_t w = op * a;  // 0..25500
        const uint32_t rest = 25500 - w;
        dp[0] = static_cast<uint8_t>((w * lp[0] + rest * dp[0]) / 25500);
        dp[1] = static_cast<uint8_t>((w * lp[1] + rest * dp[1]) / 25500);
        dp[2] = static_cast<uint8_t>((w * lp[2] + rest * dp[2]) / 25500);
    });
}

// v(L, D) clamped to 0..255 for every byte pair, indexed by L * 256 + D: one load instead of the
// arithmetic (and its branches and divisions) per channel. The table is built once per mode.
template <class Fn>
struct PairTable {
    uint8_t v[65536];
    explicit PairTable(const int32_t* sqrtTable) {
        for (int32_t L = 0; L < 256; ++L) {
            for (int32_t D = 0; D < 256; ++D) {
                const int32_t x = Fn::v(L, D, sqrtTable);
                v[L * 256 + D] = static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : x));
            }
        }
    }
};

// The square roots every layer is made with; a layer whose table was changed gets its own pairs.
const int32_t* standardSqrtTable() {
    static const Layer probe;
    return probe.sqrtTable;
}

template <class Fn>
const PairTable<Fn>& standardPairTable() {
    static const PairTable<Fn> table(standardSqrtTable());
    return table;
}

template <class Fn>
void compositeSeparable(const Layer& layer, dib24& canvas, const Span& s, int32_t f) {
    std::unique_ptr<PairTable<Fn>> own;
    const uint8_t* pairs;
    if (std::memcmp(layer.sqrtTable, standardSqrtTable(), sizeof layer.sqrtTable) == 0) {
        pairs = standardPairTable<Fn>().v;
    } else {
        own = std::make_unique<PairTable<Fn>>(layer.sqrtTable);
        pairs = own->v;
    }
    forEachOpaquePixel(layer, canvas, s, [f, pairs](const uint8_t* lp, uint8_t* dp, uint32_t a) {
        const int32_t k = static_cast<int32_t>(a + 1) * f;
        for (int c = 0; c < 3; ++c) dp[c] = mixInRange(pairs[lp[c] * 256 + dp[c]], dp[c], k);
    });
}

#if defined(__SSE2__)
// Four layer pixels (16 bytes) onto four canvas pixels (12 bytes). A transparent pixel gets the
// weight 0, which mixes the canvas byte into itself. The mix is the scalar one in single
// precision, every step exact: v k and D (65536 - k) and their sum stay below 2^24, and the
// scale by 2^-16 only moves the point.
template <class Fn>
[[gnu::always_inline]] inline void compositeHls4(const uint8_t* lp, uint8_t* dp, __m128i f) {
    using hls_sse2::constant;
    __m128i layerPixels;
    std::memcpy(&layerPixels, lp, 16);
    const __m128i alpha = _mm_srli_epi32(layerPixels, 24);
    const __m128i transparent = _mm_cmpeq_epi32(alpha, _mm_setzero_si128());
    if (_mm_movemask_epi8(transparent) == 0xffff) return;

    // Canvas pixel i is bytes 3i..3i+2; each lane takes the four bytes from there.
    int32_t last4;
    std::memcpy(&last4, dp + 8, 4);
    const __m128i bytes =
        _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dp)), _mm_cvtsi32_si128(last4));
    const __m128i canvasPixels =
        _mm_unpacklo_epi64(_mm_unpacklo_epi32(bytes, _mm_srli_si128(bytes, 3)),
                           _mm_unpacklo_epi32(_mm_srli_si128(bytes, 6), _mm_srli_si128(bytes, 9)));

    const __m128i byteMask = constant(255);
    const __m128i layer[3] = {_mm_and_si128(layerPixels, byteMask),
                              _mm_and_si128(_mm_srli_epi32(layerPixels, 8), byteMask),
                              _mm_and_si128(_mm_srli_epi32(layerPixels, 16), byteMask)};
    const __m128i under[3] = {_mm_and_si128(canvasPixels, byteMask),
                              _mm_and_si128(_mm_srli_epi32(canvasPixels, 8), byteMask),
                              _mm_and_si128(_mm_srli_epi32(canvasPixels, 16), byteMask)};
    __m128 v[3];
    Fn::v4(layer, under, v);

    // k = (a + 1) f, both factors at most 256; scaled by 2^-16 here instead of shifting the sums.
    const __m128i k = _mm_andnot_si128(transparent, _mm_madd_epi16(_mm_add_epi32(alpha, constant(1)), f));
    const __m128 scale = _mm_set1_ps(1.0f / 65536);
    const __m128 kf = _mm_mul_ps(_mm_cvtepi32_ps(k), scale);
    const __m128 restf = _mm_mul_ps(_mm_cvtepi32_ps(_mm_sub_epi32(constant(65536), k)), scale);
    __m128i mixed[3];
    for (int c = 0; c < 3; ++c) {
        const __m128 canvasPart = _mm_mul_ps(_mm_cvtepi32_ps(under[c]), restf);
        mixed[c] = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v[c], kf), canvasPart));
    }

    // Back to 3 bytes a pixel: each 64-bit half packs its two pixels into 6 bytes.
    const __m128i out =
        _mm_or_si128(mixed[0], _mm_or_si128(_mm_slli_epi32(mixed[1], 8), _mm_slli_epi32(mixed[2], 16)));
    const __m128i firstOfPair = _mm_set_epi32(0, 0xffffff, 0, 0xffffff);
    const __m128i secondOfPair = _mm_set_epi32(0xffff, -0x1000000, 0xffff, -0x1000000);
    const __m128i packed = _mm_or_si128(_mm_and_si128(out, firstOfPair),
                                        _mm_and_si128(_mm_srli_epi64(out, 8), secondOfPair));
    const __m128i high = _mm_srli_si128(packed, 8);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dp), _mm_or_si128(packed, _mm_slli_epi64(high, 48)));
    last4 = _mm_cvtsi128_si32(_mm_srli_epi64(high, 16));
    std::memcpy(dp + 8, &last4, 4);
}
#endif

template <class Fn>
void compositeHls(const Layer& layer, dib24& canvas, const Span& s, int32_t f) {
    const auto perPixel = [f](const uint8_t* lp, uint8_t* dp, uint32_t a) {
        const int32_t k = static_cast<int32_t>(a + 1) * f;
        const BgrColor v = Fn::v(lp, dp);
        dp[0] = mixInRange(v.blue, dp[0], k);
        dp[1] = mixInRange(v.green, dp[1], k);
        dp[2] = mixInRange(v.red, dp[2], k);
    };
#if defined(__SSE2__)
    const __m128i fLanes = _mm_set1_epi32(f);
    forEachRow(layer, canvas, s, [&](const uint8_t* lp, uint8_t* dp, size_t count) {
        size_t x = 0;
        for (; x + 4 <= count; x += 4, lp += 16, dp += 12) compositeHls4<Fn>(lp, dp, fLanes);
        for (; x < count; ++x, lp += 4, dp += 3)
            if (lp[3] != 0) perPixel(lp, dp, lp[3]);
    });
#else
    forEachOpaquePixel(layer, canvas, s, perPixel);
#endif
}

}  // namespace

void compositeOnto(const Layer& layer, dib24& canvas, const CompositeBounds* bounds) {
    if (layer.visible == 0 || layer.opacity <= 0) return;
    if (canvas.bits == nullptr || layer.width <= 0 || layer.height <= 0) return;
    if (layer.pixels.size() < Layer::pixelBytes(layer.width, layer.height)) return;

    // Only whole layer pixels that have a canvas pixel beneath them are visited.
    int64_t left = 0, top = 0;
    int64_t right = std::min(layer.width, canvas.width);
    int64_t bottom = std::min(layer.height, canvas.height);
    if (bounds != nullptr) {
        left = std::max<int64_t>(bounds->left, 0);
        top = std::max<int64_t>(bounds->top, 0);
        right = std::min<int64_t>(bounds->right, right);
        bottom = std::min<int64_t>(bounds->bottom, bottom);
    }
    if (left >= right || top >= bottom) return;
    const Span span{static_cast<size_t>(left), static_cast<size_t>(right), static_cast<size_t>(top),
                    static_cast<size_t>(bottom)};

    // Above 100 the mixes would leave 0..255 and wrap into unrelated colours.
    const int32_t op = std::min(layer.opacity, 100);
    const int32_t f = op * 256 / 100;

    switch (layer.blendMode) {
        case blend::Multiply:
        case blend::MultiplyAlt: return compositeSeparable<blendfn::Multiply>(layer, canvas, span, f);
        case blend::Screen: return compositeSeparable<blendfn::Screen>(layer, canvas, span, f);
        case blend::Overlay: return compositeSeparable<blendfn::Overlay>(layer, canvas, span, f);
        case blend::HardLight: return compositeSeparable<blendfn::HardLight>(layer, canvas, span, f);
        case blend::SoftLight: return compositeSeparable<blendfn::SoftLight>(layer, canvas, span, f);
        case blend::VividLight: return compositeSeparable<blendfn::VividLight>(layer, canvas, span, f);
        case blend::LinearLight: return compositeSeparable<blendfn::LinearLight>(layer, canvas, span, f);
        case blend::PinLight: return compositeSeparable<blendfn::PinLight>(layer, canvas, span, f);
        case blend::ColorDodge: return compositeSeparable<blendfn::ColorDodge>(layer, canvas, span, f);
        case blend::ColorBurn: return compositeSeparable<blendfn::ColorBurn>(layer, canvas, span, f);
        case blend::LinearDodge: return compositeSeparable<blendfn::LinearDodge>(layer, canvas, span, f);
        case blend::LinearBurn: return compositeSeparable<blendfn::LinearBurn>(layer, canvas, span, f);
        case blend::Darken: return compositeSeparable<blendfn::Darken>(layer, canvas, span, f);
        case blend::Lighten: return compositeSeparable<blendfn::Lighten>(layer, canvas, span, f);
        case blend::Difference: return compositeSeparable<blendfn::Difference>(layer, canvas, span, f);
        case blend::Exclusion: return compositeSeparable<blendfn::Exclusion>(layer, canvas, span, f);
        case blend::Hue: return compositeHls<blendfn::Hue>(layer, canvas, span, f);
        case blend::Saturation: return compositeHls<blendfn::Saturation>(layer, canvas, span, f);
        case blend::Color: return compositeHls<blendfn::Color>(layer, canvas, span, f);
        case blend::Luminosity: return compositeHls<blendfn::Luminosity>(layer, canvas, span, f);
        default:
            // Normal, its alias, and any value that is no blend mode.
            return compositeNormal(layer, canvas, span, op);
    }
}
