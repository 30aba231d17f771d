#include "formats/wlx/LayerCompressor.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "formats/wlx/WlxLayout.h"
#include "image/DocumentInfo.h"
#include "image/Layer.h"

LayerCompressor::LayerCompressor(Conversion& conversion, bool keepPixels)
    : conversion_(conversion), keepPixels_(keepPixels) {}

LayerCompressor::~LayerCompressor() {
    waitUntil(0);
    waitForTasks();
}

void LayerCompressor::failWith(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
}

void LayerCompressor::prepare(const DocumentInfo& doc, size_t layerCount) {
    layers_.reserve(layerCount);
    aliasOf_.reserve(layerCount);
    if (doc.width < 0 || doc.height < 0 || static_cast<uint32_t>(doc.width) > wlx::kMaxDimension ||
        static_cast<uint32_t>(doc.height) > wlx::kMaxDimension || layerCount > wlx::kMaxLayerCount)
        failWith(wlx::kNotStorable);
    rowBytes_ = static_cast<size_t>(std::max(doc.width, 0)) * 4;
    rows_ = static_cast<size_t>(std::max(doc.height, 0));
    pixelBytes_ = Layer::pixelBytes(std::max(doc.width, 0), std::max(doc.height, 0));
    window_ = keepPixels_ ? std::max<size_t>(layerCount, 1) : conversion_.heldAtOnce(pixelBytes_, layerCount);
    // The pool's threads add to these under the lock, where they must not throw.
    uncounted_.reserve(layerCount);
    queued_.reserve(window_);
    spare_.reserve(window_);
}

bool LayerCompressor::begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) {
    prepare(doc, layerCount);
    const uint64_t held = keepPixels_ ? layerCount + alphaCount : window_;
    const uint64_t bytes = pixelBytes_ == 0 || held <= UINT64_MAX / pixelBytes_ ? pixelBytes_ * held : UINT64_MAX;
    return conversion_.reserve(bytes, std::to_string(held) + " layers");
}

namespace {
// While pending() holds (under lock), this thread runs work() rather than idles, and waits for a
// finish only when there was none to run.
template <typename Pending, typename Work>
void helpWhile(std::unique_lock<std::mutex>& lock, std::condition_variable& finished, Pending pending, Work work) {
    while (pending()) {
        lock.unlock();
        const bool ran = work();
        lock.lock();
        if (!ran && pending()) finished.wait(lock);
    }
}
}  // namespace

void LayerCompressor::waitUntil(size_t inFlight) {
    std::unique_lock<std::mutex> lock(mutex_);
    helpWhile(lock, finished_, [&] { return inFlight_ > inFlight; }, [&] { return compressOne(false); });
    countFinished(lock);
}

void LayerCompressor::waitForTasks() {
    std::unique_lock<std::mutex> lock(mutex_);
    helpWhile(lock, finished_, [&] { return tasks_ > 0; }, [&] { return conversion_.pool().runPosted(); });
}

bool LayerCompressor::compressOne(bool costliest) {
    Queued next{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_.empty()) return false;
        auto cheaper = [](const Queued& a, const Queued& b) { return a.cost < b.cost; };
        const auto at = costliest ? std::max_element(queued_.begin(), queued_.end(), cheaper)
                                  : std::min_element(queued_.begin(), queued_.end(), cheaper);
        next = *at;
        queued_.erase(at);
    }
    compress(*next.layer, *next.entry);
    return true;
}

void LayerCompressor::countFinished(std::unique_lock<std::mutex>&) {
    for (Entry* entry : uncounted_) {
        if (!entry->ok) {
            failWith("a layer cannot be compressed");
            continue;
        }
        // Noisy pixels of a huge canvas can pack to more than the 32-bit size field can describe.
        if (entry->block.size > UINT32_MAX) failWith("a layer compresses to more than 4 GiB");
        if (!conversion_.budget().reserve(entry->block.size))
            failWith(conversion_.overBudget(entry->block.size, "the compressed layers"));
        entry->counted = true;
    }
    uncounted_.clear();
}

PixelBytes LayerCompressor::nextPixels() {
    // The layer about to be read is one of the window.
    waitUntil(window_ - 1);
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) return {};
    PixelBytes pixels = std::move(spare_.back());
    spare_.pop_back();
    return pixels;
}

void LayerCompressor::layerRead(Layer* layer, uint64_t storedBytes) {
    // Room first, so that nothing below throws once the layer is taken.
    entries_.emplace_back();
    layers_.add(layer);
    // Only a caller's own list can hold a layer twice; flipping its rows from two threads at once
    // would spoil both blocks.
    if (keepPixels_) {
        const auto earlier = entryOf_.emplace(layer, entries_.size() - 1);
        if (!earlier.second) {
            aliasOf_.push_back(earlier.first->second);
            entries_.pop_back();
            return;
        }
    }
    aliasOf_.push_back(entries_.size() - 1);
    Entry& entry = entries_.back();
    // The rows are taken by the document's size: a smaller layer would be read past its end.
    if (layer->pixels.size() < pixelBytes_) failWith(wlx::kNotStorable);
    // Once the layers cannot be written, they need not be held either.
    if (!failure_.empty()) {
        if (!keepPixels_) PixelBytes().swap(layer->pixels);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queued_.push_back({storedBytes, layer, &entry});
        ++inFlight_;
        ++tasks_;
    }
    // A task may find the queue emptied by the reading thread; each takes one layer at most.
    conversion_.pool().post([this] {
        compressOne(true);
        std::lock_guard<std::mutex> lock(mutex_);
        --tasks_;
        finished_.notify_all();
    });
}

// A block is made in room for the worst case, about a layer's size, and held until the write.
// Untouched pages of it cost nothing where the system maps them lazily, but in a browser's
// WebAssembly memory every byte allocated counts against a fixed limit: keep what was written.
void LayerCompressor::keepExactSize(PackedBlock& block) {
    if (block.capacity - block.size < kShrinkAbove) return;
    try {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[block.size]);
        std::memcpy(exact.get(), block.bytes.get(), block.size);
        block.bytes = std::move(exact);
        block.capacity = block.size;
    } catch (const std::bad_alloc&) {
        // The larger block serves as well.
    }
}

void LayerCompressor::compress(Layer& layer, Entry& entry) {
    bool ok = false;
    try {
        ok = compressRowsBottomUp(layer.pixels.data(), rowBytes_, rows_, entry.block);
        if (ok) keepExactSize(entry.block);
    } catch (...) {
        ok = false;  // reported as a layer that cannot be compressed
    }
    std::lock_guard<std::mutex> lock(mutex_);
    entry.ok = ok;
    entry.done = true;
    uncounted_.push_back(&entry);
    if (!keepPixels_) {
        // The block stands for the pixels from here on.
        spare_.push_back(std::move(layer.pixels));
        layer.pixels = PixelBytes();
    }
    --inFlight_;
    finished_.notify_all();
}

void LayerCompressor::finish() {
    waitUntil(0);
    waitForTasks();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const PixelBytes& pixels : spare_) conversion_.budget().release(pixels.size());
    std::vector<PixelBytes>().swap(spare_);
}
