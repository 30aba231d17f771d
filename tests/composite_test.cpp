#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "composite/Hls.h"
#include "composite/Composite.h"
#include "image/Layer.h"
#include "image/dib24.h"

namespace {

using Bgr = std::array<int, 3>;

// Composites one layer pixel (blue, green, red, alpha) onto one canvas pixel and returns the canvas.
Bgr compositeOne(BlendMode mode, std::array<uint8_t, 4> layerPixel, int32_t opacity, Bgr canvasPixel,
                 uint8_t visible = 1) {
    Layer layer;
    layer.resize(1, 1, mode);
    layer.opacity = opacity;
    layer.visible = visible;
    std::memcpy(layer.pixels.data(), layerPixel.data(), 4);
    dib24 canvas;
    canvas.create(1, 1, 0);
    for (int c = 0; c < 3; ++c) canvas.bits[c] = static_cast<uint8_t>(canvasPixel[c]);
    compositeOnto(layer, canvas);
    return {canvas.bits[0], canvas.bits[1], canvas.bits[2]};
}

struct ModeCase {
    const char* what;
    BlendMode mode;
    std::array<uint8_t, 4> layer;  // blue, green, red, alpha
    int32_t opacity;
    Bgr canvas;
    Bgr expected;
};

// Grey pixels are written as one value in every channel.
constexpr std::array<uint8_t, 4> grey(uint8_t v, uint8_t a = 255) { return {v, v, v, a}; }
constexpr Bgr greyOut(int v) { return {v, v, v}; }

const ModeCase kModeCases[] = {
    // The normal mix: opacity x alpha over 25500.
    {"normal copies at full opacity", blend::Normal, {10, 20, 30, 255}, 100, greyOut(200), {10, 20, 30}},
    {"normal at opacity 50", blend::Normal, {200, 100, 0, 255}, 50, greyOut(100), {150, 100, 50}},
    {"normal white alpha 128 over black", blend::Normal, grey(255, 128), 100, greyOut(0), greyOut(128)},
    // Multiply and screen: the -1 after the shift, clamped.
    {"multiply 128 over 128", blend::Multiply, grey(128), 100, greyOut(128), greyOut(64)},
    {"multiply white over white", blend::Multiply, grey(255), 100, greyOut(255), greyOut(255)},
    {"multiply black clamps -1 to 0", blend::Multiply, grey(0), 100, greyOut(77), greyOut(0)},
    {"multiply alias", blend::MultiplyAlt, grey(128), 100, greyOut(128), greyOut(64)},
    {"screen of whites is 254", blend::Screen, grey(255), 100, greyOut(255), greyOut(254)},
    {"screen alpha 128 uses k = 129 * 256", blend::Screen, grey(255, 128), 100, greyOut(0), greyOut(127)},
    // Overlay chooses by the canvas, hard light by the layer.
    {"overlay white over black", blend::Overlay, grey(255), 100, greyOut(0), greyOut(1)},
    {"overlay dark layer over light canvas", blend::Overlay, grey(100), 100, greyOut(200), greyOut(186)},
    {"hard light dark layer over light canvas", blend::HardLight, grey(100), 100, greyOut(200), greyOut(157)},
    // Soft light: three branches, the last through the layer's square-root table.
    {"soft light white over 128", blend::SoftLight, grey(255), 100, greyOut(128), greyOut(180)},
    {"soft light white over 32", blend::SoftLight, grey(255), 100, greyOut(32), greyOut(87)},
    {"soft light white over 33", blend::SoftLight, grey(255), 100, greyOut(33), greyOut(91)},
    {"soft light black over 128", blend::SoftLight, grey(0), 100, greyOut(128), greyOut(64)},
    // Truncating divisions by a layer-dependent divisor.
    {"vivid light dark, quotient truncated toward zero", blend::VividLight, grey(100), 100, greyOut(200), greyOut(130)},
    {"vivid light dark below threshold", blend::VividLight, grey(100), 100, greyOut(55), greyOut(0)},
    {"vivid light black", blend::VividLight, grey(0), 100, greyOut(255), greyOut(0)},
    {"vivid light light", blend::VividLight, grey(200), 100, greyOut(50), greyOut(115)},
    {"vivid light white", blend::VividLight, grey(255), 100, greyOut(0), greyOut(255)},
    {"linear light inside", blend::LinearLight, grey(200), 100, greyOut(100), greyOut(245)},
    {"linear light clamps low", blend::LinearLight, grey(10), 100, greyOut(100), greyOut(0)},
    {"pin light dark", blend::PinLight, grey(50), 100, greyOut(200), greyOut(100)},
    {"pin light light", blend::PinLight, grey(200), 100, greyOut(50), greyOut(145)},
    {"colour dodge clamps 25500", blend::ColorDodge, grey(254), 100, greyOut(100), greyOut(255)},
    {"colour dodge clamps before the opacity mix", blend::ColorDodge, grey(254), 50, greyOut(100), greyOut(177)},
    {"colour dodge truncates", blend::ColorDodge, grey(100), 100, greyOut(100), greyOut(164)},
    {"colour burn black", blend::ColorBurn, grey(0), 100, greyOut(200), greyOut(0)},
    {"colour burn truncates toward zero", blend::ColorBurn, grey(200), 100, greyOut(100), greyOut(58)},
    {"linear dodge limits", blend::LinearDodge, grey(200), 100, greyOut(100), greyOut(255)},
    {"linear burn subtracts", blend::LinearBurn, grey(200), 100, greyOut(100), greyOut(45)},
    {"darken", blend::Darken, {50, 200, 7, 255}, 100, {60, 100, 7}, {50, 100, 7}},
    {"lighten", blend::Lighten, {50, 200, 7, 255}, 100, {60, 100, 7}, {60, 200, 7}},
    {"difference 10 over 250", blend::Difference, grey(10), 100, greyOut(250), greyOut(240)},
    {"exclusion", blend::Exclusion, grey(100), 100, greyOut(200), greyOut(143)},
    // HLS modes: red layer pixel over greys and greys over red.
    {"colour of red over grey 128", blend::Color, {0, 0, 255, 255}, 100, greyOut(128), {1, 1, 255}},
    {"hue of red over grey 128", blend::Hue, {0, 0, 255, 255}, 100, greyOut(128), greyOut(128)},
    {"saturation of grey over red", blend::Saturation, grey(40), 100, {0, 0, 255}, greyOut(128)},
    {"luminosity of grey 200 over red", blend::Luminosity, grey(200), 100, {0, 0, 255}, {145, 145, 255}},
    // Values outside the format's ranges.
    {"opacity above 100 composites as 100", blend::Normal, {10, 20, 30, 255}, 150, greyOut(200), {10, 20, 30}},
    {"opacity above 100 in a k mode", blend::Screen, grey(255, 128), 200, greyOut(0), greyOut(127)},
    {"mode 23 composites as normal", blend::AlphaChannel, {200, 100, 0, 255}, 50, greyOut(100), {150, 100, 50}},
    {"negative mode composites as normal", -1, {200, 100, 0, 255}, 50, greyOut(100), {150, 100, 50}},
    {"mode 99 composites as normal", 99, {200, 100, 0, 255}, 50, greyOut(100), {150, 100, 50}},
};

TEST(CompositeTest, ModesGiveTheirExactValues) {
    for (const ModeCase& c : kModeCases)
        EXPECT_EQ(compositeOne(c.mode, c.layer, c.opacity, c.canvas), c.expected) << c.what;
}

// FNV-1a, to pin large outputs by one number.
struct Fnv {
    uint64_t h = 0xcbf29ce484222325ull;
    void add(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    }
    void add(int32_t v) {
        const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        add(b, 4);
    }
};

// Every mode over every (layer, canvas) byte pair per channel at full alpha, and over random
// pixels with random alpha, each at two opacities. The checksums were taken from the plain
// per-pixel arithmetic before it was replaced by tables and reciprocals: any change of a single
// result shows.
TEST(CompositeTest, EveryModeKeepsItsResultsOnAllBytePairsAndRandomPixels) {
    const uint64_t expected[blend::ModeCount] = {
        0xe997baee191b69eeull, 0xea79249b49ecb9e1ull, 0xbdf3c5d7da786232ull, 0xe5b4169938778a51ull,
        0x68d44aecfdaf9a7dull, 0xea4e6c3c7c8cba15ull, 0x8a89baaeeaed49c1ull, 0x4a8aa894b7cd2c87ull,
        0x6c213087a02ae42bull, 0xfacda7d00ce5a29dull, 0x7d689ffa9e29fdabull, 0x2b166faa0a5c98fcull,
        0x5e5b28643625500aull, 0x602c6e712518f628ull, 0xdeabe99229dba71full, 0x12ed38835660102eull,
        0x816281e610c8fa58ull, 0x4183f400140e47b7ull, 0x107a7214f7220d1ull, 0xc4b89bcfd5088264ull,
        0xbe6d6a9b2409a09eull, 0xd2be34405077054dull, 0x79628c478499dcfaull,
    };
    for (BlendMode mode = 0; mode < blend::ModeCount; ++mode) {
        Fnv fnv;
        for (int32_t opacity : {100, 37}) {
            Layer layer;
            layer.resize(256, 256, mode);
            layer.opacity = opacity;
            dib24 canvas;
            canvas.create(256, 256, 0);
            for (size_t y = 0; y < 256; ++y) {
                for (size_t x = 0; x < 256; ++x) {
                    uint8_t* l = layer.pixels.data() + (y * 256 + x) * 4;
                    uint8_t* d = canvas.bits + (255 - y) * static_cast<size_t>(canvas.stride) + 3 * x;
                    const uint8_t lp[4] = {uint8_t(x), uint8_t(y), uint8_t(x ^ y), 255};
                    std::memcpy(l, lp, 4);
                    d[0] = uint8_t(y);
                    d[1] = uint8_t(x);
                    d[2] = uint8_t(x * 7 + y);
                }
            }
            compositeOnto(layer, canvas);
            fnv.add(canvas.bits, static_cast<size_t>(canvas.stride) * 256);
        }
        std::mt19937 rng(mode);
        for (int32_t opacity : {100, 63}) {
            Layer layer;
            layer.resize(509, 509, mode);
            layer.opacity = opacity;
            for (size_t i = 0; i < layer.pixels.size(); i += 4) {
                const uint32_t r = rng();
                const uint8_t lp[4] = {uint8_t(r), uint8_t(r >> 8), uint8_t(r >> 16),
                                       uint8_t((r >> 24) < 160 ? 255 : r >> 24)};
                std::memcpy(layer.pixels.data() + i, lp, 4);
            }
            dib24 canvas;
            canvas.create(509, 509, 0);
            for (size_t i = 0; i < static_cast<size_t>(canvas.stride) * 509; ++i) canvas.bits[i] = uint8_t(rng());
            compositeOnto(layer, canvas);
            fnv.add(canvas.bits, static_cast<size_t>(canvas.stride) * 509);
        }
        EXPECT_EQ(fnv.h, expected[mode]) << "mode " << mode << std::hex << " 0x" << fnv.h;
    }
}

// A row of five pixels, the even ones transparent between opaque ones: four at a time on the
// vector path, the fifth alone.
TEST(CompositeTest, TransparentPixelsNeverTouchTheCanvas) {
    for (BlendMode mode = 0; mode < blend::ModeCount; ++mode) {
        for (int32_t opacity : {1, 50, 100, 150}) {
            Layer layer;
            layer.resize(5, 1, mode);
            layer.opacity = opacity;
            dib24 canvas;
            canvas.create(5, 1, 0);
            for (size_t x = 0; x < 5; ++x) {
                const uint8_t lp[4] = {255, 0, 255, uint8_t(x % 2 ? 255 : 0)}, dp[3] = {3, 129, 250};
                std::memcpy(layer.pixels.data() + 4 * x, lp, 4);
                std::memcpy(canvas.bits + 3 * x, dp, 3);
            }
            compositeOnto(layer, canvas);
            for (size_t x = 0; x < 5; x += 2) {
                const uint8_t* d = canvas.bits + 3 * x;
                EXPECT_EQ((Bgr{d[0], d[1], d[2]}), (Bgr{3, 129, 250}))
                    << "mode " << mode << " opacity " << opacity << " pixel " << x;
            }
        }
    }
}

TEST(CompositeTest, HiddenOrZeroOpacityLayersDoNothing) {
    for (BlendMode mode : {blend::Normal, blend::Multiply, blend::Screen, blend::Color}) {
        EXPECT_EQ(compositeOne(mode, {0, 255, 0, 255}, 0, {9, 9, 9}), (Bgr{9, 9, 9})) << mode;
        EXPECT_EQ(compositeOne(mode, {0, 255, 0, 255}, -20, {9, 9, 9}), (Bgr{9, 9, 9})) << mode;
        EXPECT_EQ(compositeOne(mode, {0, 255, 0, 255}, 100, {9, 9, 9}, 0), (Bgr{9, 9, 9})) << mode;
    }
}

// A 4 x 3 layer of opaque black composited onto a white 4 x 3 canvas; returns which canvas
// pixels turned black, rows from the top.
std::array<std::array<bool, 4>, 3> blackenedBy(const CompositeBounds* bounds) {
    Layer layer;
    layer.resize(4, 3, blend::Normal);
    for (size_t i = 3; i < layer.pixels.size(); i += 4) layer.pixels[i] = 255;
    dib24 canvas;
    canvas.create(4, 3, 0);
    canvas.fill(0xffffff);
    compositeOnto(layer, canvas, bounds);
    std::array<std::array<bool, 4>, 3> out{};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) out[y][x] = canvas.bits[(3 - 1 - y) * canvas.stride + 3 * x] == 0;
    return out;
}

