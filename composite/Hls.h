#pragma once
// Hue / lightness / saturation on a 0..255 scale, integer arithmetic only. Kept inline: the four
// HLS blend modes call these for every pixel, so the divisions by run-time divisors are done by
// multiplying with tabulated reciprocals, and the hue segments come from a table; both give exactly
// the quotients and segments of the plain arithmetic (hlsValue keeps that form).
#include <array>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct HlsColor {
    int32_t hue;         // 0..255, one turn in 255 steps (red 0, green 85, blue 170)
    int32_t lightness;   // 0..255
    int32_t saturation;  // 0..255, 0 for greys
};

// Blue, green, red as 32-bit integers, each 0..255.
struct BgrColor {
    int32_t blue;
    int32_t green;
    int32_t red;
};

// One component on a scale where 1530 is a full turn; the wrap uses a period of 1531.
constexpr int32_t hlsValue(int32_t m1, int32_t m2, int32_t t) {
    if (t > 1530)
        t = (t - 1531) % 1531;
    else if (t < 0)
        t += 1531 * (1 + (-1 - t) / 1531);
    if (t < 255) return (255 * m1 + (m2 - m1) * t) / 65025;
    if (t < 765) return m2 / 255;
    if (t < 1020) return (255 * m1 + (m2 - m1) * (1020 - t)) / 65025;
    return m1 / 255;
}

namespace hls_detail {

// floor(2^32 / d) + 1: for x * d < 2^32, (x * r) >> 32 is x / d exactly.
constexpr uint64_t reciprocal(uint32_t d) { return (uint64_t{1} << 32) / d + 1; }

struct Tables {
    uint64_t bySum[256];       // reciprocal of sum, for the saturation
    uint64_t bySixSpans[256];  // reciprocal of 6 x span, for the hue
    // Weight of m2 against m1 (0..255) of the blue, green and red components of each hue, in
    // bytes 0, 1 and 2: every segment of hlsValue is (255 m1 + (m2 - m1) w) / 65025 for one w.
    uint32_t weight[256];
};

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t i = 1; i < 256; ++i) {
        t.bySum[i] = reciprocal(i);
        t.bySixSpans[i] = reciprocal(6 * i);
    }
    for (int32_t hue = 0; hue < 256; ++hue) {
        const int32_t h = 6 * hue;
        const int32_t ts[3] = {h - 510, h, h + 510};
        for (int c = 0; c < 3; ++c)
            t.weight[hue] |= static_cast<uint32_t>(hlsValue(0, 65025, ts[c])) << (8 * c);
    }
    return t;
}

inline constexpr Tables kTables = makeTables();

// x / d for the divisors the tables hold; x * d stays below 2^32 for every use here.
inline int32_t divide(uint32_t x, uint64_t reciprocal) {
    return static_cast<int32_t>((x * reciprocal) >> 32);
}

}  // namespace hls_detail

// bgr points to blue, green, red bytes (a layer pixel or a canvas pixel). Written without
// branches: on photographs and noise every test here is a coin toss for the branch predictor.
[[gnu::always_inline]] inline HlsColor rgbToHls(const uint8_t* bgr) {
    using hls_detail::divide;
    using hls_detail::kTables;
    const int32_t b = bgr[0], g = bgr[1], r = bgr[2];
    int32_t hi = r > g ? r : g, lo = r < g ? r : g;
    hi = hi > b ? hi : b;
    lo = lo < b ? lo : b;
    const int32_t span = hi - lo;
    int32_t sum = hi + lo;
    const int32_t lightness = (sum + 1) >> 1;
    sum = sum > 255 ? 510 - sum : sum;
    // (255 span + sum / 2) / sum, below 65153 x 255. A grey has span 0 (and a zero reciprocal
    // for black), which gives 0 as the plain arithmetic's early return does.
    const int32_t saturation = divide(static_cast<uint32_t>(255 * span + (sum >> 1)), kTables.bySum[sum]);
    // The sector of the largest component, red first, then green: every candidate is computed
    // and one kept, which compiles to conditional moves instead of jumps.
    const int32_t nRed = g - b, nGreen = 2 * span + b - r, nBlue = 4 * span + r - g;
    int32_t n = g == hi ? nGreen : nBlue;
    n = r == hi ? nRed : n;
    // 255 n / (6 span), truncated toward zero (|255 n| <= 1275 x 255, 6 span <= 1530); a negative
    // hue gets 256, not 255, added (the result must match to the unit), and a negative hue that
    // truncates to 0 stays 0. A grey has n 0.
    const int32_t sign = n >> 31;
    const int32_t q = divide(static_cast<uint32_t>(255 * ((n ^ sign) - sign)), kTables.bySixSpans[span]);
    const int32_t hue = (((256 - q) & 255) & sign) | (q & ~sign);
    return HlsColor{hue, lightness, saturation};
}

[[gnu::always_inline]] inline BgrColor hlsToRgb(const HlsColor& c) {
    const int32_t l = c.lightness, s = c.saturation;
    // Both are 255 times the usual m1 and m2 of the 0..255 scale; 0 <= m1 <= m2 <= 65025. A grey
    // (s 0) has m1 = m2 = 255 l, which gives l in every component without a branch.
    // (s + 255) l up to lightness 127 and (255 - l) s + 255 l above: one form, no jump.
    const int32_t nearer = l < 255 - l ? l : 255 - l;
    const int32_t m2 = 255 * l + s * nearer;
    const uint32_t m1 = static_cast<uint32_t>(510 * l - m2);
    const uint32_t d = static_cast<uint32_t>(m2) - m1;
    const uint32_t w = hls_detail::kTables.weight[c.hue & 255];
    return BgrColor{static_cast<int32_t>((255 * m1 + d * (w & 255)) / 65025),
                    static_cast<int32_t>((255 * m1 + d * (w >> 8 & 255)) / 65025),
                    static_cast<int32_t>((255 * m1 + d * (w >> 16)) / 65025)};
}

