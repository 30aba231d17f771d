#pragma once
// The stage between the WLX reader and the PSD writer: takes each layer as soon as the reader has
// inflated it, composites it onto the canvas, packs its channels into the form the PSD file holds
// them in, and gives its storage back for a later layer. So a window of layers is held at a time,
// and the pages that hold them are filled again instead of fresh ones the system must zero first.
// The PSD writer takes the canvas and the packed channels.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "formats/psd/PackedChannel.h"
#include "formats/psd/PsdLayout.h"
#include "formats/wlx/WlxReader.h"
#include "image/Conversion.h"
#include "image/LayerTempList.h"
#include "image/dib24.h"

class LayerPacker final : public WlxLayerSink {
public:
    using Composite = std::function<void(const Layer&, dib24&, ThreadPool&)>;
    // Composites every layer in turn onto a canvas that starts as background (0x00bbggrr). With
    // keepPixels the layers keep their pixels, for a caller that shows them afterwards.
    LayerPacker(Conversion& conversion, Composite composite, uint32_t background, bool keepPixels = false);
    // Packs the layers of a caller that brings its own merged image: no canvas, pixels kept.
    explicit LayerPacker(Conversion& conversion);
    LayerPacker(const LayerPacker&) = delete;
    LayerPacker& operator=(const LayerPacker&) = delete;

    size_t begin(const DocumentInfo& doc, size_t layerCount) override;
    PixelBytes reusedPixels() override;
    // Composites the layer at once (the canvas takes the layers in order) and queues its channels.
    void layerRead(Layer* layer) override;
    size_t queuedWork() override { return queued_.size() * psd::kLayerChannelCount; }
    // Packs one channel of a queued layer.
    void doWork(size_t piece) override;
    // Keeps the queued layers' packed channels and takes their storage for reuse.
    void workDone() override;
    // Packs what is still queued and lets go of spare storage: for a caller that hands the layers
    // over itself, and once a read is over.
    void finish();

    // Why the layers cannot be written (the canvas or the packed channels do not fit, memory ran
    // out); empty while all went well. A read goes on regardless, to find a damaged file.
    const std::string& failure() const { return failure_; }
    const dib24& canvas() const { return canvas_; }
    // The layers handed over, in order; their pixels are gone unless kept.
    const LayerTempList& layers() const { return layers_; }

    struct Channels {
        psd::PackedChannel channel[psd::kLayerChannelCount];  // in file order
        bool rowsFit[psd::kLayerChannelCount] = {};           // every row's count fits 16 bits
    };
    // The packed channels of layers()[i], once finish() has run.
    const Channels& channels(size_t i) const { return packed_[i]; }

private:
    void failWith(const std::string& reason);
    bool reserve(uint64_t bytes, const std::string& what);

    Conversion& conversion_;
    Composite composite_;
    uint32_t background_ = 0;
    bool keepPixels_ = true;
    std::string failure_;
    dib24 canvas_;
    LayerTempList layers_;
    std::vector<Channels> packed_;
    size_t queuedFrom_ = 0;  // layers_[queuedFrom_ ..] wait for their channels to be packed
    std::mutex scratchMutex_;
    std::vector<psd::PackedChannel> scratch_;  // storage no piece is packing into at the moment
    std::atomic<bool> outOfMemory_{false};
    std::vector<Layer*> queued_;
    std::vector<PixelBytes> spare_;
};
