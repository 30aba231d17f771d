#include "formats/psd/LayerPacker.h"

#include <mutex>
#include <new>

#include "image/DocumentInfo.h"

bool LayerPacker::start(const DocumentInfo& doc, Conversion& conversion) {
    // Tried against a copy of the budget: the read must not fail for it, and a canvas that does not
    // fit is left for the writing, which reports it as before.
    Conversion probe(conversion.budget());
    if (!canvas_.create(doc.width, doc.height, 0, probe)) {
        canvas_.destroy();
        return false;
    }
    canvasBytes_ = dib24::imageBytes(doc.width, doc.height);
    canvas_.fill(background_);
    return true;
}

void LayerPacker::layerRead(Layer& layer, uint64_t, const DocumentInfo& doc, Conversion& conversion) {
    if (!decided_) {
        decided_ = true;
        try {
            started_ = start(doc, conversion);
        } catch (const std::bad_alloc&) {
            started_ = false;
        }
    }
    if (!started_) return;
    if (failure_.empty()) {
        try {
            take(layer);
            return;
        } catch (const std::bad_alloc&) {
            failure_ = "out of memory";
        }
    }
    lose(layer);
}

// Once one layer is lost the file cannot be written: the rest need not be held either.
void LayerPacker::lose(Layer& layer) { PixelBytes().swap(layer.pixels); }

void LayerPacker::take(Layer& layer) {
    composite_(layer, canvas_);
    queued_.reserve(queued_.size() + 1);
    queuedChannels_.resize(queued_.size() + 1);
    queued_.push_back(&layer);
}

void LayerPacker::doWork(size_t piece) {
    const size_t c = piece % psd::kLayerChannelCount;
    Channels& kept = queuedChannels_[piece / psd::kLayerChannelCount];
    try {
        // Storage a piece finished with: as many as run at once, so few fresh pages are touched.
        psd::PackedChannel scratch;
        {
            std::lock_guard<std::mutex> lock(scratchMutex_);
            if (!scratch_.empty()) {
                scratch = std::move(scratch_.back());
                scratch_.pop_back();
            }
        }
        const Layer& layer = *queued_[piece / psd::kLayerChannelCount];
        const psd::ChannelSource source = psd::layerChannel(layer, psd::kLayerChannels[c].byteIndex);
        psd::reserveWorst(source, scratch);
        kept.rowsFit[c] = psd::packChannel(source, scratch);
        // Kept at its exact size; the scratch keeps its room (and its touched pages) for the next piece.
        kept.channel[c].rowCounts = scratch.rowCounts;
        kept.channel[c].rows.assign(scratch.rows.begin(), scratch.rows.end());
        std::lock_guard<std::mutex> lock(scratchMutex_);
        scratch_.push_back(std::move(scratch));
    } catch (const std::bad_alloc&) {
        outOfMemory_ = true;
    }
}

void LayerPacker::workDone() {
    if (outOfMemory_ && failure_.empty()) failure_ = "out of memory";
    for (size_t i = 0; i < queued_.size(); ++i) {
        Layer& layer = *queued_[i];
        if (!failure_.empty()) {
            lose(layer);
            continue;
        }
        if (packed_.size() == packed_.capacity()) packed_.reserve(packed_.capacity() + packed_.capacity() / 2 + 16);
        packed_.push_back(std::move(queuedChannels_[i]));
        for (const psd::PackedChannel& channel : packed_.back().channel) held_ += channel.size();
        indexOf_[&layer] = packed_.size() - 1;
        spare_.push_back(std::move(layer.pixels));
        layer.pixels = PixelBytes();
    }
    queued_.clear();
    queuedChannels_.clear();
}

PixelBytes LayerPacker::reusedPixels() {
    if (spare_.empty()) return {};
    PixelBytes pixels = std::move(spare_.back());
    spare_.pop_back();
    return pixels;
}

const LayerPacker::Channels* LayerPacker::channelsOf(const Layer* layer) const {
    const auto found = indexOf_.find(layer);
    return found == indexOf_.end() ? nullptr : &packed_[found->second];
}
