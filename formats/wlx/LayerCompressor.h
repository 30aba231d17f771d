#pragma once
// The stage between the PSD reader and the WLX writer: deflates each layer into its WLX block as
// soon as the reader has finished it, on the conversion's pool, while the reader goes on with the
// next. Once a block is made the layer's storage serves a later layer, so a window of layers is
// held at a time and their pages are filled again instead of fresh ones the system must zero
// first. The WLX writer takes the blocks.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/DeflateBlock.h"
#include "image/Conversion.h"
#include "image/LayerTempList.h"

class LayerCompressor final : public PsdLayerSink {
public:
    // With keepPixels the layers keep their pixels, for a caller that shows them afterwards.
    explicit LayerCompressor(Conversion& conversion, bool keepPixels = false);
    // Waits for the blocks still being made.
    ~LayerCompressor() override;
    LayerCompressor(const LayerCompressor&) = delete;
    LayerCompressor& operator=(const LayerCompressor&) = delete;

    // Reserves the layers held at once: the window, or every layer and alpha channel when they are
    // kept. False, with the reason in the conversion, when they do not fit.
    bool begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) override;
    // The same without reserving anything: for a caller that holds the layers itself.
    void prepare(const DocumentInfo& doc, size_t layerCount);
    // Waits until the window has room for one more layer, and gives it storage a layer handed over
    // no longer needs, when there is such.
    PixelBytes nextPixels() override;
    // Queues the layer's block to be deflated on the pool. A pool thread takes the queued layer
    // stored in the most bytes: such a layer takes longest, and one started last would keep the
    // rest waiting; the reading thread, when it waits for room, deflates the cheapest instead, so
    // that it is soon back to reading.
    void layerRead(Layer* layer, uint64_t storedBytes) override;
    // Waits for every block. Afterwards failure() and the blocks are final.
    void finish();

    // Why the layers cannot be written (not storable in a WLX file, the blocks do not fit the
    // budget, memory ran out); empty while all went well.
    const std::string& failure() const { return failure_; }
    // The layers handed over, in order; their pixels are gone unless kept.
    const LayerTempList& layers() const { return layers_; }
    // The block of layers()[i], once finish() has run.
    const PackedBlock& block(size_t i) const { return entries_[aliasOf_[i]].block; }

private:
    struct Entry {
        PackedBlock block;
        bool done = false, ok = false, counted = false;
    };
    struct Queued {
        uint64_t cost;
        Layer* layer;
        Entry* entry;
    };
    // Deflates one queued layer, the costliest or the cheapest; false when none is queued.
    bool compressOne(bool costliest);
    void compress(Layer& layer, Entry& entry);
    // Moves a block into storage of its own size when that frees more than kShrinkAbove bytes.
    static void keepExactSize(PackedBlock& block);
    static constexpr size_t kShrinkAbove = size_t{64} << 10;
    // Reserves the blocks finished since the last call; on the reading thread, which owns the budget.
    void countFinished(std::unique_lock<std::mutex>& lock);
    void waitUntil(size_t inFlight);
    // Waits until no task posted to the pool refers to this any more.
    void waitForTasks();
    void failWith(const std::string& reason);

    Conversion& conversion_;
    const bool keepPixels_;
    std::string failure_;
    size_t rowBytes_ = 0, rows_ = 0;
    uint64_t pixelBytes_ = 0;
    size_t window_ = 1;
    LayerTempList layers_;
    std::deque<Entry> entries_;    // grows without moving the entries being filled
    std::vector<size_t> aliasOf_;  // per layer, its entry: a layer handed over twice is deflated once
    std::unordered_map<const Layer*, size_t> entryOf_;

    std::mutex mutex_;
    std::condition_variable finished_;
    size_t inFlight_ = 0;  // layers queued or being deflated
    size_t tasks_ = 0;     // tasks posted to the pool that have not ended
    std::vector<Queued> queued_;
    std::vector<Entry*> uncounted_;
    std::vector<PixelBytes> spare_;
};
