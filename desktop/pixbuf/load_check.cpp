// Loads an image through gdk-pixbuf's installed loaders, as a viewer does, and writes its pixels as
// a binary PPM (package check: the WLX loader against the PSD's merged image).
// Usage: wlx_pixbuf_load IN OUT.ppm   exit 0 when loaded, 1 with the loader's error otherwise.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: wlx_pixbuf_load IN OUT.ppm\n");
        return 2;
    }
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(argv[1], &error);
    if (pixbuf == nullptr) {
        std::printf("error: %s\n", error != nullptr ? error->message : "(no message)");
        if (error != nullptr) g_error_free(error);
        return 1;
    }
    const int w = gdk_pixbuf_get_width(pixbuf), h = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) return 1;
    std::fprintf(out, "P6\n%d %d\n255\n", w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) std::fwrite(pixels + y * stride + x * channels, 1, 3, out);
    std::printf("loaded %d x %d, %d channels\n", w, h, channels);
    g_object_unref(pixbuf);
    return std::fclose(out) == 0 ? 0 : 1;
}
