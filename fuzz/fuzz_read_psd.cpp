// Any bytes through the PSD reader. A document that reads must also survive the WLX writer and
// come back from the WLX reader as the same layers, within what the WLX format can hold.
#include <cstdlib>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxLayout.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "fuzz/MemoryStream.h"
#include "fuzz/SmallBudget.h"

namespace {

constexpr uint64_t kRoundTripBytes = uint64_t{1} << 20;

void check(bool condition) {
    if (!condition) std::abort();
}

bool wholeLayer(const Layer& layer, const DocumentInfo& doc) {
    return layer.width == doc.width && layer.height == doc.height &&
           layer.pixels.size() == Layer::pixelBytes(doc.width, doc.height);
}

// What a layer looks like after a trip through a WLX record.
void checkSameAfterWlx(const Layer& before, const Layer& after) {
    std::string name = before.name.substr(0, wlx::LayerRecord::storedNameLength(before.name));
    name = name.substr(0, name.find('\0'));
    check(after.name == name);
    check(after.width == before.width && after.height == before.height);
    check(after.pixels == before.pixels);
    check(after.visible == (before.visible ? 1 : 0));
    check(after.opacity == wlx::opacityPercentFromByte(wlx::opacityByteFromPercent(before.opacity)));
    check(after.blendMode == wlx::blendModeFromCode(wlx::blendCodeFromMode(before.blendMode)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LayerTempList layers;
    LayerTempList alphaChannels;
    DocumentInfo doc;
    bool ok = false;
    {
        InputStream in(data, size);
        if (!in.get()) return 0;
        Conversion conversion = smallConversion();
        ok = readPsd(in.get(), layers, alphaChannels, doc, conversion);
    }
    for (const Layer* layer : layers) check(wholeLayer(*layer, doc));
    for (const Layer* layer : alphaChannels) check(wholeLayer(*layer, doc));
    if (!ok) return 0;
    check(!layers.empty());
    // Deflating large layers would slow the search without reaching code small ones do not.
    if (Layer::pixelBytes(doc.width, doc.height) * layers.size() > kRoundTripBytes) return 0;

    OutputStream out;
    if (!out.get()) return 0;
    Conversion writing = smallConversion();
    const bool written = writeWlx(out.get(), layers, doc, writing);
    out.close();
    // Refused only for documents the format cannot describe.
    if (!written) {
        check(doc.width > 65535 || doc.height > 65535 || layers.size() > 65535);
        return 0;
    }

    InputStream back(out.bytes(), out.size());
    check(back.get() != nullptr);
    LayerTempList reread;
    DocumentInfo rereadDoc;
    Conversion reading = smallConversion();
    check(readWlx(back.get(), reread, rereadDoc, reading));
    check(rereadDoc.width == doc.width && rereadDoc.height == doc.height);
    check(reread.size() == layers.size());
    for (size_t i = 0; i < layers.size(); ++i) checkSameAfterWlx(*layers[i], *reread[i]);
    return 0;
}
