// The canvas loaders: a BMP file stream, an info header with separate rows, and a packed DIB in
// one block. The first byte picks the loader (and for the split form, where the rows begin).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/MemoryStream.h"
#include "image/dib24.h"

namespace {

// The loaded image must agree with itself, whatever the input said.
void checkCanvas(const dib24& canvas, bool loaded) {
    if (!loaded) return;
    if (canvas.bits == nullptr || canvas.width <= 0 || canvas.height <= 0) std::abort();
    if (canvas.stride < canvas.width * 3 || canvas.stride % 4 != 0) std::abort();
    // Touch the last byte so that a short block shows up.
    volatile uint8_t last = canvas.bits[static_cast<size_t>(canvas.stride) * canvas.height - 1];
    (void)last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    // Exact-size copies: a read past the end of either block is a finding.
    std::vector<uint8_t> rest(data + 1, data + size);
    dib24 canvas;
    switch (selector % 3) {
        case 0: {
            InputStream in(rest.data(), rest.size());
            if (!in.get()) return 0;
            checkCanvas(canvas, canvas.loadBmp(in.get()));
            break;
        }
        case 1: {
            const size_t split = rest.empty() ? 0 : (static_cast<size_t>(selector / 3) * 8) % (rest.size() + 1);
            std::vector<uint8_t> info(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(split));
            std::vector<uint8_t> rows(rest.begin() + static_cast<std::ptrdiff_t>(split), rest.end());
            checkCanvas(canvas, canvas.loadDib(info.empty() ? nullptr : info.data(), info.size(),
                                               rows.empty() ? nullptr : rows.data(), rows.size()));
            break;
        }
        default:
            checkCanvas(canvas, canvas.loadPackedDibMemory(rest.empty() ? nullptr : rest.data(), rest.size()));
            break;
    }
    return 0;
}