TEST(CompositeTest, BoundsAreClippedToTheLayer) {
    using Mask = std::array<std::array<bool, 4>, 3>;
    const bool o = false, X = true;
    struct Case {
        CompositeBounds bounds;
        Mask expected;
    } cases[] = {
        {{-5, -5, 2, 2}, Mask{{{X, X, o, o}, {X, X, o, o}, {o, o, o, o}}}},
        {{2, 1, 100, 100}, Mask{{{o, o, o, o}, {o, o, X, X}, {o, o, X, X}}}},
        {{1, 0, 2, 3}, Mask{{{o, X, o, o}, {o, X, o, o}, {o, X, o, o}}}},
        {{3, 2, 1, 1}, Mask{}},           // inverted: empty
        {{4, 0, 9, 3}, Mask{}},           // wholly right of the layer
        {{-9, -9, 0, 3}, Mask{}},         // wholly left of it
    };
    for (const Case& c : cases)
        EXPECT_EQ(blackenedBy(&c.bounds), c.expected)
            << c.bounds.left << "," << c.bounds.top << "," << c.bounds.right << "," << c.bounds.bottom;
    EXPECT_EQ(blackenedBy(nullptr), (Mask{{{X, X, X, X}, {X, X, X, X}, {X, X, X, X}}}));
}

