#include <gtest/gtest.h>
#include <lcms2.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "formats/psd/PixelConversion.h"

namespace {

using Bytes = std::vector<uint8_t>;
using psd::ColourMode;
using psd::ColourSource;
using psd::PixelConverter;

constexpr uint8_t kGuard = 0xAA;  // what the alpha byte holds before a conversion

Bytes be16(std::initializer_list<unsigned> values) {
    Bytes b;
    for (unsigned v : values) b.insert(b.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
    return b;
}
Bytes beFloat(std::initializer_list<float> values) {
    Bytes b;
    for (float v : values) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        b.insert(b.end(), {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                           static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)});
    }
    return b;
}
float floatOf(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}

ColourSource sourceOf(ColourMode mode, uint16_t depth, uint16_t channels) {
    ColourSource s;
    s.mode = static_cast<uint16_t>(mode);
    s.depth = depth;
    s.channels = channels;
    return s;
}

// Converts one row per channel into step-4 pixels whose alpha starts as kGuard; gives blue, green,
// red, alpha of each pixel.
Bytes convert(const PixelConverter& converter, const std::vector<Bytes>& rows, uint64_t width) {
    std::vector<const uint8_t*> pointers;
    for (const Bytes& row : rows) pointers.push_back(row.data());
    Bytes pixels(width * 4, 0);
    for (uint64_t x = 0; x < width; ++x) pixels[x * 4 + 3] = kGuard;
    converter.convertRow(pointers.data(), width, pixels.data(), 4);
    return pixels;
}

// Pixels as blue, green, red, alpha from red, green, blue triples with an untouched alpha.
Bytes bgra(std::initializer_list<std::array<uint8_t, 3>> rgb) {
    Bytes b;
    for (const auto& p : rgb) b.insert(b.end(), {p[2], p[1], p[0], kGuard});
    return b;
}

// A palette whose index i is (i, 255 - i, i / 2), but for two entries set apart.
Bytes palette() {
    Bytes p(768);
    for (int i = 0; i < 256; ++i) {
        p[i] = static_cast<uint8_t>(i);
        p[256 + i] = static_cast<uint8_t>(255 - i);
        p[512 + i] = static_cast<uint8_t>(i / 2);
    }
    p[5] = 250, p[256 + 5] = 128, p[512 + 5] = 7;
    return p;
}

