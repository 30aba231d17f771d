#pragma once
// Per-channel blend functions v(L, D): L is the layer's byte, D the canvas's byte of one channel.
// The results may leave 0..255; the compositor clamps them. Divisions truncate toward zero and
// shifts round toward minus infinity, exactly as written: the output bytes depend on it.
#include <cstdint>

#include "composite/Hls.h"

namespace blendfn {

// Some functions need the layer's square-root table (soft light); the rest ignore it.
using SqrtTable = const int32_t*;

struct Multiply {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return ((L + 1) * (D + 1) >> 8) - 1; }
};

struct Screen {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return ((65536 - (256 - L) * (256 - D)) >> 8) - 1; }
};

inline int32_t overlayLow(int32_t L, int32_t D) { return (2 * (L + 1) * (D + 1) >> 8) - 1; }
inline int32_t overlayHigh(int32_t L, int32_t D) { return ((65536 - 2 * (256 - L) * (256 - D)) >> 8) - 1; }

// Both halves are computed and one is selected: the choice depends on the pixel, and a select
// costs less than a mispredicted branch.
struct Overlay {
    static int32_t v(int32_t L, int32_t D, SqrtTable) {
        const int32_t low = overlayLow(L, D), high = overlayHigh(L, D);
        return D < 128 ? low : high;
    }
};

struct HardLight {
    static int32_t v(int32_t L, int32_t D, SqrtTable) {
        const int32_t low = overlayLow(L, D), high = overlayHigh(L, D);
        return L < 128 ? low : high;
    }
};

struct SoftLight {
    static int32_t v(int32_t L, int32_t D, SqrtTable sqrtTable) {
        if (L < 128) return (((2 * L - 255) * (255 - D) + 65025) * D) / 65025;
        if (D <= 32) return (65025 * D + ((765 - 8 * D) * (2 * L - 255) * (255 - D) * D) / 255) / 65025;
        return (255 * D + (sqrtTable[D] - D) * (2 * L - 255)) / 255;
    }
};

struct VividLight {
    static int32_t v(int32_t L, int32_t D, SqrtTable) {
        if (L < 128) return D > 255 - 2 * L ? D + (510 * L - 65025) / (2 * L) : 0;
        const int32_t q = 2 * (255 - L);
        return D < q ? (255 * D) / q : 255;
    }
};

struct LinearLight {
    // D + 2L - 255; the clamp that follows limits it to 0..255.
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return D + 2 * L - 255; }
};

struct PinLight {
    static int32_t v(int32_t L, int32_t D, SqrtTable) {
        const int32_t darker = D < 2 * L ? D : 2 * L;
        const int32_t lighter = D > 2 * L - 255 ? D : 2 * L - 255;
        return L < 128 ? darker : lighter;
    }
};

struct ColorDodge {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L == 255 ? 255 : (255 * D) / (255 - L); }
};

struct ColorBurn {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L == 0 ? 0 : ((D - 255) * 255) / L + 255; }
};

struct LinearDodge {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L + D < 255 ? L + D : 255; }
};

struct LinearBurn {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L + D >= 255 ? L + D - 255 : 0; }
};

struct Darken {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L < D ? L : D; }
};

struct Lighten {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L > D ? L : D; }
};

struct Difference {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return L > D ? L - D : D - L; }
};

struct Exclusion {
    static int32_t v(int32_t L, int32_t D, SqrtTable) { return ((255 - L) * D + (255 - D) * L) / 255; }
};

// The HLS modes work on whole pixels: fields named by the mode come from the layer pixel, the rest
// from the canvas pixel. layer and canvas point to blue, green, red bytes.
template <bool kHue, bool kSaturation, bool kLightness>
struct HlsMode {
    static BgrColor v(const uint8_t* layer, const uint8_t* canvas) {
        HlsColor c = rgbToHls(canvas);
        const HlsColor l = rgbToHls(layer);
        if (kHue) c.hue = l.hue;
        if (kSaturation) c.saturation = l.saturation;
        if (kLightness) c.lightness = l.lightness;
        return hlsToRgb(c);
    }

#if defined(__SSE2__)
    // Four pixels, one per 32-bit lane: blue, green, red of the layer and of the canvas in, the
    // blend's blue, green, red out (whole numbers in single precision). Each side computes only
    // the fields it gives.
    [[gnu::always_inline]] static void v4(const __m128i layer[3], const __m128i canvas[3],
                                          __m128 out[3]) {
        using namespace hls_sse2;
        Lanes c = rgbToHls<!kHue, !kSaturation>(canvas[0], canvas[1], canvas[2]);
        const Lanes l = rgbToHls<kHue, kSaturation>(layer[0], layer[1], layer[2]);
        if (kHue) c.hue = l.hue;
        if (kSaturation) c.saturation = l.saturation;
        if (kLightness) c.lightness = l.lightness;
        hlsToRgb(c, out[0], out[1], out[2]);
    }
#endif
};

using Hue = HlsMode<true, false, false>;
using Saturation = HlsMode<false, true, false>;
using Color = HlsMode<true, true, false>;
using Luminosity = HlsMode<false, false, true>;

}  // namespace blendfn
