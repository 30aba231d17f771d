// GIMP 2.10 file plug-in for WLX paintings: opens them as layers and exports layered images to
// them, with the project's reader and writer.
#include <libgimp/gimp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "formats/psd/Cp932.h"
#include "formats/wlx/WlxLayout.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "image/MemoryBudget.h"
#include "image/ThreadPool.h"

namespace {

constexpr char kLoadProc[] = "file-wlx-load";
constexpr char kSaveProc[] = "file-wlx-save";

// The blend modes a WLX file can hold and GIMP's mode that blends the same way, in the sRGB values
// as stored (blend and composite spaces perceptual, as the paint program blends). Soft light has no
// equal: GIMP's soft light follows another curve. The README carries this table.
struct ModePair {
    BlendMode wlx;
    GimpLayerMode gimp;
};
constexpr ModePair kModes[] = {
    {blend::Normal, GIMP_LAYER_MODE_NORMAL},          {blend::Multiply, GIMP_LAYER_MODE_MULTIPLY},
    {blend::LinearDodge, GIMP_LAYER_MODE_ADDITION},   {blend::Screen, GIMP_LAYER_MODE_SCREEN},
    {blend::Overlay, GIMP_LAYER_MODE_OVERLAY},        {blend::HardLight, GIMP_LAYER_MODE_HARDLIGHT},
    {blend::ColorDodge, GIMP_LAYER_MODE_DODGE},       {blend::ColorBurn, GIMP_LAYER_MODE_BURN},
    {blend::LinearBurn, GIMP_LAYER_MODE_LINEAR_BURN}, {blend::VividLight, GIMP_LAYER_MODE_VIVID_LIGHT},
    {blend::LinearLight, GIMP_LAYER_MODE_LINEAR_LIGHT}, {blend::PinLight, GIMP_LAYER_MODE_PIN_LIGHT},
    {blend::Difference, GIMP_LAYER_MODE_DIFFERENCE},
};
// GIMP's older modes of the same blends, exported as those blends too.
constexpr ModePair kLegacyModes[] = {
    {blend::Normal, GIMP_LAYER_MODE_NORMAL_LEGACY},         {blend::Multiply, GIMP_LAYER_MODE_MULTIPLY_LEGACY},
    {blend::LinearDodge, GIMP_LAYER_MODE_ADDITION_LEGACY},  {blend::Screen, GIMP_LAYER_MODE_SCREEN_LEGACY},
    {blend::HardLight, GIMP_LAYER_MODE_HARDLIGHT_LEGACY},   {blend::ColorDodge, GIMP_LAYER_MODE_DODGE_LEGACY},
    {blend::ColorBurn, GIMP_LAYER_MODE_BURN_LEGACY},        {blend::Difference, GIMP_LAYER_MODE_DIFFERENCE_LEGACY},
};

// The GIMP mode for a WLX layer; false when GIMP has no equal (soft light: the layer opens as
// normal). The reader gives no other mode.
bool gimpModeOf(BlendMode mode, GimpLayerMode& out) {
    out = GIMP_LAYER_MODE_NORMAL;
    for (const ModePair& pair : kModes)
        if (pair.wlx == mode) out = pair.gimp;
    return out != GIMP_LAYER_MODE_NORMAL || mode == blend::Normal;
}

BlendMode wlxModeOf(GimpLayerMode mode) {
    for (const ModePair& pair : kModes)
        if (pair.gimp == mode) return pair.wlx;
    for (const ModePair& pair : kLegacyModes)
        if (pair.gimp == mode) return pair.wlx;
    return blend::Normal;
}

// A WLX name (CP932 bytes) as UTF-8; bytes that are no CP932 character become '?'.
std::string utf8FromCp932(const std::string& bytes) {
    std::u16string units;
    if (!cp932::toUtf16(bytes, units)) {
        units.clear();
        for (unsigned char c : bytes) units.push_back(c < 0x80 ? c : u'?');
    }
    gchar* text = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(units.data()), static_cast<glong>(units.size()),
                                  nullptr, nullptr, nullptr);
    std::string out = text != nullptr ? text : "";
    g_free(text);
    return out;
}