TEST(PixelConversionTest, EachModeAndDepthOnSampleValues) {
    struct Case {
        const char* what;
        ColourMode mode;
        uint16_t depth;
        uint16_t channels;
        uint64_t width;
        std::vector<Bytes> rows;
        Bytes expected;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {"RGB 8-bit: blue, green, red order", ColourMode::Rgb, 8, 3, 2, {{10, 200}, {20, 0}, {30, 255}},
         bgra({{10, 20, 30}, {200, 0, 255}})},
        {"grayscale 16-bit: rounding edges of v x 255 / 65535", ColourMode::Grayscale, 16, 1, 8,
         {be16({0, 128, 129, 32767, 32768, 65406, 65407, 65535})},
         bgra({{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {127, 127, 127}, {128, 128, 128}, {254, 254, 254},
               {255, 255, 255}, {255, 255, 255}})},
        {"RGB 16-bit: each channel scaled", ColourMode::Rgb, 16, 3, 1, {be16({65535}), be16({129}), be16({32768})},
         bgra({{255, 1, 128}})},
        {"grayscale 32-bit: sRGB curve, clamped, NaN black", ColourMode::Grayscale, 32, 1, 11,
         {beFloat({0.0f, 0.0031308f, 0.001f, 0.214f, 0.5f, 1.0f, 2.0f, nan, -1.0f, inf, -0.0f})},
         bgra({{0, 0, 0}, {10, 10, 10}, {3, 3, 3}, {127, 127, 127}, {188, 188, 188}, {255, 255, 255},
               {255, 255, 255}, {0, 0, 0}, {0, 0, 0}, {255, 255, 255}, {0, 0, 0}})},
        {"RGB 32-bit", ColourMode::Rgb, 32, 3, 1, {beFloat({1.0f}), beFloat({0.5f}), beFloat({0.0f})},
         bgra({{255, 188, 0}})},
        {"bitmap: 1 is black, 0 white, high bit first", ColourMode::Bitmap, 1, 1, 10, {{0xB0, 0x40}},
         bgra({{0, 0, 0}, {255, 255, 255}, {0, 0, 0}, {0, 0, 0}, {255, 255, 255}, {255, 255, 255}, {255, 255, 255},
               {255, 255, 255}, {255, 255, 255}, {0, 0, 0}})},
        {"duotone 8-bit: the stored grey", ColourMode::Duotone, 8, 1, 2, {{0, 77}}, bgra({{0, 0, 0}, {77, 77, 77}})},
        {"duotone 16-bit", ColourMode::Duotone, 16, 1, 1, {be16({32768})}, bgra({{128, 128, 128}})},
        {"CMYK 8-bit without profile: (255 - C)(255 - K) / 255 of the inverted values", ColourMode::Cmyk, 8, 4, 4,
         {{255, 0, 255, 128}, {255, 255, 255, 64}, {255, 255, 255, 255}, {255, 255, 0, 200}},
         bgra({{255, 255, 255}, {0, 255, 255}, {0, 0, 0}, {100, 50, 200}})},
        {"CMYK 16-bit without profile: scaled first", ColourMode::Cmyk, 16, 5, 1,
         {be16({65535}), be16({129}), be16({0}), be16({32768})}, bgra({{128, 0, 0}})},
        {"multichannel: the first three channels", ColourMode::Multichannel, 8, 4, 1, {{1}, {2}, {3}},
         bgra({{1, 2, 3}})},
        {"Lab 8-bit: white and black", ColourMode::Lab, 8, 3, 2, {{255, 0}, {128, 128}, {128, 128}},
         bgra({{255, 255, 255}, {0, 0, 0}})},
        {"Lab 16-bit: white and black", ColourMode::Lab, 16, 3, 2, {be16({65535, 0}), be16({32768, 32768}),
         be16({32768, 32768})}, bgra({{255, 255, 255}, {0, 0, 0}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(sourceOf(c.mode, c.depth, c.channels), problem)) << problem;
        ASSERT_EQ(converter.colourChannels(), c.rows.size());
        for (const Bytes& row : c.rows) ASSERT_EQ(row.size(), converter.rowBytes(c.width));
        EXPECT_EQ(convert(converter, c.rows, c.width), c.expected);
    }
}

TEST(PixelConversionTest, IndexedTakesThePaletteAndClearsAlphaAtTheTransparentIndex) {
    const Bytes table = palette();
    struct Case {
        const char* what;
        int32_t transparent;
        Bytes alpha;  // of indexes 0, 5, 255
    };
    const Case cases[] = {
        {"transparent index 5", 5, {kGuard, 0, kGuard}},
        {"no transparent index", -1, {kGuard, kGuard, kGuard}},
        {"an index outside the palette is none", 256, {kGuard, kGuard, kGuard}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ColourSource source = sourceOf(ColourMode::Indexed, 8, 1);
        source.modeData = table.data();
        source.modeDataSize = table.size();
        source.transparentIndex = c.transparent;
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(source, problem)) << problem;
        Bytes expected = bgra({{0, 255, 0}, {250, 128, 7}, {255, 0, 127}});
        for (size_t i = 0; i < 3; ++i) expected[i * 4 + 3] = c.alpha[i];
        EXPECT_EQ(convert(converter, {{0, 5, 255}}, 3), expected);
    }
}

TEST(PixelConversionTest, ModesThatCannotBeReadAreRefusedWithAReason) {
    const Bytes shortPalette(767, 0);
    struct Case {
        ColourMode mode;
        uint16_t depth;
        uint16_t channels;
        bool shortTable;
        const char* problem;
    };
    const Case cases[] = {
        {static_cast<ColourMode>(5), 8, 3, false, "colour mode 5 is not supported"},
        {ColourMode::Bitmap, 8, 1, false, "8-bit bitmap documents are not supported"},
        {ColourMode::Grayscale, 1, 1, false, "1-bit grayscale documents are not supported"},
        {ColourMode::Rgb, 12, 3, false, "12-bit RGB documents are not supported"},
        {ColourMode::Indexed, 16, 1, false, "16-bit indexed documents are not supported"},
        {ColourMode::Indexed, 8, 1, true, "the colour table of an indexed document is shorter than 768 bytes"},
        {ColourMode::Cmyk, 32, 4, false, "32-bit CMYK documents are not supported"},
        {ColourMode::Lab, 32, 3, false, "32-bit Lab documents are not supported"},
        {ColourMode::Multichannel, 8, 2, false, "a multichannel document with fewer than 3 channels is not supported"},
        {ColourMode::Rgb, 8, 2, false, "the header gives 2 channels, fewer than the 3 of its colour mode"},
        {ColourMode::Cmyk, 8, 3, false, "the header gives 3 channels, fewer than the 4 of its colour mode"},
    };
    for (const Case& c : cases) {
        ColourSource source = sourceOf(c.mode, c.depth, c.channels);
        if (c.shortTable) source.modeData = shortPalette.data(), source.modeDataSize = shortPalette.size();
        PixelConverter converter;
        std::string problem;
        EXPECT_FALSE(converter.prepare(source, problem)) << c.problem;
        EXPECT_EQ(problem, c.problem);
        EXPECT_EQ(converter.colourChannels(), 0u) << c.problem;
    }
}

TEST(PixelConversionTest, ChannelCountsAndNotes) {
    struct Case {
        ColourMode mode;
        uint16_t channels;
        size_t colour, ofMode;
        bool approximate;
        const char* note;
    };
    const Case cases[] = {
        {ColourMode::Rgb, 4, 3, 3, false, nullptr},
        {ColourMode::Grayscale, 2, 1, 1, false, nullptr},
        {ColourMode::Cmyk, 5, 4, 4, true, "CMYK without a colour profile: colours are approximate"},
        {ColourMode::Lab, 3, 3, 3, false, nullptr},
        {ColourMode::Multichannel, 5, 3, 5, false,
         "multichannel document: its first three channels are read as red, green and blue"},
    };
    for (const Case& c : cases) {
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(sourceOf(c.mode, 8, c.channels), problem)) << problem;
        EXPECT_EQ(converter.colourChannels(), c.colour);
        EXPECT_EQ(converter.modeChannels(), c.ofMode);
        EXPECT_EQ(converter.approximate(), c.approximate);
        EXPECT_STREQ(converter.note(), c.note);
    }
}

// Little CMS's own Lab (D50) to its own sRGB, unoptimised: every pixel through the whole pipeline.
std::vector<std::array<uint8_t, 3>> littleCmsLab(const std::vector<cmsCIELab>& lab) {
    cmsHPROFILE labProfile = cmsCreateLab4Profile(nullptr);
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(labProfile, TYPE_Lab_DBL, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL,
                                                 cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
    std::vector<std::array<uint8_t, 3>> rgb(lab.size());
    cmsDoTransform(transform, lab.data(), rgb.data(), static_cast<cmsUInt32Number>(lab.size()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(srgb);
    cmsCloseProfile(labProfile);
    return rgb;
}

TEST(PixelConversionTest, LabFollowsLittleCmsBuiltInProfiles) {
    // Stored values over the whole range, in and out of the sRGB gamut, and sRGB red (L 54.29,
    // a 80.80, b 69.89 under D50): each within one level of Little CMS's unoptimised transform.
    for (uint16_t depth : {8, 16}) {
        SCOPED_TRACE(std::to_string(depth) + "-bit");
        std::vector<Bytes> rows(3);
        std::vector<cmsCIELab> lab;
        auto add = [&](unsigned l, unsigned a, unsigned b) {
            const unsigned v[3] = {l, a, b};
            for (int k = 0; k < 3; ++k) {
                if (depth == 8) {
                    rows[k].push_back(static_cast<uint8_t>(v[k]));
                } else {
                    rows[k].insert(rows[k].end(), {static_cast<uint8_t>(v[k] >> 8), static_cast<uint8_t>(v[k])});
                }
            }
            lab.push_back(depth == 8 ? cmsCIELab{l * 100.0 / 255, a - 128.0, b - 128.0}
                                     : cmsCIELab{l * 100.0 / 65535, (a - 32768.0) / 256, (b - 32768.0) / 256});
        };
        const unsigned top = depth == 8 ? 255 : 65535, stride = depth == 8 ? 5 : 1285;
        for (unsigned l = 0; l <= top; l += stride) {
            for (unsigned a = 0; a <= top; a += 3 * stride) {
                for (unsigned b = 0; b <= top; b += 3 * stride) add(l, a, b);
            }
        }
        if (depth == 16) add(35579, 32768 + 20685, 32768 + 17892);  // sRGB red
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(sourceOf(ColourMode::Lab, depth, 3), problem)) << problem;
        const Bytes px = convert(converter, rows, lab.size());
        const auto expected = littleCmsLab(lab);
        size_t exact = 0;
        for (size_t i = 0; i < lab.size(); ++i) {
            for (int k = 0; k < 3; ++k) {
                const int got = px[i * 4 + 2 - k], want = expected[i][k];
                ASSERT_NEAR(got, want, 1) << "Lab " << lab[i].L << " " << lab[i].a << " " << lab[i].b;
                exact += got == want;
            }
        }
        EXPECT_GT(exact, lab.size() * 3 * 99 / 100) << "more than 1 % of the samples one level off";
        if (depth == 16) {
            EXPECT_EQ(px[px.size() - 4 + 2], 255);
            EXPECT_EQ(px[px.size() - 4 + 1], 0);
            EXPECT_EQ(px[px.size() - 4], 0);
        }
    }
}

// A CMYK output profile made with Little CMS: its only table (AToB0) gives Lab lightness from the
// black ink alone, so cyan, magenta and yellow ink leave white. Far from the formula used without
// a profile, so the two cannot be mistaken.
Bytes blackOnlyCmykProfile() {
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(context);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(context, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(context, 2, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        table,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) -> cmsInt32Number {
            out[0] = static_cast<cmsUInt16Number>(0xFFFF - in[3]);  // L 100 without black, 0 with all of it
            out[1] = out[2] = 0x8080;                                // a = b = 0
            return TRUE;
        },
        nullptr, 0);
    // An AToB table is curves, table, curves: identity curves around it.
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(context, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, table);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(context, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsPipelineFree(pipeline);
    cmsCloseProfile(profile);
    cmsDeleteContext(context);
    return bytes;
}

Bytes srgbProfile() {
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST(PixelConversionTest, CmykWithAProfileGoesThroughIt) {
    const Bytes profile = blackOnlyCmykProfile();
    ASSERT_GT(profile.size(), 128u);
    // Stored values are inverted: 255 is no ink. Pixels: no ink, all cyan, all black, cyan and yellow.
    const std::vector<Bytes> rows8 = {{255, 0, 255, 0}, {255, 255, 255, 255}, {255, 255, 255, 0}, {255, 255, 0, 255}};
    const Bytes expected = bgra({{255, 255, 255}, {255, 255, 255}, {0, 0, 0}, {255, 255, 255}});
    for (uint16_t depth : {8, 16}) {
        SCOPED_TRACE(std::to_string(depth) + "-bit");
        ColourSource source = sourceOf(ColourMode::Cmyk, depth, 4);
        source.iccProfile = profile.data();
        source.iccProfileSize = profile.size();
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(source, problem)) << problem;
        EXPECT_FALSE(converter.approximate());
        EXPECT_EQ(converter.note(), nullptr);
        std::vector<Bytes> rows = rows8;
        if (depth == 16) {
            for (Bytes& row : rows) {
                Bytes wide;
                for (uint8_t v : row) wide.insert(wide.end(), {v, v});
                row = wide;
            }
        }
        EXPECT_EQ(convert(converter, rows, 4), expected);
    }
}

TEST(PixelConversionTest, CmykWithAProfileLittleCmsRefusesIsConvertedAsWithout) {
    const Bytes rgb = srgbProfile();
    Bytes damaged = blackOnlyCmykProfile();
    damaged.resize(damaged.size() / 2);
    const Bytes garbage(600, 0x5A);
    const Bytes* profiles[] = {&rgb, &damaged, &garbage};
    for (const Bytes* profile : profiles) {
        ColourSource source = sourceOf(ColourMode::Cmyk, 8, 4);
        source.iccProfile = profile->data();
        source.iccProfileSize = profile->size();
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(source, problem)) << problem;
        EXPECT_TRUE(converter.approximate());
        EXPECT_STREQ(converter.note(), "CMYK with a colour profile that cannot be used: colours are approximate");
        EXPECT_EQ(convert(converter, {{0}, {255}, {255}, {255}}, 1), bgra({{0, 255, 255}}));
    }
}

double srgbReference(float v) {
    const double x = v;
    const double c = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1 / 2.4) - 0.055;
    return std::floor(c * 255 + 0.5);
}

TEST(PixelConversionTest, SrgbCurveEqualsThePowCurveAtEveryStepAndBetween) {
    // Each step up from k - 1 to k, found by bisection over the floats of 0..1 with the curve in
    // double: the converter must agree on both sides of it.
    for (int k = 1; k <= 255; ++k) {
        uint32_t low = 0, high = 0x3F800000;
        while (low < high) {
            const uint32_t mid = low + (high - low) / 2;
            if (srgbReference(floatOf(mid)) >= k) {
                high = mid;
            } else {
                low = mid + 1;
            }
        }
        ASSERT_EQ(psd::samples::srgbFromLinear(floatOf(low)), k) << std::hex << low;
        ASSERT_EQ(psd::samples::srgbFromLinear(floatOf(low - 1)), k - 1) << std::hex << low - 1;
    }
    for (uint32_t bits = 0; bits <= 0x3F800000; bits += 4099) {
        ASSERT_EQ(psd::samples::srgbFromLinear(floatOf(bits)), srgbReference(floatOf(bits))) << std::hex << bits;
    }
}

TEST(PixelConversionTest, AlphaRowsOfEachDepth) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        uint16_t depth;
        Bytes samples;
        Bytes expected;
    };
    const Case cases[] = {
        {8, {0, 1, 254, 255}, {0, 1, 254, 255}},
        {16, be16({0, 128, 129, 32768, 65406, 65407}), {0, 0, 1, 128, 254, 255}},
        {32, beFloat({0.0f, 0.5f, 1.0f / 255, 0.0031308f, 1.0f, 7.0f, -0.5f, nan}), {0, 128, 1, 1, 255, 255, 0, 0}},
        {1, {0x90}, {0, 255, 255, 0, 255, 255, 255, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.depth) + "-bit");
        PixelConverter converter;
        std::string problem;
        const ColourMode mode = c.depth == 1 ? ColourMode::Bitmap : ColourMode::Grayscale;
        ASSERT_TRUE(converter.prepare(sourceOf(mode, c.depth, 2), problem)) << problem;
        const uint64_t width = c.expected.size();
        Bytes out(width * 2, kGuard);
        converter.convertAlphaRow(c.samples.data(), width, out.data(), 2);
        for (uint64_t x = 0; x < width; ++x) {
            EXPECT_EQ(out[2 * x], c.expected[x]) << "sample " << x;
            EXPECT_EQ(out[2 * x + 1], kGuard) << "sample " << x;
        }
    }
}

TEST(PixelConversionTest, BandsFollowTheirStrides) {
    // Two rows of an RGB 16-bit band, each channel's rows a padded stride apart, into pixels whose
    // rows are 3 pixels and 4 bytes of padding apart, last row first (a negative stride).
    PixelConverter converter;
    std::string problem;
    ASSERT_TRUE(converter.prepare(sourceOf(ColourMode::Rgb, 16, 3), problem)) << problem;
    Bytes planes[3];
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 2; ++r) {
            Bytes row = be16({static_cast<unsigned>(257 * (10 * c + r)), static_cast<unsigned>(257 * (100 + c + r)), 0});
            row.resize(8, 0xEE);  // 2 bytes of padding
            planes[c].insert(planes[c].end(), row.begin(), row.end());
        }
    }
    const psd::StoredRows rows[3] = {{planes[0].data(), 8}, {planes[1].data(), 8}, {planes[2].data(), 8}};
    Bytes pixels(2 * 16, kGuard);
    converter.convertRows(rows, 2, 3, pixels.data() + 16, -16, 4);
    Bytes expected(2 * 16, kGuard);
    for (int r = 0; r < 2; ++r) {
        uint8_t* row = expected.data() + (1 - r) * 16;
        for (int x = 0; x < 3; ++x) {
            for (int c = 0; c < 3; ++c) {
                row[x * 4 + 2 - c] = x == 0 ? static_cast<uint8_t>(10 * c + r) : x == 1 ? static_cast<uint8_t>(100 + c + r) : 0;
            }
        }
    }
    EXPECT_EQ(pixels, expected);
}

