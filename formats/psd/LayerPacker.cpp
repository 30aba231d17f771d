#include "formats/psd/LayerPacker.h"

#include <mutex>
#include <new>

#include "image/DocumentInfo.h"

LayerPacker::LayerPacker(Conversion& conversion, Composite composite, uint32_t background, bool keepPixels)
    : conversion_(conversion), composite_(std::move(composite)), background_(background), keepPixels_(keepPixels) {}

LayerPacker::LayerPacker(Conversion& conversion) : conversion_(conversion) {}

void LayerPacker::failWith(const std::string& reason) {
    if (failure_.empty()) failure_ = reason;
}

// What the stage holds is reserved like the reader's own, but a failure is the stage's: the read
// must not fail for it.
bool LayerPacker::reserve(uint64_t bytes, const std::string& what) {
    if (conversion_.budget().reserve(bytes)) return true;
    failWith(conversion_.overBudget(bytes, what));
    return false;
}

size_t LayerPacker::begin(const DocumentInfo& doc, size_t layerCount) {
    layers_.reserve(layerCount);
    packed_.reserve(layerCount);
    const uint64_t pixelBytes = Layer::pixelBytes(doc.width, doc.height);
    if (composite_ && reserve(dib24::imageBytes(doc.width, doc.height), "the canvas")) {
        try {
            canvas_.create(doc.width, doc.height, 0);
        } catch (const std::bad_alloc&) {
            canvas_.destroy();
        }
        if (canvas_.bits == nullptr)
            failWith("a canvas of " + std::to_string(doc.width) + " x " + std::to_string(doc.height) + " cannot be held");
        canvas_.fill(background_);
    }
    // Packing storage for the pieces that run at once, each with room for a channel's longest form.
    const psd::ChannelSource channel{nullptr, 0, 4, doc.width, doc.height};
    reserve(psd::worstPackedSize(channel) * conversion_.pool().size(), "the channels being packed");
    if (keepPixels_) return std::max<size_t>(layerCount, 1);
    // A batch inflates while the one before is packed: two batches are held.
    const size_t held = conversion_.heldAtOnce(pixelBytes, layerCount);
    return std::max<size_t>(held / 2, 1);
}

void LayerPacker::layerRead(Layer* layer) {
    layers_.add(layer);
    packed_.emplace_back();
    // Once the layers cannot be written, they need not be held either.
    if (!failure_.empty()) {
        if (!keepPixels_) PixelBytes().swap(layer->pixels);
        return;
    }
    // A layer must hold what its channels are packed from.
    if (!psd::pixelsCover(*layer, 0, 0)) return failWith("a layer's pixels do not cover it");
    try {
        if (composite_) composite_(*layer, canvas_, conversion_.pool());
        queued_.push_back(layer);
    } catch (const std::bad_alloc&) {
        failWith("out of memory");
    }
}

void LayerPacker::doWork(size_t piece) {
    const size_t c = piece % psd::kLayerChannelCount;
    Channels& kept = packed_[queuedFrom_ + piece / psd::kLayerChannelCount];
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
    if (outOfMemory_) failWith("out of memory");
    for (size_t i = 0; i < queued_.size(); ++i) {
        Layer& layer = *queued_[i];
        uint64_t bytes = 0;
        for (const psd::PackedChannel& channel : packed_[queuedFrom_ + i].channel) bytes += channel.size();
        if (!failure_.empty() || !reserve(bytes, "the packed channels")) {
            packed_[queuedFrom_ + i] = Channels();
            if (!keepPixels_) PixelBytes().swap(layer.pixels);
            continue;
        }
        if (keepPixels_) continue;
        spare_.push_back(std::move(layer.pixels));
        layer.pixels = PixelBytes();
    }
    queued_.clear();
    queuedFrom_ = packed_.size();
}

PixelBytes LayerPacker::reusedPixels() {
    if (spare_.empty()) return {};
    PixelBytes pixels = std::move(spare_.back());
    spare_.pop_back();
    return pixels;
}

void LayerPacker::finish() {
    if (!queued_.empty()) {
        conversion_.pool().forEach(queuedWork(), [&](size_t piece) { doWork(piece); });
        workDone();
    }
    for (const PixelBytes& pixels : spare_) conversion_.budget().release(pixels.size());
    std::vector<PixelBytes>().swap(spare_);
    std::vector<psd::PackedChannel>().swap(scratch_);
}
