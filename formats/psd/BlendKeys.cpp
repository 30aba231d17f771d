#include <cstring>

#include "formats/psd/PsdLayout.h"

namespace psd {
namespace {
// Indexed by BlendMode 0..22.
constexpr const char* kKeys[blend::ModeCount] = {
    "norm", "norm", "mul ", "mul ", "scrn", "over", "hLit", "sLit", "vLit", "lLit", "pLit", "div ",
    "idiv", "lddg", "lbrn", "dark", "lite", "diff", "smud", "hue ", "sat ", "colr", "lum "};
}  // namespace

const char* blendKeyFor(BlendMode mode) {
    if (mode < 0 || mode >= blend::ModeCount) return kKeys[0];
    return kKeys[mode];
}

BlendMode blendModeForKey(const uint8_t key[4]) {
    for (BlendMode mode = 0; mode < blend::ModeCount; ++mode) {
        if (std::memcmp(kKeys[mode], key, 4) == 0) return mode;
    }
    return blend::Normal;
}

}  // namespace psd
