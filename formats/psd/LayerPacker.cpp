#include "formats/psd/LayerPacker.h"

#include <new>

#include "image/DocumentInfo.h"
#include "image/ThreadPool.h"

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
    // Once one layer is lost the file cannot be written: the rest need not be held either.
    PixelBytes().swap(layer.pixels);
}

void LayerPacker::take(Layer& layer) {
    composite_(layer, canvas_);
    if (packed_.size() == packed_.capacity()) packed_.reserve(packed_.capacity() + packed_.capacity() / 2 + 16);
    Channels& kept = packed_.emplace_back();
    ThreadPool::shared().forEach(psd::kLayerChannelCount, [&](size_t c) {
        psd::PackedChannel& scratch = scratch_[c];
        kept.rowsFit[c] = psd::packChannel(psd::layerChannel(layer, psd::kLayerChannels[c].byteIndex), scratch);
        // Kept at its exact size; the scratch keeps its room (and its touched pages) for the next layer.
        kept.channel[c].rowCounts = scratch.rowCounts;
        kept.channel[c].rows.assign(scratch.rows.begin(), scratch.rows.end());
    });
    for (const psd::PackedChannel& channel : kept.channel) held_ += channel.size();
    indexOf_[&layer] = packed_.size() - 1;
    spare_.push_back(std::move(layer.pixels));
    layer.pixels = PixelBytes();
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
