#include "formats/wlx/WlxWriter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "formats/wlx/LayerCompressor.h"
#include "formats/wlx/WlxLayout.h"
#include "formats/wlx/ZlibBlock.h"
#include "image/ThreadPool.h"

namespace {

// Sizes and counts the 16-bit fields can hold, and layers that really have the canvas size (the
// rows are copied by the document's size, so a smaller layer would be read past its end) or whose
// block of that size is kept.
bool storable(const LayerTempList& layers, const DocumentInfo& doc, LayerCompressor* kept) {
    if (doc.width < 0 || doc.height < 0) return false;
    if (static_cast<uint32_t>(doc.width) > wlx::kMaxDimension ||
        static_cast<uint32_t>(doc.height) > wlx::kMaxDimension || layers.size() > wlx::kMaxLayerCount) {
        return false;
    }
    const uint64_t pixelBytes = Layer::pixelBytes(doc.width, doc.height);
    const size_t rowBytes = static_cast<size_t>(doc.width) * 4;
    const size_t rows = static_cast<size_t>(doc.height);
    return std::all_of(layers.begin(), layers.end(), [&](const Layer* layer) {
        return layer && (layer->pixels.size() >= pixelBytes || (kept != nullptr && kept->keeps(layer, rowBytes, rows)));
    });
}

void writeHeaders(std::FILE* out, size_t layerCount, const DocumentInfo& doc) {
    using wlx::FileHeader;
    uint8_t header[FileHeader::kSize] = {};
    std::memcpy(header + FileHeader::kMagicAt, wlx::kMagic, sizeof wlx::kMagic);
    wlx::store32(header + FileHeader::kVersionAt, wlx::kVersion);
    wlx::store16(header + FileHeader::kWidthAt, static_cast<uint16_t>(doc.width));
    wlx::store16(header + FileHeader::kHeightAt, static_cast<uint16_t>(doc.height));
    wlx::store16(header + FileHeader::kLayerCountAt, static_cast<uint16_t>(layerCount));
    std::fwrite(header, 1, sizeof header, out);

    const uint8_t extension[wlx::ExtensionHeader::kSize] = {};
    std::fwrite(extension, 1, sizeof extension, out);

    uint8_t sizeField[wlx::kLayerHeaderSizeFieldSize];
    wlx::store32(sizeField, wlx::kLayerHeaderSize);
    std::fwrite(sizeField, 1, sizeof sizeField, out);
}

void writeRecord(std::FILE* out, const Layer& layer, uint32_t dataSize) {
    using wlx::LayerRecord;
    uint8_t record[LayerRecord::kSize] = {};
    std::memcpy(record + LayerRecord::kNameAt, layer.name.data(),
                std::min(layer.name.size(), LayerRecord::kMaxWrittenNameLength));
    record[LayerRecord::kBlendCodeAt] = wlx::blendCodeFromMode(layer.blendMode);
    record[LayerRecord::kOpacityAt] = wlx::opacityByteFromPercent(layer.opacity);
    record[LayerRecord::kFlagsAt] = layer.visible ? wlx::kFlagVisible : 0;
    wlx::store32(record + LayerRecord::kDataSizeAt, dataSize);
    std::fwrite(record, 1, sizeof record, out);
}

bool writeDocument(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion,
                   LayerCompressor* kept) {
    if (!storable(layers, doc, kept))
        return conversion.fail("a WLX file holds at most 65535 layers of at most 65535 x 65535 pixels");
    const size_t rowBytes = static_cast<size_t>(doc.width) * 4;
    const size_t rows = static_cast<size_t>(doc.height);
    ThreadPool& pool = ThreadPool::shared();
    // Layers are compressed a window at a time and written in order; each slot's buffer serves
    // block after block. One layer's deflate cannot be split, and layers differ several times over
    // in cost, so the window is wide: eight a thread, for the threads to even out between them
    // before it closes. Its blocks hold only their compressed bytes.
    const size_t window = std::min(layers.size(), pool.size() * 8);
    std::vector<PackedBlock> packed(window);
    std::vector<char> compressed(window);
    // Each slot's compressed block can take about a layer's bytes.
    if (window != 0 && !conversion.reserve(Layer::pixelBytes(doc.width, doc.height) * window,
                                           "the WLX writer's compressed layers in flight"))
        return false;
    // Blocks kept from the read count like blocks in flight; without room for them they are dropped
    // and compressed here like the rest.
    if (kept != nullptr && !conversion.budget().reserve(kept->heldBytes())) {
        // A layer that gave its pixels up for its block can be written from nothing else.
        if (kept->tookPixels()) return conversion.reserve(kept->heldBytes(), "the compressed layers kept from the read");
        kept->stop();
    }

    // The first window is compressed before the first byte is written, so running out of memory
    // there leaves nothing behind.
    for (size_t first = 0; first < layers.size(); first += window) {
        const size_t count = std::min(window, layers.size() - first);
        // The layers that were stored in the most bytes take longest to compress: started first,
        // they do not hold up the window's end.
        std::vector<std::pair<uint64_t, size_t>> order(count);
        for (size_t i = 0; i < count; ++i) order[i] = {kept ? kept->storedBytes(layers[first + i]) : 0, i};
        std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        pool.forEach(count, [&](size_t k) {
            const size_t i = order[k].second;
            const Layer& layer = *layers[first + i];
            compressed[i] = (kept != nullptr && kept->take(&layer, rowBytes, rows, packed[i])) ||
                            (layer.pixels.size() >= rowBytes * rows &&
                             compressRowsBottomUp(layer.pixels.data(), rowBytes, rows, packed[i]));
        });
        if (first == 0) writeHeaders(out, layers.size(), doc);
        for (size_t i = 0; i < count; ++i) {
            if (!compressed[i]) return conversion.fail("a layer cannot be compressed");
            // Noisy pixels of a huge canvas can pack to more than the 32-bit size field can describe.
            if (packed[i].size > UINT32_MAX) return conversion.fail("a layer compresses to more than 4 GiB");
            writeRecord(out, *layers[first + i], static_cast<uint32_t>(packed[i].size));
            std::fwrite(packed[i].bytes.get(), 1, packed[i].size, out);
        }
    }
    if (layers.empty()) writeHeaders(out, 0, doc);
    return true;
}

bool writeGuarded(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion,
                  LayerCompressor* kept) {
    try {
        return writeDocument(out, layers, doc, conversion, kept);
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
}

}  // namespace

bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion) {
    return writeGuarded(out, layers, doc, conversion, nullptr);
}

bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion,
              LayerCompressor& kept) {
    return writeGuarded(out, layers, doc, conversion, &kept);
}

bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc) {
    Conversion conversion;
    return writeWlx(out, layers, doc, conversion);
}

bool writeWlxFile(const std::string& path, const LayerTempList& layers, const DocumentInfo& doc) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool ok = writeWlx(out, layers, doc);
    std::fclose(out);
    return ok;
}