TEST(CompositeTest, LayerLargerThanCanvasOrCanvasWithoutImageIsSafe) {
    Layer layer;
    layer.resize(3, 3, blend::Normal);
    layer.pixels.assign(layer.pixels.size(), 255);
    dib24 small;
    small.create(2, 1, 0);
    compositeOnto(layer, small);
    const uint8_t expected[8] = {255, 255, 255, 255, 255, 255, 0, 0};  // padding untouched
    EXPECT_EQ(std::memcmp(small.bits, expected, sizeof expected), 0);
    dib24 none;
    compositeOnto(layer, none);
    EXPECT_EQ(none.bits, nullptr);
}

TEST(HlsTest, RgbToHlsOfPrimaries) {
    struct Case {
        std::array<uint8_t, 3> bgr;
        int hue, lightness, saturation;
    } cases[] = {
        {{0, 0, 255}, 0, 128, 255},      // red
        {{0, 255, 0}, 85, 128, 255},     // green
        {{255, 0, 0}, 170, 128, 255},    // blue
        {{255, 0, 255}, 214, 128, 255},  // magenta: a negative hue gets 256 added
        {{128, 128, 128}, 0, 128, 0},    // grey
        {{200, 100, 50}, 155, 125, 153}, // a mixed colour, blue largest
    };
    for (const Case& c : cases) {
        const HlsColor h = rgbToHls(c.bgr.data());
        EXPECT_EQ(h.hue, c.hue) << int(c.bgr[0]) << "," << int(c.bgr[1]) << "," << int(c.bgr[2]);
        EXPECT_EQ(h.lightness, c.lightness);
        EXPECT_EQ(h.saturation, c.saturation);
    }
}

