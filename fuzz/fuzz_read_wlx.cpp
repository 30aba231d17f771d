// Any bytes through the WLX reader: it must fail cleanly or give layers of the document's size.
#include <cstdlib>

#include "formats/wlx/WlxReader.h"
#include "fuzz/MemoryStream.h"
#include "fuzz/SmallBudget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputStream in(data, size);
    if (!in.get()) return 0;
    LayerTempList layers;
    DocumentInfo doc;
    Conversion conversion = smallConversion();
    readWlx(in.get(), layers, doc, conversion);
    // Layers completed before a failure stay in the list; each must be whole either way.
    for (const Layer* layer : layers) {
        if (layer->width != doc.width || layer->height != doc.height ||
            layer->pixels.size() != Layer::pixelBytes(doc.width, doc.height)) {
            std::abort();
        }
    }
    return 0;
}
