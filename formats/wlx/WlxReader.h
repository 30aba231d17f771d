#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Where the WLX reader hands the layers, each as soon as its block is inflated, in file order.
class WlxLayerSink {
public:
    virtual ~WlxLayerSink() = default;
    // Before the first layer: the document and how many layers the file declares. Returns how many
    // layers the reader may inflate at once (at least 1).
    virtual size_t begin(const DocumentInfo& doc, size_t layerCount) = 0;
    // Storage a layer handed over no longer needs, for the reader to put the next layer's pixels in:
    // pages already touched cost nothing to fill again. Empty when there is none.
    virtual PixelBytes reusedPixels() { return {}; }
    // Takes a finished layer, with one reference on it; the reader no longer touches it.
    virtual void layerRead(Layer* layer) = 0;
    // Work on the layers handed over that runs beside the inflating of the next ones, a piece at a
    // time: the reader runs pieces 0 .. queuedWork() - 1 on the pool, each once, then calls
    // workDone() on the reading thread.
    virtual size_t queuedWork() { return 0; }
    virtual void doWork(size_t) {}
    virtual void workDone() {}
};

// Reads the WLX file at the stream's position into sink and sets doc's width and height. False when
// the file is damaged or foreign, or its layers pass the conversion's memory budget, with the reason
// in conversion; the layers completed before that have reached the sink.
bool readWlx(std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink);
// The same, appending every layer to layers.
bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion);
bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc);
bool readWlxFile(const std::string& path, LayerTempList& layers, DocumentInfo& doc);