#if defined(__SSE2__)
// The same conversions on four pixels at once, one per 32-bit lane, every lane 0..255. Each step
// gives exactly the scalar result: the 16-bit minimum, maximum and multiply are used only where the
// values and products fit 16 bits, and the divisions go through single precision, whose correctly
// rounded quotient truncates to the integer quotient while quotient x divisor < 2^24.
namespace hls_sse2 {

struct Lanes {
    __m128i hue, lightness, saturation;
};

inline __m128i constant(int32_t v) { return _mm_set1_epi32(v); }

inline __m128i times255(__m128i x) { return _mm_sub_epi32(_mm_slli_epi32(x, 8), x); }

// a where mask is all ones, b where it is zero.
inline __m128i select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}

// x / d for x < 2^24, d > 0 and a quotient below 2^24 / d.
inline __m128i divide(__m128i x, __m128i d) {
    return _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(x), _mm_cvtepi32_ps(d)));
}

// Only the fields asked for are computed (the divisions are the costly part); the others are zero.
template <bool kHue, bool kSaturation>
[[gnu::always_inline]] inline Lanes rgbToHls(__m128i b, __m128i g, __m128i r) {
    const __m128i one = constant(1);
    const __m128i hi = _mm_max_epi16(_mm_max_epi16(r, g), b);
    const __m128i lo = _mm_min_epi16(_mm_min_epi16(r, g), b);
    const __m128i span = _mm_sub_epi32(hi, lo);
    const __m128i sum = _mm_add_epi32(hi, lo);
    Lanes out{_mm_setzero_si128(), _mm_srli_epi32(_mm_add_epi32(sum, one), 1), _mm_setzero_si128()};
    if constexpr (kSaturation) {
        // A zero sum is black or white, where the dividend is 0 as well.
        const __m128i folded = _mm_min_epi16(sum, _mm_sub_epi32(constant(510), sum));
        const __m128i x = _mm_add_epi32(times255(span), _mm_srli_epi32(folded, 1));
        out.saturation = divide(x, _mm_max_epi16(folded, one));
    }
    if constexpr (kHue) {
        const __m128i twoSpans = _mm_add_epi32(span, span);
        const __m128i nRed = _mm_sub_epi32(g, b);
        const __m128i nGreen = _mm_sub_epi32(_mm_add_epi32(twoSpans, b), r);
        const __m128i nBlue = _mm_sub_epi32(_mm_add_epi32(_mm_add_epi32(twoSpans, twoSpans), r), g);
        __m128i n = select(_mm_cmpeq_epi32(g, hi), nGreen, nBlue);
        n = select(_mm_cmpeq_epi32(r, hi), nRed, n);
        const __m128i sign = _mm_srai_epi32(n, 31);
        const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(n, sign), sign);
        const __m128i sixSpans = _mm_add_epi32(twoSpans, _mm_add_epi32(twoSpans, twoSpans));
        const __m128i q = divide(times255(magnitude), _mm_max_epi16(sixSpans, one));
        const __m128i wrapped = _mm_and_si128(_mm_sub_epi32(constant(256), q), constant(255));
        out.hue = select(sign, wrapped, q);
    }
    return out;
}

// The components as whole numbers in single precision, which is the form the mix takes. Every
// product and sum below stays under 2^24, so each is exact, and so is the truncated quotient.
[[gnu::always_inline]] inline void hlsToRgb(const Lanes& c, __m128& b, __m128& g, __m128& r) {
    const __m128i l = c.lightness;
    const __m128i nearer = _mm_min_epi16(l, _mm_sub_epi32(constant(255), l));
    const __m128i lTimes255 = times255(l);
    const __m128i m2 = _mm_add_epi32(lTimes255, _mm_mullo_epi16(c.saturation, nearer));  // s nearer < 2^15
    const __m128i m1 = _mm_sub_epi32(_mm_add_epi32(lTimes255, lTimes255), m2);
    const __m128 d = _mm_cvtepi32_ps(_mm_sub_epi32(m2, m1));
    const __m128 m1Times255 = _mm_cvtepi32_ps(times255(m1));
    // The weights come from the table, one scalar load per pixel.
    const uint32_t* table = hls_detail::kTables.weight;
    const __m128i w0 = _mm_cvtsi32_si128(static_cast<int>(table[_mm_extract_epi16(c.hue, 0) & 255]));
    const __m128i w1 = _mm_cvtsi32_si128(static_cast<int>(table[_mm_extract_epi16(c.hue, 2) & 255]));
    const __m128i w2 = _mm_cvtsi32_si128(static_cast<int>(table[_mm_extract_epi16(c.hue, 4) & 255]));
    const __m128i w3 = _mm_cvtsi32_si128(static_cast<int>(table[_mm_extract_epi16(c.hue, 6) & 255]));
    const __m128i w = _mm_unpacklo_epi64(_mm_unpacklo_epi32(w0, w1), _mm_unpacklo_epi32(w2, w3));
    const __m128i byteMask = constant(255);
    const __m128 divisor = _mm_set1_ps(65025);
    // (255 m1 + d w) / 65025 for the weight in byte `shift / 8` of w.
    const auto component = [&](int shift) {
        const __m128 weight = _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(w, shift), byteMask));
        const __m128 x = _mm_add_ps(m1Times255, _mm_mul_ps(d, weight));
        return _mm_cvtepi32_ps(_mm_cvttps_epi32(_mm_div_ps(x, divisor)));
    };
    b = component(0);
    g = component(8);
    r = component(16);
}

}  // namespace hls_sse2
#endif
