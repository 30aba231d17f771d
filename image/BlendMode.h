#pragma once
#include <cstdint>

// Blend mode of a layer. 1 and 3 behave exactly like 0 and 2.
using BlendMode = int32_t;

namespace blend {
constexpr BlendMode Normal = 0;
constexpr BlendMode NormalAlt = 1;
constexpr BlendMode Multiply = 2;
constexpr BlendMode MultiplyAlt = 3;
constexpr BlendMode Screen = 4;
constexpr BlendMode Overlay = 5;
constexpr BlendMode HardLight = 6;
constexpr BlendMode SoftLight = 7;
constexpr BlendMode VividLight = 8;
constexpr BlendMode LinearLight = 9;
constexpr BlendMode PinLight = 10;
constexpr BlendMode ColorDodge = 11;
constexpr BlendMode ColorBurn = 12;
constexpr BlendMode LinearDodge = 13;
constexpr BlendMode LinearBurn = 14;
constexpr BlendMode Darken = 15;
constexpr BlendMode Lighten = 16;
constexpr BlendMode Difference = 17;
constexpr BlendMode Exclusion = 18;
constexpr BlendMode Hue = 19;
constexpr BlendMode Saturation = 20;
constexpr BlendMode Color = 21;
constexpr BlendMode Luminosity = 22;
// Not a blend mode: marks a layer that carries an extra alpha channel of a PSD document.
constexpr BlendMode AlphaChannel = 23;
constexpr int32_t ModeCount = 23;
}  // namespace blend
