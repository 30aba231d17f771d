#include "formats/wlx/WlxReader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "formats/wlx/DeflateBlock.h"
#include "formats/wlx/WlxLayout.h"
#include "image/ByteInput.h"
#include "image/Conversion.h"
#include "image/ThreadPool.h"

namespace {

// A layer whose record and block are read, waiting for its block to inflate into storage.
struct PendingLayer {
    std::unique_ptr<Layer> layer;
    std::vector<uint8_t> block;
    PixelBytes storage;
};

// Runs the work the sink has queued on the pool.
void runQueued(ThreadPool& pool, WlxLayerSink& sink) {
    const size_t pieces = sink.queuedWork();
    if (pieces == 0) return;
    pool.forEach(pieces, [&](size_t piece) { sink.doWork(piece); });
    sink.workDone();
}

// Inflates a batch of blocks in parallel, straight into their layers' pixels, beside the work the
// sink queued on the batch before, and hands the layers before the first that fails to the sink;
// true when none failed. first is the batch's first layer in the file.
bool inflateBatch(std::vector<PendingLayer>& batch, size_t first, const DocumentInfo& doc, Conversion& conversion,
                  WlxLayerSink& sink) {
    ThreadPool& pool = conversion.pool();
    const size_t rowBytes = static_cast<size_t>(doc.width) * 4;
    const size_t rows = static_cast<size_t>(doc.height);
    const size_t queued = sink.queuedWork();
    std::vector<char> inflated(batch.size());
    pool.forEach(batch.size() + queued, [&](size_t task) {
        if (task >= batch.size()) return sink.doWork(task - batch.size());
        PendingLayer& pending = batch[task];
        Layer& layer = *pending.layer;
        const int32_t opacity = layer.opacity;
        const uint8_t visible = layer.visible;
        // A block that inflates writes every byte; one that does not is dropped with its layer.
        layer.resizeReusing(std::move(pending.storage), doc.width, doc.height, layer.blendMode, true);
        layer.opacity = opacity;
        layer.visible = visible;
        inflated[task] = uncompressRowsBottomUp(pending.block.data(), pending.block.size(), layer.pixels.data(),
                                                rowBytes, rows);
        std::vector<uint8_t>().swap(pending.block);
    });
    if (queued > 0) sink.workDone();
    for (size_t j = 0; j < batch.size(); ++j) {
        if (!inflated[j]) {
            return conversion.fail("layer " + std::to_string(first + j + 1) + ": the block does not inflate to exactly " +
                                   std::to_string(Layer::pixelBytes(doc.width, doc.height)) + " bytes");
        }
        sink.layerRead(batch[j].layer.release());
    }
    // With one thread nothing runs beside the next batch: the work is done now, so that the storage
    // it gives back serves that batch.
    if (pool.size() == 1) runQueued(pool, sink);
    return true;
}

bool readLayers(ByteInput& source, uint16_t layerCount, const DocumentInfo& doc, Conversion& conversion,
                WlxLayerSink& sink) {
    using wlx::LayerRecord;
    const uint64_t pixelBytes = Layer::pixelBytes(doc.width, doc.height);
    const size_t window = std::max<size_t>(sink.begin(doc, layerCount), 1);
    // The records and blocks of a batch are read and checked first, then the batch inflates; only
    // a batch's blocks are held. A failure keeps the complete layers before it.
    for (uint32_t i = 0; i < layerCount;) {
        std::vector<PendingLayer> batch;
        batch.reserve(std::min<size_t>(window, layerCount - i));
        const size_t first = i;
        std::string failure;
        bool reserved = true;
        while (batch.size() < window && i < layerCount) {
            uint8_t record[LayerRecord::kSize];
            const std::string where = "layer " + std::to_string(i + 1);
            if (!source.read(record, sizeof record)) {
                failure = where + ": the record runs past the end of the file";
                break;
            }
            PendingLayer next;
            source.readBlock(wlx::load32(record + LayerRecord::kDataSizeAt), next.block);
            // A block too short to inflate to the pixels fails before the layer is allocated.
            if (pixelBytes > next.block.size() * wlx::kMaxInflateRatio + wlx::kInflateSlack) {
                failure = where + ": a block of " + std::to_string(next.block.size()) + " bytes cannot inflate to " +
                          std::to_string(pixelBytes);
                break;
            }
            // Storage a layer before gave back is reserved already; fresh storage is not.
            next.storage = sink.reusedPixels();
            if (next.storage.size() != pixelBytes) {
                next.storage = PixelBytes();
                if (!conversion.reserve(pixelBytes, where + ": its pixels")) {
                    reserved = false;  // the reason names the limit
                    break;
                }
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
            batch.push_back(std::move(next));
            ++i;
        }
        // The layers before a failure keep theirs only if they inflate; an inflate failure among
        // them comes first in the file.
        const bool inflated = inflateBatch(batch, first, doc, conversion, sink);
        if (!reserved) return false;
        if (!failure.empty()) return conversion.fail(failure);
        if (!inflated) return false;
    }
    runQueued(conversion.pool(), sink);
    return true;
}

// Keeps every layer in a list.
class LayerList final : public WlxLayerSink {
public:
    explicit LayerList(LayerTempList& layers) : layers_(layers) {}
    size_t begin(const DocumentInfo&, size_t layerCount) override {
        layers_.reserve(layers_.size() + layerCount);  // so that add cannot throw once a layer is handed over
        return layerCount;
    }
    void layerRead(Layer* layer) override { layers_.add(layer); }

private:
    LayerTempList& layers_;
};

bool readDocument(std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink) {
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

    return readLayers(source, wlx::load16(header + FileHeader::kLayerCountAt), doc, conversion, sink);
}

}  // namespace

bool readWlx(std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink) {
    try {
        return readDocument(in, doc, conversion, sink);
    } catch (const std::bad_alloc&) {
        // The budget guards against hostile sizes; memory taken by others can still run out.
        return conversion.fail("out of memory");
    }
}

bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion) {
    LayerList list(layers);
    return readWlx(in, doc, conversion, list);
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
