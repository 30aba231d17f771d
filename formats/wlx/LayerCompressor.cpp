#include "formats/wlx/LayerCompressor.h"

#include <algorithm>
#include <system_error>

#include "image/DocumentInfo.h"
#include "image/Layer.h"

void LayerCompressor::layerRead(Layer& layer, uint64_t storedBytes, const DocumentInfo& doc, Conversion& conversion) {
    if (failedToStart_ || layer.width != doc.width || layer.height != doc.height) return;
    const uint64_t bytes = Layer::pixelBytes(doc.width, doc.height);
    if (bytes != layer.pixels.size()) return;
    const MemoryBudget& budget = conversion.budget();
    if (bytes > budget.limit() || budget.used() + charged_ > budget.limit() - bytes) return;
    Entry* entry = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        // Grown before anything is recorded, so that running out of memory here leaves no half entry.
        indexOf_.reserve(entries_.size() + 1);
        held_.reserve(held_.size() + 1);
        pending_.reserve(pending_.size() + 1);
        entry = &entries_.emplace_back();
        entry->layer = &layer;
        entry->rowBytes = static_cast<size_t>(doc.width) * 4;
        entry->rows = static_cast<size_t>(doc.height);
        entry->storedBytes = storedBytes;
        indexOf_.emplace(&layer, entries_.size() - 1);
        held_.add(&layer);
        if (mode_ == Mode::ReadingThread) {
            entry->state = State::Running;
        } else {
            pending_.emplace_back(storedBytes, entries_.size() - 1);
            std::push_heap(pending_.begin(), pending_.end());
            charged_ += bytes;
        }
    }
    if (mode_ == Mode::ReadingThread) {
        compressHere(layer, *entry);
        return;
    }
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            failedToStart_ = true;  // the writer compresses every layer, as without this
            stop();
            return;
        }
    }
    wake_.notify_one();
}

void LayerCompressor::compressHere(Layer& layer, Entry& entry) {
    bool ok = false;
    try {
        ok = compressRowsBottomUp(layer.pixels.data(), entry.rowBytes, entry.rows, entry.block);
    } catch (...) {
        ok = false;  // left to the writer, which reports running out of memory as it always has
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
        entry.state = State::Gone;
        entry.block = PackedBlock();
        return;
    }
    entry.state = State::Done;
    charged_ += entry.block.size;
    // The block stands for the pixels from here on; the old spare goes if no layer took it.
    PixelBytes taken(std::move(layer.pixels));
    spare_.swap(taken);
    tookPixels_ = true;
}

PixelBytes LayerCompressor::reusedPixels() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(spare_);
}

void LayerCompressor::readFinished() {
    std::lock_guard<std::mutex> lock(mutex_);
    spare_ = PixelBytes();
}

void LayerCompressor::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
        if (stopping_) return;
        std::pop_heap(pending_.begin(), pending_.end());
        Entry& entry = entries_[pending_.back().second];
        pending_.pop_back();
        if (entry.state != State::Queued) continue;  // taken by the writer first
        entry.state = State::Running;
        lock.unlock();
        bool ok = false;
        try {
            ok = compressRowsBottomUp(entry.layer->pixels.data(), entry.rowBytes, entry.rows, entry.block);
        } catch (...) {
            ok = false;  // left to the writer, which reports running out of memory as it always has
        }
        lock.lock();
        if (ok) {
            entry.state = State::Done;
        } else {
            entry.state = State::Gone;
            entry.block = PackedBlock();
        }
        finished_.notify_all();
    }
}

LayerCompressor::Entry* LayerCompressor::find(const Layer* layer, size_t rowBytes, size_t rows) {
    const auto found = indexOf_.find(layer);
    if (found == indexOf_.end()) return nullptr;
    Entry& entry = entries_[found->second];
    return entry.rowBytes == rowBytes && entry.rows == rows ? &entry : nullptr;
}

bool LayerCompressor::keeps(const Layer* layer, size_t rowBytes, size_t rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Entry* entry = find(layer, rowBytes, rows);
    return entry != nullptr && entry->state != State::Gone;
}

bool LayerCompressor::take(const Layer* layer, size_t rowBytes, size_t rows, PackedBlock& block) {
    std::unique_lock<std::mutex> lock(mutex_);
    Entry* found = find(layer, rowBytes, rows);
    if (found == nullptr) return false;
    Entry& entry = *found;
    finished_.wait(lock, [&] { return entry.state != State::Running; });
    const bool kept = entry.state == State::Done;
    if (kept) std::swap(entry.block, block);
    entry.state = State::Gone;
    entry.block = PackedBlock();
    return kept;
}

uint64_t LayerCompressor::storedBytes(const Layer* layer) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = indexOf_.find(layer);
    return found == indexOf_.end() ? 0 : entries_[found->second].storedBytes;
}

uint64_t LayerCompressor::heldBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t bytes = spare_.size();
    for (const Entry& entry : entries_) {
        if (entry.state == State::Gone) continue;
        bytes += mode_ == Mode::ReadingThread ? entry.block.size : uint64_t{entry.rowBytes} * entry.rows;
    }
    return bytes;
}

void LayerCompressor::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& entry : entries_) {
        entry.state = State::Gone;
        entry.block = PackedBlock();
    }
    held_.clear();
    spare_ = PixelBytes();
}
