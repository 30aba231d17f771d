#include "formats/wlx/WlxReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "formats/wlx/WlxLayout.h"
#include "formats/wlx/ZlibBlock.h"
#include "image/ByteInput.h"
#include "image/Conversion.h"
#include "image/ThreadPool.h"

namespace {

// A layer read with its block, waiting for its pixels.
struct PendingLayer {
    std::unique_ptr<Layer> layer;
    std::vector<uint8_t> block;
};

// Inflates the pending layers' blocks in parallel, straight into their pixels, and adds the layers
// before the first that fails to the list; true when none failed. With a layer sink, a window of
// as many layers as threads goes at a time, each handed over once inflated; the work the sink
// queues on a window runs beside the inflating of the next, and the storage it gives back then
// serves the window after. Without a sink, all go at once.
bool inflateInto(std::vector<PendingLayer>& pending, LayerTempList& layers, const DocumentInfo& doc,
                 Conversion& conversion) {
    ThreadPool& pool = ThreadPool::shared();
    LayerSink* sink = conversion.layerSink();
    const size_t window = sink != nullptr ? pool.size() : std::max<size_t>(pending.size(), 1);
    // Room ahead, so that add cannot throw once a layer is let go.
    layers.reserve(layers.size() + pending.size());
    std::vector<char> inflated(window);
    std::vector<uint64_t> stored(window);
    for (size_t first = 0; first < pending.size(); first += window) {
        const size_t count = std::min(window, pending.size() - first);
        std::vector<PixelBytes> storage(count);
        if (sink != nullptr) {
            for (PixelBytes& pixels : storage) pixels = sink->reusedPixels();
        }
        const size_t queued = sink != nullptr ? sink->queuedWork() : 0;
        // The blocks go first: they take longest, and the sink's smaller pieces fill in around them.
        pool.forEach(count + queued, [&](size_t task) {
            if (task >= count) return sink->doWork(task - count);
            const size_t j = task;
            Layer& layer = *pending[first + j].layer;
            const int32_t opacity = layer.opacity;
            const uint8_t visible = layer.visible;
            // A block that inflates writes every byte; one that does not is dropped with its layer.
            layer.resizeReusing(std::move(storage[j]), doc.width, doc.height, layer.blendMode, true);
            layer.opacity = opacity;
            layer.visible = visible;
            const std::vector<uint8_t>& block = pending[first + j].block;
            stored[j] = block.size();
            inflated[j] = uncompressRowsBottomUp(block.data(), block.size(), layer.pixels.data(),
                                                 static_cast<size_t>(doc.width) * 4, static_cast<size_t>(doc.height));
            std::vector<uint8_t>().swap(pending[first + j].block);
        });
        if (queued > 0) sink->workDone();
        for (size_t j = 0; j < count; ++j) {
            if (!inflated[j]) {
                return conversion.fail("layer " + std::to_string(layers.size() + 1) +
                                       ": the block does not inflate to exactly " +
                                       std::to_string(Layer::pixelBytes(doc.width, doc.height)) + " bytes");
            }
            Layer* layer = pending[first + j].layer.release();
            layers.add(layer);
            if (sink != nullptr) sink->layerRead(*layer, stored[j], doc, conversion);
        }
    }
    if (sink != nullptr && sink->queuedWork() > 0) {
        pool.forEach(sink->queuedWork(), [&](size_t i) { sink->doWork(i); });
        sink->workDone();
    }
    return true;
}

bool readLayers(ByteInput& source, uint16_t layerCount, LayerTempList& layers, const DocumentInfo& doc,
                Conversion& conversion) {
    using wlx::LayerRecord;
    const uint64_t pixelBytes = Layer::pixelBytes(doc.width, doc.height);
    // Every record and block is read and checked first (the blocks hold no more than the file),
    // then the blocks inflate. A failure keeps the complete layers before it.
    std::vector<PendingLayer> pending;
    for (uint32_t i = 0; i < layerCount; ++i) {
        uint8_t record[LayerRecord::kSize];
        const std::string where = "layer " + std::to_string(i + 1);
        if (!source.read(record, sizeof record)) {
            inflateInto(pending, layers, doc, conversion);
            return conversion.fail(where + ": the record runs past the end of the file");
        }
        PendingLayer next;
        source.readBlock(wlx::load32(record + LayerRecord::kDataSizeAt), next.block);

        // A block too short to inflate to the pixels fails before the layer is allocated.
        if (pixelBytes > next.block.size() * wlx::kMaxInflateRatio + wlx::kInflateSlack) {
            inflateInto(pending, layers, doc, conversion);
            return conversion.fail(where + ": a block of " + std::to_string(next.block.size()) +
                                   " bytes cannot inflate to " + std::to_string(pixelBytes));
        }
        if (!conversion.reserve(pixelBytes, (where + ": its pixels").c_str())) {
            // The reason names the limit; the layers before keep theirs only if they inflate.
            inflateInto(pending, layers, doc, conversion);
            return false;
        }

        next.layer = std::make_unique<Layer>();
        Layer& layer = *next.layer;
        const uint8_t* name = record + LayerRecord::kNameAt;
        const void* end = std::memchr(name, 0, LayerRecord::kNameSize);
        layer.name.assign(reinterpret_cast<const char*>(name),
                          end ? static_cast<const uint8_t*>(end) - name : LayerRecord::kNameSize);
        layer.opacity = wlx::opacityPercentFromByte(record[LayerRecord::kOpacityAt]);
        layer.visible = (record[LayerRecord::kFlagsAt] & wlx::kFlagVisible) ? 1 : 0;
        layer.blendMode = wlx::blendModeFromCode(record[LayerRecord::kBlendCodeAt]);
        // Growing by half keeps tens of thousands of layers linear.
        if (pending.size() == pending.capacity()) pending.reserve(pending.capacity() + pending.capacity() / 2 + 16);
        pending.push_back(std::move(next));
    }
    return inflateInto(pending, layers, doc, conversion);
}

bool readDocument(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion) {
    using wlx::ExtensionHeader;
    using wlx::FileHeader;
    ByteInput source(in);

    uint8_t header[FileHeader::kSize];
    if (!source.read(header, sizeof header)) return conversion.fail("the file is shorter than a WLX header");
    if (header[FileHeader::kTerminatorAt] != 0 ||
        std::memcmp(header + FileHeader::kMagicAt, wlx::kMagic, sizeof wlx::kMagic) != 0)
        return conversion.fail("not a WLX file: the signature is wrong");
    const uint32_t version = wlx::load32(header + FileHeader::kVersionAt);
    if (version != wlx::kVersion) return conversion.fail("WLX version " + std::to_string(version) + " is not supported");
    doc.width = wlx::load16(header + FileHeader::kWidthAt);
    doc.height = wlx::load16(header + FileHeader::kHeightAt);

    uint8_t extension[ExtensionHeader::kSize];
    if (!source.read(extension, sizeof extension))
        return conversion.fail("the extension header runs past the end of the file");
    source.skip(wlx::load32(extension + ExtensionHeader::kExtraSizeAt));

    // Bytes missing at the end of the file count as 0.
    uint8_t sizeField[wlx::kLayerHeaderSizeFieldSize] = {};
    source.readSome(sizeField, sizeof sizeField);
    if (wlx::load32(sizeField) != wlx::kLayerHeaderSize)
        return conversion.fail("a layer header size of " + std::to_string(wlx::load32(sizeField)) + ", not " +
                               std::to_string(wlx::kLayerHeaderSize));

    return readLayers(source, wlx::load16(header + FileHeader::kLayerCountAt), layers, doc, conversion);
}

}  // namespace

bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion) {
    try {
        return readDocument(in, layers, doc, conversion);
    } catch (const std::bad_alloc&) {
        // The budget guards against hostile sizes; memory taken by others can still run out.
        return conversion.fail("out of memory");
    }
}

bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc) {
    Conversion conversion;
    return readWlx(in, layers, doc, conversion);
}

bool readWlxFile(const std::string& path, LayerTempList& layers, DocumentInfo& doc) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return false;
    const bool ok = readWlx(in, layers, doc);
    std::fclose(in);
    return ok;
}