// A GIMP name as CP932, '?' for what CP932 cannot hold; the writer cuts it between characters.
std::string cp932FromUtf8(const char* text) {
    std::u16string units;
    gunichar2* utf16 = text != nullptr ? g_utf8_to_utf16(text, -1, nullptr, nullptr, nullptr) : nullptr;
    for (gunichar2* u = utf16; u != nullptr && *u != 0; ++u) units.push_back(static_cast<char16_t>(*u));
    g_free(utf16);
    return cp932::fromUtf16(units);
}

void setResult(GimpParam* values, gint* count, GimpPDBStatusType status, const std::string& error) {
    static std::string message;
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = status;
    *count = 1;
    if (status != GIMP_PDB_SUCCESS && !error.empty()) {
        message = error;
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = const_cast<gchar*>(message.c_str());
        *count = 2;
    }
}

// Opens a WLX file as an image of its layers, bottom first. Returns the image, or -1 with why.
gint32 loadImage(const char* path, std::string& error) {
    ThreadPool pool(ThreadPool::defaultSize());
    Conversion conversion(pool, MemoryBudget());
    LayerTempList layers;
    DocumentInfo doc;
    std::FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        error = std::string("Cannot open ") + path;
        return -1;
    }
    bool ok = false;
    try {
        ok = readWlx(in, layers, doc, conversion);
    } catch (const std::bad_alloc&) {
        conversion.fail("out of memory");
    }
    std::fclose(in);
    if (!ok || doc.width <= 0 || doc.height <= 0) {
        error = std::string("Cannot read the WLX file ") + path + ": " +
                (ok ? std::string("the picture has no pixels") : conversion.reason());
        return -1;
    }

    const gint32 image = gimp_image_new(doc.width, doc.height, GIMP_RGB);
    gimp_image_set_filename(image, path);
    const Babl* format = babl_format("R'G'B'A u8");
    std::vector<uint8_t> row(static_cast<size_t>(doc.width) * 4);
    std::string unmatched;
    for (const Layer* layer : layers) {
        GimpLayerMode mode;
        if (!gimpModeOf(layer->blendMode, mode)) {
            // Soft light is the one mode a WLX file holds that GIMP has no equal of.
            unmatched = layer->blendMode == blend::SoftLight ? "soft light" : "a blend mode of the file";
        }
        const std::string name = utf8FromCp932(layer->name);
        const gint32 id = gimp_layer_new(image, name.c_str(), doc.width, doc.height, GIMP_RGBA_IMAGE,
                                         std::clamp(layer->opacity, 0, 100), mode);
        gimp_layer_set_blend_space(id, GIMP_LAYER_COLOR_SPACE_RGB_PERCEPTUAL);
        gimp_layer_set_composite_space(id, GIMP_LAYER_COLOR_SPACE_RGB_PERCEPTUAL);
        gimp_layer_set_composite_mode(id, GIMP_LAYER_COMPOSITE_UNION);
        gimp_image_insert_layer(image, id, 0, 0);  // each above the ones before
        gimp_item_set_visible(id, layer->visible != 0);
        GeglBuffer* buffer = gimp_drawable_get_buffer(id);
        for (int32_t y = 0; y < doc.height; ++y) {
            const uint8_t* from = layer->pixels.data() + static_cast<size_t>(y) * row.size();
            for (size_t i = 0; i < row.size(); i += 4) {
                row[i] = from[i + 2];
                row[i + 1] = from[i + 1];
                row[i + 2] = from[i];
                row[i + 3] = from[i + 3];
            }
            const GeglRectangle rect = {0, y, doc.width, 1};
            gegl_buffer_set(buffer, &rect, 0, format, row.data(), GEGL_AUTO_ROWSTRIDE);
        }
        g_object_unref(buffer);
    }
    if (!unmatched.empty()) {
        const std::string text = "WLX: GIMP has no blend mode equal to " + unmatched + "; such layers open as Normal.";
        gimp_message(text.c_str());
    }
    return image;
}

