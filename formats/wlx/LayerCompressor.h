#pragma once
// Deflates the layers of a PSD -> WLX conversion into their WLX blocks on a thread of its own while
// the reader goes on with the next layer, so that reading and compressing overlap. The writer then
// takes the kept blocks and compresses the rest itself.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <deque>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "formats/wlx/ZlibBlock.h"
#include "image/Conversion.h"
#include "image/LayerTempList.h"

class LayerCompressor final : public LayerSink {
public:
    LayerCompressor() = default;
    ~LayerCompressor() override { stop(); }
    LayerCompressor(const LayerCompressor&) = delete;
    LayerCompressor& operator=(const LayerCompressor&) = delete;

    // Queues the layer when its block fits in the conversion's budget beside what is already held
    // (nothing is reserved: the reader's own reservations stay as they were). A layer not queued is
    // simply compressed by the writer. The thread takes the layer stored in the most bytes first:
    // such a layer takes longest to compress, and one started last would keep the writer waiting.
    void layerRead(Layer& layer, uint64_t storedBytes, const DocumentInfo& doc, Conversion& conversion) override;

    // Moves the block of layer, compressed as rows of rowBytes x rows, into block; waits while it is
    // being compressed. False when no such block is kept: then the layer is no longer queued and the
    // caller compresses it. Safe to call from several threads at once.
    bool take(const Layer* layer, size_t rowBytes, size_t rows, PackedBlock& block);
    // The stored bytes layer was queued with; 0 for a layer not queued.
    uint64_t storedBytes(const Layer* layer);
    // What the blocks not yet taken may hold, as the writer counts a block in flight.
    uint64_t heldBytes();
    // Drops every queued and kept block and joins the thread; a block being compressed is finished
    // first. Afterwards take() keeps nothing.
    void stop();

private:
    enum class State { Queued, Running, Done, Gone };
    struct Entry {
        const Layer* layer = nullptr;
        size_t rowBytes = 0, rows = 0;
        uint64_t storedBytes = 0;
        State state = State::Queued;
        PackedBlock block;
    };
    void work();

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Entry> entries_;  // grows without moving the entries the thread works on
    std::unordered_map<const Layer*, size_t> indexOf_;
    LayerTempList held_;  // keeps the queued layers alive whatever their lists do
    // Entries queued for the thread as a heap of (stored bytes, entry).
    std::vector<std::pair<uint64_t, size_t>> pending_;
    uint64_t charged_ = 0;
    bool stopping_ = false, failedToStart_ = false;
    std::thread thread_;
};
