#pragma once
// Hue / lightness / saturation on a 0..255 scale, integer arithmetic only. Kept inline: the four
// HLS blend modes call these for every pixel.
#include <cstdint>

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

// bgr points to blue, green, red bytes (a layer pixel or a canvas pixel).
inline HlsColor rgbToHls(const uint8_t* bgr) {
    const int32_t b = bgr[0], g = bgr[1], r = bgr[2];
    const int32_t hi = r > g ? (r > b ? r : b) : (g > b ? g : b);
    const int32_t lo = r < g ? (r < b ? r : b) : (g < b ? g : b);
    HlsColor c{0, (hi + lo + 1) / 2, 0};
    if (hi == lo) return c;
    int32_t sum = hi + lo;
    if (sum > 255) sum = 510 - hi - lo;
    c.saturation = (255 * (hi - lo) + sum / 2) / sum;
    const int32_t span = hi - lo;
    int32_t n;
    if (r == hi)
        n = g - b;
    else if (g == hi)
        n = 2 * span + b - r;
    else
        n = 4 * span + r - g;
    c.hue = (255 * n) / (6 * span);
    if (c.hue < 0) c.hue += 256;  // 256, not 255: the result must match to the unit
    return c;
}

// One component on a scale where 1530 is a full turn; the wrap uses a period of 1531.
inline int32_t hlsValue(int32_t m1, int32_t m2, int32_t t) {
    if (t > 1530)
        t = (t - 1531) % 1531;
    else if (t < 0)
        t += 1531 * (1 + (-1 - t) / 1531);
    if (t < 255) return (255 * m1 + (m2 - m1) * t) / 65025;
    if (t < 765) return m2 / 255;
    if (t < 1020) return (255 * m1 + (m2 - m1) * (1020 - t)) / 65025;
    return m1 / 255;
}

inline BgrColor hlsToRgb(const HlsColor& c) {
    const int32_t l = c.lightness, s = c.saturation;
    // Both are 255 times the usual m1 and m2 of the 0..255 scale.
    const int32_t m2 = l <= 127 ? (s + 255) * l : (255 - l) * s + 255 * l;
    const int32_t m1 = 510 * l - m2;
    if (s == 0) return BgrColor{l, l, l};
    const int32_t h = 6 * c.hue;
    return BgrColor{hlsValue(m1, m2, h - 510), hlsValue(m1, m2, h), hlsValue(m1, m2, h + 510)};
}
