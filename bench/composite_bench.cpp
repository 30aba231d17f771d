// Compositing speed per blend mode on a 2048 x 2048 layer, in megapixels per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "composite/Composite.h"
#include "image/Layer.h"
#include "image/dib24.h"

namespace {

constexpr int32_t kSize = 2048;

const char* const kModeNames[blend::ModeCount] = {
    "normal",       "normal-alt",  "multiply",    "multiply-alt", "screen",       "overlay",
    "hard-light",   "soft-light",  "vivid-light", "linear-light", "pin-light",    "colour-dodge",
    "colour-burn",  "linear-dodge", "linear-burn", "darken",      "lighten",      "difference",
    "exclusion",    "hue",         "saturation",  "colour",       "luminosity"};

// Random colours; alpha opaque for three quarters of the pixels and random for the rest, so the
// transparent test is taken now and then but the blend work dominates.
struct Fixture {
    Layer layer;
    dib24 canvas;
    std::vector<uint8_t> canvasStart;

    Fixture() {
        std::mt19937 rng(12345);
        layer.resize(kSize, kSize, blend::Normal);
        layer.opacity = 80;
        for (size_t i = 0; i < layer.pixels.size(); i += 4) {
            const uint32_t r = rng();
            layer.pixels[i] = static_cast<uint8_t>(r);
            layer.pixels[i + 1] = static_cast<uint8_t>(r >> 8);
            layer.pixels[i + 2] = static_cast<uint8_t>(r >> 16);
            layer.pixels[i + 3] = (r >> 24) < 192 ? 255 : static_cast<uint8_t>(r >> 24);
        }
        canvas.create(kSize, kSize, 0);
        const size_t bytes = static_cast<size_t>(canvas.stride) * static_cast<size_t>(canvas.height);
        for (size_t i = 0; i < bytes; ++i) canvas.bits[i] = static_cast<uint8_t>(rng());
        canvasStart.assign(canvas.bits, canvas.bits + bytes);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void compositeMode(benchmark::State& state) {
    Fixture& f = fixture();
    f.layer.blendMode = static_cast<BlendMode>(state.range(0));
    state.SetLabel(kModeNames[state.range(0)]);
    for (auto _ : state) {
        // Every pass starts from the same canvas, so no mode drifts into a degenerate input.
        state.PauseTiming();
        std::memcpy(f.canvas.bits, f.canvasStart.data(), f.canvasStart.size());
        state.ResumeTiming();
        compositeOnto(f.layer, f.canvas);
        benchmark::DoNotOptimize(f.canvas.bits);
        benchmark::ClobberMemory();
    }
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(kSize) * kSize / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(compositeMode)->DenseRange(0, blend::ModeCount - 1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
