#pragma once
// What the readers, the canvas and the writers of one conversion share: the memory it may take and,
// once something fails, a short English reason recorded where it happened.
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/Layer.h"
#include "image/MemoryBudget.h"

class Conversion;
struct DocumentInfo;

// Work that can start on a layer as soon as a reader has finished it, while the rest of the file is
// still being read.
class LayerSink {
public:
    virtual ~LayerSink() = default;
    // Called on the reading thread with each finished layer, in order; the reader does not change
    // its pixels from here on, and the sink may take them once it is done with them. storedBytes is what its pixels took in the file, a hint of how hard they are to
    // compress. Must not record a failure in conversion: the read goes on either way.
    virtual void layerRead(Layer& layer, uint64_t storedBytes, const DocumentInfo& doc, Conversion& conversion) = 0;
    // Storage an earlier layer no longer needs, for the reader to put the next layer's pixels in:
    // pages already touched cost nothing to fill again, fresh ones must first be zeroed by the
    // system. Empty when there is none.
    virtual PixelBytes reusedPixels() { return {}; }
    // Work on layers already handed over that can run beside the reader's own, a piece at a time:
    // the reader runs pieces 0 .. queuedWork() - 1 on its pool threads while it reads on, each
    // once, then calls workDone() on the reading thread.
    virtual size_t queuedWork() { return 0; }
    virtual void doWork(size_t) {}
    virtual void workDone() {}
};

class Conversion {
public:
    Conversion() = default;  // this machine's budget
    explicit Conversion(const MemoryBudget& budget) : budget_(budget) {}

    MemoryBudget& budget() { return budget_; }
    // Reserves bytes for what; when they do not fit, records a reason naming the limit and returns false.
    bool reserve(uint64_t bytes, const char* what);
    // Records why the conversion fails (the first reason recorded stays) and returns false.
    bool fail(const std::string& reason);
    const std::string& reason() const { return reason_; }
    // Where readers that support it hand each finished layer; null (the default) for none.
    void setLayerSink(LayerSink* sink) { sink_ = sink; }
    LayerSink* layerSink() const { return sink_; }

private:
    MemoryBudget budget_;
    std::string reason_;
    LayerSink* sink_ = nullptr;
};
