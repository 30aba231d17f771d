#include "formats/psd/Uncarried.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "formats/psd/PsdLayout.h"
#include "formats/wlx/WlxLayout.h"

namespace {

bool is(const uint8_t* key, const char* name) { return std::memcmp(key, name, 4) == 0; }

// Adjustment layers: their look is computed from settings and what lies below, not kept in pixels.
constexpr const char* kAdjustmentKeys[] = {"levl", "curv", "brit", "hue2", "hue ", "blnc", "selc",
                                           "mixr", "phfl", "expA", "vibA", "grdm", "nvrt", "post",
                                           "thrs", "CgEd", "blwh", "clrL"};
// Fill layers (solid colour, gradient, pattern), shapes among them: most keep their fill rendered in
// their pixels, which carries it; only those without are lost.
constexpr const char* kFillKeys[] = {"SoCo", "GdFl", "PtFl"};

template <size_t N>
bool among(const uint8_t* key, const char* const (&keys)[N]) {
    return std::any_of(std::begin(keys), std::end(keys), [&](const char* k) { return is(key, k); });
}

// Whether the record has pixels: its rectangle is not empty.
bool storesPixels(const PSDLayerInfo& info) { return info.bottom() > info.top() && info.right() > info.left(); }

size_t occurrences(const uint8_t* data, size_t size, std::string_view what) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Effects in a descriptor are told apart by their "enab" boolean, which a "present" boolean follows:
// an effect that is enabled but not present was never added. The master switch turns them all off.
uint64_t enabledEffects(const uint8_t* data, size_t size) {
    using namespace std::string_view_literals;
    if (occurrences(data, size, "masterFXSwitchbool\0"sv) != 0) return 0;
    return occurrences(data, size, "enabbool\1"sv) -
           occurrences(data, size, "enabbool\1\0\0\0\x07presentbool\0"sv);
}

// An artboard's background, from its descriptor: 2 is black and 4 a colour of its own, which the
// white paper WLX layers are composited on does not show (1 is white, 3 transparent).
bool colouredArtboard(const uint8_t* data, size_t size) {
    using namespace std::string_view_literals;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view key = "artboardBackgroundTypelong"sv;
    const size_t at = text.find(key);
    if (at == std::string_view::npos || size - at - key.size() < 4) return false;
    const uint8_t* value = data + at + key.size();
    const uint32_t type = uint32_t{value[0]} << 24 | uint32_t{value[1]} << 16 | uint32_t{value[2]} << 8 | value[3];
    return type == 2 || type == 4;
}

// The old effects block: a version, a count, then signed entries, each an effect with its enabled
// byte at a place of its own; the common state entry turns them all off when it is not visible.
uint64_t oldEffects(const uint8_t* data, size_t size) {
    struct Place {
        const char* key;
        size_t at;  // of the enabled byte, after the entry's length
    };
    static constexpr Place kEnabledAt[] = {{"dsdw", 38}, {"isdw", 38}, {"oglw", 30},
                                           {"iglw", 30}, {"bevl", 55}, {"sofi", 23}};
    uint64_t n = 0;
    bool visible = true;
    for (size_t at = 4; size >= 12 && at <= size - 12;) {
        const uint8_t* entry = data + at;
        if (!is(entry, "8BIM")) break;
        const uint32_t length = psd::load32(entry + 8);
        if (length > size - at - 12) break;
        const uint8_t* body = entry + 12;
        // version (4 bytes), then the visible byte
        if (is(entry + 4, "cmnS") && length >= 5 && body[4] == 0) visible = false;
        for (const Place& place : kEnabledAt) {
            if (is(entry + 4, place.key) && length > place.at && body[place.at] != 0) ++n;
        }
        at += 12 + length;
    }
    return visible ? n : 0;
}

}  // namespace

bool Uncarried::wants(const uint8_t* key) {
    for (const char* k : {"lfx2", "lmfx", "lrFX", "knko", "SoLd", "SoLE", "artb", "artd", "abdd"}) {
        if (is(key, k)) return true;
    }
    return among(key, kAdjustmentKeys) || among(key, kFillKeys);
}

