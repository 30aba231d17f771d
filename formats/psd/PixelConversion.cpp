#include "formats/psd/PixelConversion.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>

#include "image/ByteOrder.h"

namespace psd {

namespace {

using byteorder::be::load16;
using byteorder::be::load32;

constexpr size_t kPaletteBytes = 768;

// The sRGB curve's thresholds: the bit pattern of the smallest float whose value through the curve,
// x 255, rounds to k, for k = 1 .. 255 (entry k - 1). Found by bisection over the floats of 0..1
// with the curve in double precision (the same in long double); that reference is monotonic over
// every float of 0..1, so a value's byte is the number of thresholds at or below it. A table rather
// than std::pow at run time: the bytes are then the same with every compiler's library, and a
// float takes a lookup. The tests check every threshold against the reference.
constexpr uint32_t kSrgbThresholds[255] = {
    0x391F22B4, 0x39EEB40E, 0x3A46EB61, 0x3A8B3E5E, 0x3AB3070B, 0x3ADACFB8, 0x3B014C33, 0x3B153089,
    0x3B2914DF, 0x3B3CF936, 0x3B50F2D1, 0x3B65FB9B, 0x3B7C3403, 0x3B89D060, 0x3B962333, 0x3BA314BD,
    0x3BB0A731, 0x3BBEDCB7, 0x3BCDB76D, 0x3BDD3967, 0x3BED64AF, 0x3BFE3B46, 0x3C07DF91, 0x3C10F91B,
    0x3C1A6B32, 0x3C2436C8, 0x3C2E5CC7, 0x3C38DE1A, 0x3C43BBA4, 0x3C4EF648, 0x3C5A8EE4, 0x3C668654,
    0x3C72DD71, 0x3C7F950F, 0x3C865702, 0x3C8D148F, 0x3C940396, 0x3C9B247C, 0x3CA277A6, 0x3CA9FD78,
    0x3CB1B653, 0x3CB9A298, 0x3CC1C2A9, 0x3CCA16E3, 0x3CD29FA4, 0x3CDB5D4B, 0x3CE45032, 0x3CED78B5,
    0x3CF6D72E, 0x3D0035FC, 0x3D051BB4, 0x3D0A1CEC, 0x3D0F39D0, 0x3D14728A, 0x3D19C745, 0x3D1F382C,
    0x3D24C567, 0x3D2A6F22, 0x3D303584, 0x3D3618B7, 0x3D3C18E4, 0x3D423632, 0x3D4870CA, 0x3D4EC8D2,
    0x3D553E73, 0x3D5BD1D3, 0x3D628318, 0x3D69526A, 0x3D703FEE, 0x3D774BCA, 0x3D7E7624, 0x3D82DF90,
    0x3D869372, 0x3D8A56CB, 0x3D8E29AB, 0x3D920C27, 0x3D95FE4F, 0x3D9A0035, 0x3D9E11EC, 0x3DA23384,
    0x3DA66510, 0x3DAAA6A0, 0x3DAEF847, 0x3DB35A15, 0x3DB7CC1B, 0x3DBC4E6B, 0x3DC0E114, 0x3DC58429,
    0x3DCA37B9, 0x3DCEFBD6, 0x3DD3D08F, 0x3DD8B5F5, 0x3DDDAC19, 0x3DE2B30A, 0x3DE7CAD9, 0x3DECF395,
    0x3DF22D50, 0x3DF77817, 0x3DFCD3FC, 0x3E012087, 0x3E03DFAE, 0x3E06A77B, 0x3E0977F6, 0x3E0C5126,
    0x3E0F3314, 0x3E121DC5, 0x3E151143, 0x3E180D95, 0x3E1B12C2, 0x3E1E20D1, 0x3E2137CB, 0x3E2457B6,
    0x3E278099, 0x3E2AB27D, 0x3E2DED68, 0x3E313161, 0x3E347E70, 0x3E37D49C, 0x3E3B33EC, 0x3E3E9C67,
    0x3E420E15, 0x3E4588FB, 0x3E490D22, 0x3E4C9A90, 0x3E50314C, 0x3E53D15D, 0x3E577ACA, 0x3E5B2D9A,
    0x3E5EE9D4, 0x3E62AF7E, 0x3E667E9F, 0x3E6A573E, 0x3E6E3962, 0x3E722511, 0x3E761A52, 0x3E7A192C,
    0x3E7E21A5, 0x3E8119E2, 0x3E8327C7, 0x3E853A86, 0x3E875222, 0x3E896E9D, 0x3E8B8FFC, 0x3E8DB641,
    0x3E8FE170, 0x3E92118B, 0x3E944696, 0x3E968095, 0x3E98BF89, 0x3E9B0377, 0x3E9D4C62, 0x3E9F9A4C,
    0x3EA1ED38, 0x3EA4452B, 0x3EA6A226, 0x3EA9042E, 0x3EAB6B44, 0x3EADD76D, 0x3EB048AA, 0x3EB2BF00,
    0x3EB53A71, 0x3EB7BB00, 0x3EBA40B1, 0x3EBCCB85, 0x3EBF5B81, 0x3EC1F0A7, 0x3EC48AF9, 0x3EC72A7C,
    0x3EC9CF32, 0x3ECC791E, 0x3ECF2842, 0x3ED1DCA2, 0x3ED49641, 0x3ED75521, 0x3EDA1946, 0x3EDCE2B2,
    0x3EDFB168, 0x3EE2856A, 0x3EE55EBD, 0x3EE83D63, 0x3EEB215D, 0x3EEE0AB1, 0x3EF0F95F, 0x3EF3ED6B,
    0x3EF6E6D8, 0x3EF9E5A8, 0x3EFCE9DE, 0x3EFFF37E, 0x3F018145, 0x3F030B82, 0x3F049877, 0x3F062827,
    0x3F07BA92, 0x3F094FB9, 0x3F0AE79F, 0x3F0C8244, 0x3F0E1FAA, 0x3F0FBFD2, 0x3F1162BE, 0x3F13086E,
    0x3F14B0E4, 0x3F165C22, 0x3F180A29, 0x3F19BAFA, 0x3F1B6E96, 0x3F1D24FF, 0x3F1EDE36, 0x3F209A3C,
    0x3F225913, 0x3F241ABC, 0x3F25DF38, 0x3F27A689, 0x3F2970AF, 0x3F2B3DAD, 0x3F2D0D83, 0x3F2EE032,
    0x3F30B5BD, 0x3F328E24, 0x3F346968, 0x3F36478B, 0x3F38288F, 0x3F3A0C73, 0x3F3BF33A, 0x3F3DDCE5,
    0x3F3FC975, 0x3F41B8EB, 0x3F43AB48, 0x3F45A08F, 0x3F4798BF, 0x3F4993DB, 0x3F4B91E3, 0x3F4D92D8,
    0x3F4F96BD, 0x3F519D92, 0x3F53A758, 0x3F55B411, 0x3F57C3BE, 0x3F59D65F, 0x3F5BEBF7, 0x3F5E0486,
    0x3F60200E, 0x3F623E90, 0x3F64600C, 0x3F668485, 0x3F68ABFB, 0x3F6AD670, 0x3F6D03E5, 0x3F6F345A,
    0x3F7167D2, 0x3F739E4D, 0x3F75D7CC, 0x3F781451, 0x3F7A53DD, 0x3F7C9671, 0x3F7EDC0E,
};

constexpr uint32_t kFloatOne = 0x3F800000;
constexpr uint32_t kFloatSign = 0x80000000;
// The floats of 0 .. 1 in buckets of 65536 neighbours; each bucket starts at the byte of its first
// float, and no bucket holds more than a few thresholds.
constexpr unsigned kBucketShift = 16;
constexpr size_t kBuckets = kFloatOne >> kBucketShift;

constexpr std::array<uint8_t, kBuckets> makeSrgbBuckets() {
    std::array<uint8_t, kBuckets> buckets{};
    unsigned value = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        while (value < 255 && (uint32_t{static_cast<uint32_t>(i)} << kBucketShift) >= kSrgbThresholds[value]) ++value;
        buckets[i] = static_cast<uint8_t>(value);
    }
    return buckets;
}
constexpr std::array<uint8_t, kBuckets> kSrgbBuckets = makeSrgbBuckets();

uint8_t srgbFromBits(uint32_t bits) {
    if (bits >= kFloatSign) return 0;                         // negative, -0 and NaNs with the sign
    if (bits >= kFloatOne) return bits > 0x7F800000 ? 0 : 255;  // NaN, or 1 up to infinity
    unsigned value = kSrgbBuckets[bits >> kBucketShift];
    while (value < 255 && bits >= kSrgbThresholds[value]) ++value;
    return static_cast<uint8_t>(value);
}

float floatFromBits(uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Sample loaders by depth: the 8-bit value of sample x of a stored row.
struct Load8 {
    static uint8_t at(const uint8_t* row, uint64_t x) { return row[x]; }
};
struct Load16 {
    static uint8_t at(const uint8_t* row, uint64_t x) { return samples::from16(load16(row + 2 * x)); }
};
struct LoadFloatColour {
    static uint8_t at(const uint8_t* row, uint64_t x) { return srgbFromBits(load32(row + 4 * x)); }
};

// Little CMS transforms take interleaved pixels: this many at a time are gathered on the stack.
constexpr size_t kChunk = 256;

}  // namespace

namespace samples {
uint8_t srgbFromLinear(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return srgbFromBits(bits);
}
uint8_t alphaFromFloat(float v) {
    if (!(v > 0.0f)) return 0;  // NaN too
    if (v >= 1.0f) return 255;
    return static_cast<uint8_t>(std::floor(static_cast<double>(v) * 255.0 + 0.5));
}
}  // namespace samples

// A Little CMS context of the converter's own (its error log and memory apart from any other user
// of the library) with the transform of a CMYK profile to sRGB, 8-bit RGB out. Made without the
// one-pixel cache: the cache is the only state a transform changes while it runs, so without it one
// transform serves every thread at once. Lab documents need no transform, only the matrix of Little
// CMS's own sRGB profile (see labTransform).
struct PixelConverter::ColourTransform {
    cmsContext context = nullptr;
    cmsHTRANSFORM transform = nullptr;
    double xyzToRgb[3][3] = {};  // Lab: XYZ (D50) to linear sRGB