TEST(PixelConversionTest, OneConverterOnSeveralThreadsGivesThePixelByPixelBytes) {
    const Bytes profile = blackOnlyCmykProfile();
    struct Case {
        ColourMode mode;
        uint16_t depth;
        uint16_t channels;
    };
    const Case cases[] = {{ColourMode::Cmyk, 16, 4}, {ColourMode::Lab, 8, 3}, {ColourMode::Rgb, 32, 3}};
    std::mt19937 random(19);
    for (const Case& c : cases) {
        ColourSource source = sourceOf(c.mode, c.depth, c.channels);
        source.iccProfile = profile.data();
        source.iccProfileSize = profile.size();
        PixelConverter converter;
        std::string problem;
        ASSERT_TRUE(converter.prepare(source, problem)) << problem;
        constexpr uint64_t kWidth = 700, kRows = 40;
        const uint64_t rowBytes = converter.rowBytes(kWidth);
        std::vector<Bytes> planes(c.channels, Bytes(rowBytes * kRows));
        for (Bytes& plane : planes) {
            for (uint8_t& v : plane) v = static_cast<uint8_t>(random() % 4 == 0 ? random() : 0x3C);
        }
        std::vector<psd::StoredRows> rows;
        for (const Bytes& plane : planes) rows.push_back({plane.data(), static_cast<ptrdiff_t>(rowBytes)});
        auto run = [&](Bytes& out) { converter.convertRows(rows.data(), kRows, kWidth, out.data(), kWidth * 4, 4); };
        Bytes alone(kWidth * kRows * 4, 0);
        run(alone);
        // The same pixels one at a time: no runs of equal pixels, no chunks.
        Bytes single(alone.size(), 0);
        for (uint64_t r = 0; r < kRows; ++r) {
            for (uint64_t x = 0; x < kWidth; ++x) {
                std::vector<psd::StoredRows> pixel;
                for (const psd::StoredRows& channel : rows) {
                    pixel.push_back({channel.first + r * rowBytes + converter.rowBytes(x), 0});
                }
                converter.convertRows(pixel.data(), 1, 1, single.data() + (r * kWidth + x) * 4, 0, 4);
            }
        }
        EXPECT_EQ(single, alone) << "mode " << static_cast<int>(c.mode);
        std::vector<Bytes> outs(4, Bytes(alone.size(), 0));
        std::vector<std::thread> threads;
        for (Bytes& out : outs) threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) run(out);
        });
        for (std::thread& t : threads) t.join();
        for (const Bytes& out : outs) EXPECT_EQ(out, alone) << "mode " << static_cast<int>(c.mode);
    }
}

}  // namespace