void Uncarried::block(const uint8_t* key, const uint8_t* data, size_t size) {
    if (is(key, "lrFX") || is(key, "lfx2") || is(key, "lmfx")) {
        // Older files have only the first; the last holds them all where a kind has several effects.
        const int from = is(key, "lrFX") ? 0 : is(key, "lfx2") ? 1 : 2;
        effects_[from] = from == 0 ? oldEffects(data, size) : enabledEffects(data, size);
        effectsFrom_ = std::max(effectsFrom_, from);
    } else if (is(key, "artb") || is(key, "artd") || is(key, "abdd")) {
        artboard_ = artboard_ || colouredArtboard(data, size);
    } else if (is(key, "knko")) {
        knockout_ = size >= 1 && data[0] != 0;
    } else if (is(key, "SoLd") || is(key, "SoLE")) {
        // A smart object's filters are kept in its descriptor under this key.
        if (occurrences(data, size, "filterFX") != 0) smartFilters_ = true;
    } else if (is(key, "lsct") || is(key, "lsdk")) {
        // type, then "8BIM" and the group's blend key
        if (size >= 12) {
            std::memcpy(groupKey_, data + 8, 4);
            hasGroupKey_ = true;
        }
    } else if (among(key, kAdjustmentKeys)) {
        adjustment_ = true;
    } else if (among(key, kFillKeys)) {
        fill_ = true;
    }
}

void Uncarried::record(const PSDLayerInfo& info, const uint8_t* ranges, size_t rangesSize) {
    const bool folder = info.section == Section::OpenFolder || info.section == Section::ClosedFolder;
    // Groups had no effects when lrFX alone described them; what one says of a group is left over.
    if (effectsFrom_ >= (folder ? 1 : 0)) counts_[Effects] += effects_[effectsFrom_];
    if (adjustment_) ++counts_[Adjustments];
    if (fill_ && !storesPixels(info)) ++counts_[Fills];
    if (knockout_) ++counts_[Knockouts];
    if (artboard_) ++counts_[Artboards];
    if (smartFilters_) ++counts_[SmartFilters];
    if (folder && !is(hasGroupKey_ ? groupKey_ : info.blendKey(), "pass")) ++counts_[GroupBlends];
    // A layer's own mode that WLX has no code for (or that no table knows) is written as normal.
    const uint8_t* key = info.blendKey();
    if (!folder && info.section != Section::Divider && !adjustment_ && !is(key, "norm") && !is(key, "pass") &&
        wlx::blendCodeFromMode(psd::blendModeForKey(key)) == 0) {
        ++counts_[LayerBlends];
    }
    // Each range is black low, black high, white low, white high; all of them open is no range.
    for (size_t at = 0; at + 4 <= rangesSize; at += 4) {
        if (ranges[at] != 0 || ranges[at + 1] != 0 || ranges[at + 2] != 255 || ranges[at + 3] != 255) {
            ++counts_[Ranges];
            break;
        }
    }
    effects_[0] = effects_[1] = effects_[2] = 0;
    effectsFrom_ = -1;
    adjustment_ = fill_ = knockout_ = smartFilters_ = hasGroupKey_ = artboard_ = false;
}

std::string Uncarried::note() const {
    static constexpr const char* kNames[kKinds][2] = {
        {"layer effect", "layer effects"},         {"adjustment layer", "adjustment layers"},
        {"fill layer", "fill layers"},
        {"group blend mode", "group blend modes"}, {"layer blend mode", "layer blend modes"},
        {"artboard background", "artboard backgrounds"},
        {"blending range", "blending ranges"},
        {"knockout", "knockouts"},                 {"smart-object filter", "smart-object filters"},
    };
    std::string line;
    for (int k = 0; k < kKinds; ++k) {
        if (counts_[k] == 0) continue;
        line += line.empty() ? "note: not carried over: " : ", ";
        line += std::to_string(counts_[k]) + " " + kNames[k][counts_[k] == 1 ? 0 : 1];
    }
    return line;
}