    ColourTransform() = default;
    ColourTransform(const ColourTransform&) = delete;
    ColourTransform& operator=(const ColourTransform&) = delete;
    ~ColourTransform() {
        if (transform != nullptr) cmsDeleteTransform(transform);
        if (context != nullptr) cmsDeleteContext(context);
    }
};

namespace {

struct ProfileCloser {
    void operator()(void* profile) const {
        if (profile != nullptr) cmsCloseProfile(profile);
    }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

void silentLog(cmsContext, cmsUInt32Number, const char*) {}

std::unique_ptr<PixelConverter::ColourTransform> newContext() {
    auto colour = std::make_unique<PixelConverter::ColourTransform>();
    colour->context = cmsCreateContext(nullptr, nullptr);
    if (colour->context == nullptr) throw std::bad_alloc();
    cmsSetLogErrorHandlerTHR(colour->context, silentLog);
    return colour;
}

// The embedded profile's transform of CMYK to sRGB, perceptual; the rows are inverted back from the
// file's 255 = no ink while they are gathered. Null when Little CMS cannot use the profile for it.
std::unique_ptr<PixelConverter::ColourTransform> cmykTransform(const uint8_t* icc, size_t size, uint16_t depth) {
    if (icc == nullptr || size == 0 || size > UINT32_MAX) return nullptr;
    auto colour = newContext();
    const Profile cmyk(cmsOpenProfileFromMemTHR(colour->context, icc, static_cast<cmsUInt32Number>(size)));
    if (cmyk == nullptr || cmsGetColorSpace(cmyk.get()) != cmsSigCmykData) return nullptr;
    const Profile srgb(cmsCreate_sRGBProfileTHR(colour->context));
    if (srgb == nullptr) throw std::bad_alloc();
    colour->transform = cmsCreateTransformTHR(colour->context, cmyk.get(), depth == 16 ? TYPE_CMYK_16 : TYPE_CMYK_8,
                                              srgb.get(), TYPE_RGB_8, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
    if (colour->transform == nullptr) return nullptr;
    return colour;
}

// Lab goes from Little CMS's own Lab (D50) to its own sRGB, as its unoptimised transform does it:
// Lab to XYZ under D50, the inverse of the sRGB profile's colorant matrix, then the sRGB curve. It is
// computed here, per pixel, with that profile's matrix: Little CMS's optimised transform resamples it
// into a table that is up to 41 levels off for colours inside sRGB, and its unoptimised one costs
// about 260 ms a megapixel.
std::unique_ptr<PixelConverter::ColourTransform> labTransform() {
    auto colour = newContext();
    const Profile srgb(cmsCreate_sRGBProfileTHR(colour->context));
    if (srgb == nullptr) throw std::bad_alloc();
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    double m[3][3];  // linear sRGB to XYZ: the colorants are its columns
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(srgb.get(), tags[c]));
        if (xyz == nullptr) throw std::bad_alloc();  // the built-in profile has them unless memory ran out
        m[0][c] = xyz->X;
        m[1][c] = xyz->Y;
        m[2][c] = xyz->Z;
    }
    // The inverse by cofactors; the sRGB primaries are far from singular.
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            colour->xyzToRgb[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    }
    return colour;
}

// CIE's inverse of the Lab companding function, as Little CMS has it.
double labInverse(double t) { return t <= 24.0 / 116.0 ? 108.0 / 841.0 * (t - 16.0 / 116.0) : t * t * t; }

}  // namespace

// The row conversions, one per mode and depth; prepare picks one.
struct RowConversions {
    template <typename Load>
    static void grey(const PixelConverter&, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        for (uint64_t x = 0; x < width; ++x, px += step) px[0] = px[1] = px[2] = Load::at(ch[0], x);
    }