// What a layer inside groups takes from them, as the PSD reader folds groups: hidden when any is
// hidden, its opacity byte scaled by each one's.
struct Folded {
    bool visible = true;
    uint8_t opacity = 255;
};

uint8_t opacityByte(gdouble percent) { return static_cast<uint8_t>(std::clamp(percent, 0.0, 100.0) * 255 / 100 + 0.5); }

// Appends the pixel layers under parent (0: the image's top level) to layers, bottom first.
void collectLayers(gint32 image, gint32 parent, const Folded& outer, const DocumentInfo& doc, LayerTempList& layers) {
    gint count = 0;
    gint* ids = parent == 0 ? gimp_image_get_layers(image, &count) : gimp_item_get_children(parent, &count);
    const Babl* format = babl_format("R'G'B'A u8");
    for (gint k = count; k-- > 0;) {  // GIMP lists the top first
        const gint32 id = ids[k];
        const uint8_t own = opacityByte(gimp_layer_get_opacity(id));
        Folded folded{outer.visible && gimp_item_get_visible(id), static_cast<uint8_t>((own * outer.opacity + 127) / 255)};
        if (gimp_item_is_group(id)) {
            collectLayers(image, id, folded, doc, layers);
            continue;
        }
        auto* layer = new Layer;
        layers.add(layer);
        layer->resize(doc.width, doc.height, wlxModeOf(gimp_layer_get_mode(id)));
        gchar* name = gimp_item_get_name(id);
        layer->name = cp932FromUtf8(name);
        g_free(name);
        layer->visible = folded.visible ? 1 : 0;
        layer->opacity = static_cast<int32_t>(folded.opacity * 0.39215686274509803 + 0.5);

        gint x0 = 0, y0 = 0;
        gimp_drawable_offsets(id, &x0, &y0);
        const gint w = gimp_drawable_width(id), h = gimp_drawable_height(id);
        const gint left = std::max(x0, 0), top = std::max(y0, 0);
        const gint right = std::min(x0 + w, doc.width), bottom = std::min(y0 + h, doc.height);
        if (left >= right || top >= bottom) continue;
        const gint span = right - left;
        std::vector<uint8_t> rgba(static_cast<size_t>(span) * 4), mask;
        GeglBuffer* buffer = gimp_drawable_get_buffer(id);
        const gint32 maskId = gimp_layer_get_mask(id);
        GeglBuffer* maskBuffer = maskId != -1 && gimp_layer_get_apply_mask(id) ? gimp_drawable_get_buffer(maskId) : nullptr;
        if (maskBuffer != nullptr) mask.resize(static_cast<size_t>(span));
        for (gint y = top; y < bottom; ++y) {
            const GeglRectangle rect = {left - x0, y - y0, span, 1};
            gegl_buffer_get(buffer, &rect, 1.0, format, rgba.data(), GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
            if (maskBuffer != nullptr)
                gegl_buffer_get(maskBuffer, &rect, 1.0, babl_format("Y' u8"), mask.data(), GEGL_AUTO_ROWSTRIDE,
                                GEGL_ABYSS_NONE);
            uint8_t* to = layer->pixels.data() + (static_cast<size_t>(y) * doc.width + left) * 4;
            for (gint i = 0; i < span; ++i, to += 4) {
                to[0] = rgba[i * 4 + 2];
                to[1] = rgba[i * 4 + 1];
                to[2] = rgba[i * 4];
                to[3] = maskBuffer != nullptr ? static_cast<uint8_t>((rgba[i * 4 + 3] * mask[i] + 127) / 255) : rgba[i * 4 + 3];
            }
        }
        if (maskBuffer != nullptr) g_object_unref(maskBuffer);
        g_object_unref(buffer);
    }
    g_free(ids);
}

bool saveImage(gint32 image, const char* path, std::string& error) {
    DocumentInfo doc{gimp_image_width(image), gimp_image_height(image), 72};
    gdouble xres = 72, yres = 72;
    if (gimp_image_get_resolution(image, &xres, &yres)) doc.resolution = static_cast<int32_t>(xres + 0.5);
    ThreadPool pool(ThreadPool::defaultSize());
    Conversion conversion(pool, MemoryBudget());
    LayerTempList layers;
    try {
        collectLayers(image, 0, Folded{}, doc, layers);
    } catch (const std::bad_alloc&) {
        error = "Out of memory";
        return false;
    }
    // Written to a temporary file beside the target first: a failed export leaves the old file whole.
    const std::string temporary = std::string(path) + ".part";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        error = std::string("Cannot write ") + path;
        return false;
    }
    bool ok = false;
    try {
        ok = writeWlx(out, layers, doc, conversion);
    } catch (const std::bad_alloc&) {
        conversion.fail("out of memory");
    }
    ok = std::fclose(out) == 0 && ok && std::rename(temporary.c_str(), path) == 0;
    if (!ok) {
        std::remove(temporary.c_str());
        error = std::string("Cannot write ") + path + (conversion.reason().empty() ? "" : ": " + conversion.reason());
    }
    return ok;
}

