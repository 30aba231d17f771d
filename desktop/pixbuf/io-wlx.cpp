// gdk-pixbuf loader of WLX paintings: image viewers and the desktop's thumbnailer show the picture
// the PSD's merged image would hold. A file the reader refuses is a GError, never a crash: the
// reader's bounds and memory budget apply, and nothing may throw into the C caller.
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/pixbuf/WlxPicture.h"
#include "formats/wlx/WlxLayout.h"
#include "image/MemoryBudget.h"
#include "image/ThreadPool.h"

namespace {

void setError(GError** error, GdkPixbufError code, const std::string& reason) {
    g_set_error(error, GDK_PIXBUF_ERROR, code, "Cannot read the WLX file: %s", reason.c_str());
}

// The picture of the WLX file in, reduced to the size the caller asks for when it asks for a
// smaller one; null with error set when it cannot be read.
GdkPixbuf* loadPicture(std::FILE* in, int32_t wantedWidth, int32_t wantedHeight, GError** error) {
    try {
        ThreadPool pool(ThreadPool::defaultSize());
        Conversion conversion(pool, MemoryBudget());
        WlxPicture picture;
        if (!readWlxPicture(in, conversion, picture, wantedWidth, wantedHeight)) {
            const bool memory = conversion.reason().find("memory") != std::string::npos;
            setError(error, memory ? GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY : GDK_PIXBUF_ERROR_CORRUPT_IMAGE,
                     conversion.reason());
            return nullptr;
        }
        if (picture.width <= 0 || picture.height <= 0) {
            setError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the picture has no pixels");
            return nullptr;
        }
        // The pixbuf takes the picture's rows as they are, rather than a copy of them.
        auto* rgb = new std::vector<uint8_t>(std::move(picture.rgb));
        return gdk_pixbuf_new_from_data(
            rgb->data(), GDK_COLORSPACE_RGB, FALSE, 8, picture.width, picture.height, picture.width * 3,
            [](guchar*, gpointer held) { delete static_cast<std::vector<uint8_t>*>(held); }, rgb);
    } catch (...) {
        setError(error, GDK_PIXBUF_ERROR_INSUFFICIENT_MEMORY, "out of memory");
        return nullptr;
    }
}

GdkPixbuf* loadWhole(FILE* in, GError** error) { return loadPicture(in, 0, 0, error); }

// Incremental loading (GdkPixbufLoader, the thumbnailer): the bytes are gathered, then read at
// once, after the caller has said which size it wants.
struct Progressive {
    GdkPixbufModuleSizeFunc sizeFunc;
    GdkPixbufModulePreparedFunc preparedFunc;
    GdkPixbufModuleUpdatedFunc updatedFunc;
    gpointer userData;
    GByteArray* bytes;
};

gpointer beginLoad(GdkPixbufModuleSizeFunc sizeFunc, GdkPixbufModulePreparedFunc preparedFunc,
                   GdkPixbufModuleUpdatedFunc updatedFunc, gpointer userData, GError**) {
    auto* context = g_new0(Progressive, 1);
    *context = Progressive{sizeFunc, preparedFunc, updatedFunc, userData, g_byte_array_new()};
    return context;
}

gboolean loadIncrement(gpointer data, const guchar* buffer, guint size, GError**) {
    g_byte_array_append(static_cast<Progressive*>(data)->bytes, buffer, size);
    return TRUE;
}

gboolean stopLoad(gpointer data, GError** error) {
    auto* context = static_cast<Progressive*>(data);
    GByteArray* bytes = context->bytes;
    GdkPixbuf* pixbuf = nullptr;
    // The size the header declares, for the caller to choose from; the reader checks it again.
    gint width = 0, height = 0;
    if (bytes->len >= wlx::FileHeader::kSize) {
        width = wlx::load16(bytes->data + wlx::FileHeader::kWidthAt);
        height = wlx::load16(bytes->data + wlx::FileHeader::kHeightAt);
    }
    bool refused = false;
    if (context->sizeFunc != nullptr && width > 0 && height > 0) {
        context->sizeFunc(&width, &height, context->userData);
        refused = width == 0 || height == 0;
        if (refused) setError(error, GDK_PIXBUF_ERROR_FAILED, "the caller asked for no pixels");
    }
    if (!refused) {
        std::FILE* in = bytes->len > 0 ? fmemopen(bytes->data, bytes->len, "rb") : nullptr;
        if (in == nullptr) {
            setError(error, GDK_PIXBUF_ERROR_CORRUPT_IMAGE, "the file is empty");
        } else {
            pixbuf = loadPicture(in, width, height, error);
            std::fclose(in);
        }
    }
    if (pixbuf != nullptr) {
        if (context->preparedFunc != nullptr) context->preparedFunc(pixbuf, nullptr, context->userData);
        if (context->updatedFunc != nullptr)
            context->updatedFunc(pixbuf, 0, 0, gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                                 context->userData);
        g_object_unref(pixbuf);
    }
    g_byte_array_unref(bytes);
    g_free(context);
    return pixbuf != nullptr;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void fill_vtable(GdkPixbufModule* module) {
    module->load = loadWhole;
    module->begin_load = beginLoad;
    module->stop_load = stopLoad;
    module->load_increment = loadIncrement;
}

G_MODULE_EXPORT void fill_info(GdkPixbufFormat* info) {
    static GdkPixbufModulePattern signature[] = {
        {const_cast<gchar*>("DOVIZOZ"), nullptr, 100},
        {nullptr, nullptr, 0},
    };
    static const gchar* mimeTypes[] = {"image/x-wlx", nullptr};
    static const gchar* extensions[] = {"wlx", nullptr};
    info->name = const_cast<gchar*>("wlx");
    info->signature = signature;
    info->description = const_cast<gchar*>("WLX layered painting");
    info->mime_types = const_cast<gchar**>(mimeTypes);
    info->extensions = const_cast<gchar**>(extensions);
    info->flags = GDK_PIXBUF_FORMAT_THREADSAFE;
    info->license = const_cast<gchar*>("other");
}

}  // extern "C"