    static void bitmap(const PixelConverter&, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        for (uint64_t x = 0; x < width; ++x, px += step) {
            const bool ink = (ch[0][x / 8] >> (7 - x % 8)) & 1;
            px[0] = px[1] = px[2] = ink ? 0 : 255;
        }
    }

    static void indexed(const PixelConverter& c, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        for (uint64_t x = 0; x < width; ++x, px += step) {
            const uint8_t index = ch[0][x];
            std::memcpy(px, c.palette_[index], 3);
            if (index == c.transparentIndex_) px[3] = 0;
        }
    }

    template <typename Load>
    static void rgb(const PixelConverter&, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        for (uint64_t x = 0; x < width; ++x, px += step) {
            px[0] = Load::at(ch[2], x);
            px[1] = Load::at(ch[1], x);
            px[2] = Load::at(ch[0], x);
        }
    }

    // Without a profile: each colour is what its ink and black leave of white.
    template <typename Load>
    static void cmykNaive(const PixelConverter&, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        for (uint64_t x = 0; x < width; ++x, px += step) {
            const unsigned k = Load::at(ch[3], x);
            px[0] = static_cast<uint8_t>(Load::at(ch[2], x) * k / 255);
            px[1] = static_cast<uint8_t>(Load::at(ch[1], x) * k / 255);
            px[2] = static_cast<uint8_t>(Load::at(ch[0], x) * k / 255);
        }
    }

