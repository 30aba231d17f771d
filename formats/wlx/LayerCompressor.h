#pragma once
// Deflates the layers of a PSD -> WLX conversion into their WLX blocks while the file is read. On a
// thread of its own it works while the reader goes on with the next layer, so that reading and
// compressing overlap. On the reading thread it deflates each layer as it arrives and hands its
// storage back for the next one, so that the layers' pages are touched once, not each layer's
// anew. The writer then takes the kept blocks and compresses the rest itself.
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
    enum class Mode { OwnThread, ReadingThread };
    explicit LayerCompressor(Mode mode = Mode::OwnThread) : mode_(mode) {}
    ~LayerCompressor() override { stop(); }
    LayerCompressor(const LayerCompressor&) = delete;
    LayerCompressor& operator=(const LayerCompressor&) = delete;

    // Queues the layer when its block fits in the conversion's budget beside what is already held
    // (nothing is reserved: the reader's own reservations stay as they were). A layer not queued is
    // simply compressed by the writer. The thread takes the layer stored in the most bytes first:
    // such a layer takes longest to compress, and one started last would keep the writer waiting.
    // On the reading thread the layer is deflated at once; once its block is kept the layer's
    // pixels are taken from it (left empty) for reusedPixels() to give back.
    void layerRead(Layer& layer, uint64_t storedBytes, const DocumentInfo& doc, Conversion& conversion) override;
    // The storage of the last layer whose block is kept on the reading thread, once.
    PixelBytes reusedPixels() override;
    // Lets go of storage no layer took: the read is over.
    void readFinished();

    // Moves the block of layer, compressed as rows of rowBytes x rows, into block; waits while it is
    // being compressed. False when no such block is kept: then the layer is no longer queued and the
    // caller compresses it. Safe to call from several threads at once.
    bool take(const Layer* layer, size_t rowBytes, size_t rows, PackedBlock& block);
    // Whether the block of layer, as rows of rowBytes x rows, is kept or on its way.
    bool keeps(const Layer* layer, size_t rowBytes, size_t rows);
    // Whether some layer gave its pixels up for its block: then stop() would lose that layer.
    bool tookPixels() const { return tookPixels_; }
    // The stored bytes layer was queued with; 0 for a layer not queued.
    uint64_t storedBytes(const Layer* layer);
    // What the blocks not yet taken may hold, as the writer counts a block in flight; a block made
    // on the reading thread counts what it holds.
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
    void compressHere(Layer& layer, Entry& entry);
    Entry* find(const Layer* layer, size_t rowBytes, size_t rows);

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Entry> entries_;  // grows without moving the entries the thread works on
    std::unordered_map<const Layer*, size_t> indexOf_;
    LayerTempList held_;  // keeps the queued layers alive whatever their lists do
    // Entries queued for the thread as a heap of (stored bytes, entry).
    std::vector<std::pair<uint64_t, size_t>> pending_;
    const Mode mode_;
    PixelBytes spare_;  // storage of the last layer compressed on the reading thread
    bool tookPixels_ = false;
    uint64_t charged_ = 0;  // what the entries may hold: a whole layer for a block in flight
    bool stopping_ = false, failedToStart_ = false;
    std::thread thread_;
};