// All 16M colours to HLS and all 16M HLS triples back, pinned by checksums taken from the
// plain arithmetic before the reciprocal tables replaced its divisions. The four-lane forms the
// compositor uses where SSE2 exists must give the same sums.
TEST(HlsTest, ConversionsKeepEveryResult) {
    struct Sums {
        Fnv toHls, toRgb;
        void add(HlsColor h, BgrColor c) {
            toHls.add(h.hue | h.lightness << 8 | h.saturation << 16);
            toRgb.add(c.blue | c.green << 8 | c.red << 16);
        }
    };
    std::vector<Sums> sums(1);
    for (int32_t v = 0; v < (1 << 24); ++v) {
        const uint8_t bgr[3] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
        sums[0].add(rgbToHls(bgr), hlsToRgb(HlsColor{bgr[0], bgr[1], bgr[2]}));
    }
#if defined(__SSE2__)
    Sums& lanes = sums.emplace_back();
    for (int32_t v = 0; v < (1 << 24); v += 4) {
        const __m128i b = _mm_setr_epi32(v & 255, (v + 1) & 255, (v + 2) & 255, (v + 3) & 255);
        const __m128i g = _mm_set1_epi32((v >> 8) & 255), r = _mm_set1_epi32(v >> 16);
        const hls_sse2::Lanes h = hls_sse2::rgbToHls<true, true>(b, g, r);
        __m128 c[3];
        hls_sse2::hlsToRgb(hls_sse2::Lanes{b, g, r}, c[0], c[1], c[2]);
        int32_t out[6][4];
        const __m128i all[6] = {h.hue, h.lightness, h.saturation, _mm_cvttps_epi32(c[0]),
                                _mm_cvttps_epi32(c[1]), _mm_cvttps_epi32(c[2])};
        for (int i = 0; i < 6; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out[i]), all[i]);
        for (int j = 0; j < 4; ++j)
            lanes.add(HlsColor{out[0][j], out[1][j], out[2][j]}, BgrColor{out[3][j], out[4][j], out[5][j]});
    }
#endif
    for (size_t i = 0; i < sums.size(); ++i) {
        const char* what = i == 0 ? "scalar " : "four lanes ";
        EXPECT_EQ(sums[i].toHls.h, 1553860806693272115u) << what << std::hex << sums[i].toHls.h;
        EXPECT_EQ(sums[i].toRgb.h, 2280386645263694595u) << what << std::hex << sums[i].toRgb.h;
    }
}

TEST(HlsTest, HlsValueWrapsWithPeriod1531) {
    // m1 0 and m2 65025 make the ramps one unit per step of t.
    struct Case {
        int t, expected;
    } cases[] = {
        {0, 0}, {254, 254}, {255, 255}, {1019, 1}, {1020, 0},
        {1531 + 254, 254},  // 1785 wraps to 254, not 255
        {-512, 1},          // wraps to 1019, not 1018
        {-511, 0},
        {-1, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(hlsValue(0, 65025, c.t), c.expected) << "t " << c.t;
}

}  // namespace