    // CMYK through the profile. Runs of equal pixels (flat areas) are transformed once.
    template <bool kWide>
    static void cmykProfiled(const PixelConverter& c, const uint8_t* const* ch, uint64_t width, uint8_t* px,
                             size_t step) {
        using Sample = std::conditional_t<kWide, uint16_t, uint8_t>;
        constexpr Sample kNoInk = kWide ? 0xFFFF : 0xFF;
        Sample in[kChunk * 4];
        uint8_t out[kChunk * 3];
        uint16_t runs[kChunk];
        for (uint64_t start = 0; start < width; start += kChunk) {
            const size_t n = static_cast<size_t>(width - start < kChunk ? width - start : kChunk);
            size_t unique = 0;
            for (size_t i = 0; i < n; ++i) {
                const uint64_t x = start + i;
                Sample pixel[4];
                for (size_t k = 0; k < 4; ++k) {
                    if constexpr (kWide) {
                        pixel[k] = static_cast<Sample>(kNoInk - load16(ch[k] + 2 * x));
                    } else {
                        pixel[k] = static_cast<Sample>(kNoInk - ch[k][x]);
                    }
                }
                if (unique > 0 && std::memcmp(pixel, in + (unique - 1) * 4, sizeof pixel) == 0) {
                    ++runs[unique - 1];
                } else {
                    std::memcpy(in + unique * 4, pixel, sizeof pixel);
                    runs[unique++] = 1;
                }
            }
            cmsDoTransform(c.transform_->transform, in, out, static_cast<cmsUInt32Number>(unique));
            for (size_t u = 0; u < unique; ++u) {
                for (uint16_t r = 0; r < runs[u]; ++r, px += step) {
                    px[0] = out[u * 3 + 2];
                    px[1] = out[u * 3 + 1];
                    px[2] = out[u * 3];
                }
            }
        }
    }

