// Speed of PSD depth and colour conversion per mode and depth, in megapixels per second on one
// thread, on 1024 x 1024 pixels whose neighbours differ (no runs of equal pixels to skip).
// RIVODIV_BENCH_CMYK_ICC names a CMYK profile to time; without it a generated one stands in
// (Little CMS resamples any CMYK profile into a table of the same size, so the cost is alike).
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "formats/psd/PixelConversion.h"

namespace {

constexpr uint64_t kSize = 1024;

// A CMYK output profile whose table gives Lab from the inks by the naive formula through sRGB.
std::vector<uint8_t> generatedCmykProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(
        table,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void* transform) -> cmsInt32Number {
            cmsUInt16Number rgb[3];
            for (int c = 0; c < 3; ++c) rgb[c] = static_cast<cmsUInt16Number>((0xFFFF - in[c]) * (0xFFFF - in[3]) / 0xFFFF);
            cmsDoTransform(transform, rgb, out, 1);
            return TRUE;
        },
        toLab, 0);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, table);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsPipelineFree(pipeline);
    cmsCloseProfile(profile);
    cmsDeleteTransform(toLab);
    cmsCloseProfile(lab);
    cmsCloseProfile(srgb);
    return bytes;
}

const std::vector<uint8_t>& cmykProfile() {
    static const std::vector<uint8_t> bytes = [] {
        if (const char* path = std::getenv("RIVODIV_BENCH_CMYK_ICC")) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (!file.empty()) return file;
        }
        return generatedCmykProfile();
    }();
    return bytes;
}

struct Case {
    const char* label;
    psd::ColourMode mode;
    uint16_t depth;
    uint16_t channels;
    bool profile;
};
const Case kCases[] = {
    {"RGB 8-bit", psd::ColourMode::Rgb, 8, 3, false},
    {"RGB 16-bit", psd::ColourMode::Rgb, 16, 3, false},
    {"RGB 32-bit", psd::ColourMode::Rgb, 32, 3, false},
    {"grayscale 16-bit", psd::ColourMode::Grayscale, 16, 1, false},
    {"CMYK 8-bit, no profile", psd::ColourMode::Cmyk, 8, 4, false},
    {"CMYK 8-bit, profile", psd::ColourMode::Cmyk, 8, 4, true},
    {"CMYK 16-bit, profile", psd::ColourMode::Cmyk, 16, 4, true},
    {"Lab 8-bit", psd::ColourMode::Lab, 8, 3, false},
    {"Lab 16-bit", psd::ColourMode::Lab, 16, 3, false},
};

// Samples of a smooth picture with noise, as the file stores them: floats of 0..1 at 32 bits.
std::vector<uint8_t> channelSamples(uint16_t depth, unsigned seed) {
    std::mt19937 rng(seed);
    const uint64_t rowBytes = psd::storedRowBytes(kSize, depth);
    std::vector<uint8_t> plane(rowBytes * kSize);
    for (uint64_t y = 0; y < kSize; ++y) {
        for (uint64_t x = 0; x < kSize; ++x) {
            const double v = ((x + y * seed) % 1024) / 1024.0 * 0.9 + (rng() % 1000) / 10000.0;
            uint8_t* at = plane.data() + y * rowBytes + x * (depth / 8);
            if (depth == 8) {
                at[0] = static_cast<uint8_t>(v * 255);
            } else if (depth == 16) {
                const auto s = static_cast<uint16_t>(v * 65535);
                at[0] = static_cast<uint8_t>(s >> 8), at[1] = static_cast<uint8_t>(s);
            } else {
                const float f = static_cast<float>(v);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                for (int b = 0; b < 4; ++b) at[b] = static_cast<uint8_t>(bits >> (24 - 8 * b));
            }
        }
    }
    return plane;
}

void convertPixels(benchmark::State& state) {
    const Case& c = kCases[state.range(0)];
    state.SetLabel(c.label);
    psd::ColourSource source;
    source.mode = static_cast<uint16_t>(c.mode);
    source.depth = c.depth;
    source.channels = c.channels;
    if (c.profile) {
        source.iccProfile = cmykProfile().data();
        source.iccProfileSize = cmykProfile().size();
    }
    psd::PixelConverter converter;
    std::string problem;
    if (!converter.prepare(source, problem) || (c.profile && converter.approximate())) {
        state.SkipWithError(problem.empty() ? "the profile was not used" : problem.c_str());
        return;
    }
    std::vector<std::vector<uint8_t>> planes;
    std::vector<psd::StoredRows> rows;
    for (uint16_t k = 0; k < c.channels; ++k) planes.push_back(channelSamples(c.depth, 3 + k));
    for (const auto& plane : planes) rows.push_back({plane.data(), static_cast<ptrdiff_t>(converter.rowBytes(kSize))});
    std::vector<uint8_t> pixels(kSize * kSize * 4);
    for (auto _ : state) {
        converter.convertRows(rows.data(), kSize, kSize, pixels.data(), kSize * 4, 4);
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(kSize) * kSize / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(convertPixels)->DenseRange(0, std::size(kCases) - 1)->Unit(benchmark::kMillisecond);

}  // namespace