void query() {
    static const GimpParamDef loadArgs[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"), const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"), const_cast<gchar*>("The name of the file to load")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
    };
    static const GimpParamDef loadReturn[] = {
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Output image")},
    };
    static const GimpParamDef saveArgs[] = {
        {GIMP_PDB_INT32, const_cast<gchar*>("run-mode"), const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }")},
        {GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image")},
        {GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"), const_cast<gchar*>("Drawable to export (the whole image is)")},
        {GIMP_PDB_STRING, const_cast<gchar*>("filename"), const_cast<gchar*>("The name of the file to export the image in")},
        {GIMP_PDB_STRING, const_cast<gchar*>("raw-filename"), const_cast<gchar*>("The name entered")},
    };
    gimp_install_procedure(kLoadProc, "Loads WLX layered paintings", "Opens each layer with its name, opacity, visibility and blend mode.",
                           "rivodiv developers", "rivodiv developers", "2026", "WLX layered painting", nullptr,
                           GIMP_PLUGIN, G_N_ELEMENTS(loadArgs), G_N_ELEMENTS(loadReturn), loadArgs, loadReturn);
    gimp_register_file_handler_mime(kLoadProc, "image/x-wlx");
    // The header's magic too, so that a file without its extension opens.
    gimp_register_magic_load_handler(kLoadProc, "wlx", "", "0,string,DOVIZOZ");

    gimp_install_procedure(kSaveProc, "Exports WLX layered paintings",
                           "Every layer becomes a full-canvas WLX layer; groups are folded into their layers.",
                           "rivodiv developers", "rivodiv developers", "2026", "WLX layered painting", "RGB*, GRAY*, INDEXED*",
                           GIMP_PLUGIN, G_N_ELEMENTS(saveArgs), 0, saveArgs, nullptr);
    gimp_register_file_handler_mime(kSaveProc, "image/x-wlx");
    gimp_register_save_handler(kSaveProc, "wlx", "");
}

void run(const gchar* name, gint, const GimpParam* params, gint* returnCount, GimpParam** returnValues) {
    static GimpParam values[2];
    *returnValues = values;
    gegl_init(nullptr, nullptr);
    std::string error;
    if (std::strcmp(name, kLoadProc) == 0) {
        const gint32 image = loadImage(params[1].data.d_string, error);
        setResult(values, returnCount, image != -1 ? GIMP_PDB_SUCCESS : GIMP_PDB_EXECUTION_ERROR, error);
        if (image != -1) {
            values[1].type = GIMP_PDB_IMAGE;
            values[1].data.d_image = image;
            *returnCount = 2;
        }
    } else if (std::strcmp(name, kSaveProc) == 0) {
        const bool ok = saveImage(params[1].data.d_int32, params[3].data.d_string, error);
        setResult(values, returnCount, ok ? GIMP_PDB_SUCCESS : GIMP_PDB_EXECUTION_ERROR, error);
    } else {
        setResult(values, returnCount, GIMP_PDB_CALLING_ERROR, {});
    }
}

}  // namespace

const GimpPlugInInfo PLUG_IN_INFO = {nullptr, nullptr, query, run};

MAIN()