    // Lab: L 0..100 stored as 0..255 (65535); a and b offset by 128 (32768 with 256 a unit).
    template <bool kWide>
    static void lab(const PixelConverter& c, const uint8_t* const* ch, uint64_t width, uint8_t* px, size_t step) {
        const double(&m)[3][3] = c.transform_->xyzToRgb;
        const cmsCIEXYZ* white = cmsD50_XYZ();
        for (uint64_t x = 0; x < width; ++x, px += step) {
            double l, a, b;
            if constexpr (kWide) {
                l = load16(ch[0] + 2 * x) * (100.0 / 65535.0);
                // The top of the range is cut at 127, the end of Little CMS's (and the ICC's) Lab.
                a = std::min((load16(ch[1] + 2 * x) - 32768.0) / 256.0, 127.0);
                b = std::min((load16(ch[2] + 2 * x) - 32768.0) / 256.0, 127.0);
            } else {
                l = ch[0][x] * (100.0 / 255.0);
                a = ch[1][x] - 128.0;
                b = ch[2][x] - 128.0;
            }
            const double fy = (l + 16.0) / 116.0;
            const double xyz[3] = {labInverse(fy + 0.002 * a) * white->X, labInverse(fy) * white->Y,
                                   labInverse(fy - 0.005 * b) * white->Z};
            for (int k = 0; k < 3; ++k) {
                const double linear = m[k][0] * xyz[0] + m[k][1] * xyz[1] + m[k][2] * xyz[2];
                px[2 - k] = samples::srgbFromLinear(static_cast<float>(linear));
            }
        }
    }
};

PixelConverter::PixelConverter() = default;
PixelConverter::~PixelConverter() = default;
PixelConverter::PixelConverter(PixelConverter&&) noexcept = default;
PixelConverter& PixelConverter::operator=(PixelConverter&&) noexcept = default;

bool PixelConverter::prepare(const ColourSource& source, std::string& problem) {
    *this = PixelConverter();
    const uint16_t depth = source.depth;
    const auto mode = static_cast<ColourMode>(source.mode);
    const bool anyDepth = depth == 8 || depth == 16 || depth == 32;
    auto refuse = [&](std::string why) {
        problem = std::move(why);
        *this = PixelConverter();
        return false;
    };
    auto badDepth = [&](const char* modeName) {
        return refuse(std::to_string(depth) + "-bit " + modeName + " documents are not supported");
    };
    RowFunction row = nullptr;
    size_t colour = 0;
    switch (mode) {
        case ColourMode::Bitmap:
            if (depth != 1) return badDepth("bitmap");
            colour = 1;
            row = RowConversions::bitmap;
            break;
        case ColourMode::Grayscale:
        case ColourMode::Duotone:
            if (!anyDepth) return badDepth(mode == ColourMode::Grayscale ? "grayscale" : "duotone");
            colour = 1;
            row = depth == 8    ? RowConversions::grey<Load8>
                  : depth == 16 ? RowConversions::grey<Load16>
                                : RowConversions::grey<LoadFloatColour>;
            break;
        case ColourMode::Indexed:
            if (depth != 8) return badDepth("indexed");
            if (source.modeData == nullptr || source.modeDataSize < kPaletteBytes) {
                return refuse("the colour table of an indexed document is shorter than 768 bytes");
            }
            for (size_t i = 0; i < 256; ++i) {
                palette_[i][0] = source.modeData[512 + i];
                palette_[i][1] = source.modeData[256 + i];
                palette_[i][2] = source.modeData[i];
            }
            if (source.transparentIndex >= 0 && source.transparentIndex < 256) transparentIndex_ = source.transparentIndex;
            colour = 1;
            row = RowConversions::indexed;
            break;
        case ColourMode::Rgb:
        case ColourMode::Multichannel:
            if (!anyDepth) return badDepth(mode == ColourMode::Rgb ? "RGB" : "multichannel");
            if (mode == ColourMode::Multichannel) {
                if (source.channels < 3) return refuse("a multichannel document with fewer than 3 channels is not supported");
                note_ = "multichannel document: its first three channels are read as red, green and blue";
            }
            colour = 3;
            row = depth == 8    ? RowConversions::rgb<Load8>
                  : depth == 16 ? RowConversions::rgb<Load16>
                                : RowConversions::rgb<LoadFloatColour>;
            break;
        case ColourMode::Cmyk:
            if (depth != 8 && depth != 16) return badDepth("CMYK");
            colour = 4;
            if (source.iccProfile != nullptr && source.iccProfileSize != 0) {
                transform_ = cmykTransform(source.iccProfile, source.iccProfileSize, depth);
            }
            if (transform_ != nullptr) {
                row = depth == 8 ? RowConversions::cmykProfiled<false> : RowConversions::cmykProfiled<true>;
            } else {
                approximate_ = true;
                note_ = source.iccProfileSize != 0 ? "CMYK with a colour profile that cannot be used: colours are approximate"
                                                   : "CMYK without a colour profile: colours are approximate";
                row = depth == 8 ? RowConversions::cmykNaive<Load8> : RowConversions::cmykNaive<Load16>;
            }
            break;
        case ColourMode::Lab:
            if (depth != 8 && depth != 16) return badDepth("Lab");
            colour = 3;
            transform_ = labTransform();
            row = depth == 8 ? RowConversions::lab<false> : RowConversions::lab<true>;
            break;
        default:
            return refuse("colour mode " + std::to_string(source.mode) + " is not supported");
    }
    if (source.channels < colour) {
        return refuse("the header gives " + std::to_string(source.channels) + " channels, fewer than the " +
                      std::to_string(colour) + " of its colour mode");
    }
    depth_ = depth;
    colourChannels_ = colour;
    modeChannels_ = mode == ColourMode::Multichannel ? source.channels : colour;
    row_ = row;
    return true;
}

void PixelConverter::convertRows(const StoredRows* channels, uint64_t rows, uint64_t width, uint8_t* pixels,
                                 ptrdiff_t rowStride, size_t step) const {
    if (row_ == nullptr) return;
    const uint8_t* row[4] = {};
    for (uint64_t r = 0; r < rows; ++r) {
        for (size_t c = 0; c < colourChannels_; ++c) {
            row[c] = channels[c].first + static_cast<ptrdiff_t>(r) * channels[c].stride;
        }
        row_(*this, row, width, pixels + static_cast<ptrdiff_t>(r) * rowStride, step);
    }
}

void PixelConverter::convertRow(const uint8_t* const* channels, uint64_t width, uint8_t* pixels, size_t step) const {
    if (row_ != nullptr) row_(*this, channels, width, pixels, step);
}

void PixelConverter::convertAlphaRow(const uint8_t* samples, uint64_t width, uint8_t* out, size_t step) const {
    switch (depth_) {
        case 1:
            for (uint64_t x = 0; x < width; ++x, out += step) *out = (samples[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
            break;
        case 8:
            for (uint64_t x = 0; x < width; ++x, out += step) *out = samples[x];
            break;
        case 16:
            for (uint64_t x = 0; x < width; ++x, out += step) *out = samples::from16(load16(samples + 2 * x));
            break;
        case 32:
            for (uint64_t x = 0; x < width; ++x, out += step) {
                *out = samples::alphaFromFloat(floatFromBits(load32(samples + 4 * x)));
            }
            break;
        default:
            break;
    }
}

}  // namespace psd
