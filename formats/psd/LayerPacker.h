#pragma once
// Takes each layer of a WLX -> PSD conversion as soon as the reader has inflated it: composites it
// onto the canvas, packs its channels into the form the PSD file holds them in, and gives its
// storage back for the next layer. The layers are never held whole at once, and the pages that
// hold them are filled again instead of fresh ones the system must zero first. The PSD writer then
// takes the packed channels.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/psd/PackedChannel.h"
#include "formats/psd/PsdLayout.h"
#include "image/Conversion.h"
#include "image/dib24.h"

class LayerPacker final : public LayerSink {
public:
    using Composite = std::function<void(const Layer&, dib24&)>;
    // The canvas starts as background (0x00bbggrr) and gets every layer composited onto it in turn.
    LayerPacker(Composite composite, uint32_t background) : composite_(std::move(composite)), background_(background) {}

    // The first layer decides: when the canvas fits the budget beside the layers the reader has
    // reserved, every layer goes through here; otherwise none does and the layers keep their pixels.
    // Composites the layer at once (the canvas takes the layers in order) and queues its channels
    // for packing beside the reading.
    void layerRead(Layer& layer, uint64_t storedBytes, const DocumentInfo& doc, Conversion& conversion) override;
    PixelBytes reusedPixels() override;
    size_t queuedWork() override { return queued_.size() * psd::kLayerChannelCount; }
    // Packs one channel of a queued layer.
    void doWork(size_t piece) override;
    // Keeps the queued layers' packed channels and takes their storage for reuse.
    void workDone() override;

    // Whether the layers went through here (their pixels are gone then).
    bool started() const { return started_; }
    // Why a layer could not be taken once started; empty while all went well.
    const std::string& failure() const { return failure_; }
    dib24& canvas() { return canvas_; }
    // What the canvas and the packed channels hold.
    uint64_t heldBytes() const { return held_ + canvasBytes_; }

    struct Channels {
        psd::PackedChannel channel[psd::kLayerChannelCount];  // in file order
        bool rowsFit[psd::kLayerChannelCount] = {};           // every row's count fits 16 bits
    };
    // The packed channels of layer; null for a layer not packed here (yet).
    const Channels* channelsOf(const Layer* layer) const;

private:
    bool start(const DocumentInfo& doc, Conversion& conversion);
    void take(Layer& layer);
    void lose(Layer& layer);

    Composite composite_;
    uint32_t background_;
    bool decided_ = false, started_ = false;
    std::string failure_;
    dib24 canvas_;
    uint64_t canvasBytes_ = 0, held_ = 0;
    std::vector<Channels> packed_;
    std::unordered_map<const Layer*, size_t> indexOf_;
    std::vector<Layer*> queued_;
    std::vector<Channels> queuedChannels_;     // per queued layer, filled by doWork
    std::mutex scratchMutex_;
    std::vector<psd::PackedChannel> scratch_;  // storage no piece is packing into at the moment
    std::atomic<bool> outOfMemory_{false};
    std::vector<PixelBytes> spare_;
};
