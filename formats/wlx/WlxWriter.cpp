#include "formats/wlx/WlxWriter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "formats/wlx/LayerCompressor.h"
#include "formats/wlx/WlxLayout.h"

namespace {

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
    std::memcpy(record + LayerRecord::kNameAt, layer.name.data(), LayerRecord::storedNameLength(layer.name));
    record[LayerRecord::kBlendCodeAt] = wlx::blendCodeFromMode(layer.blendMode);
    record[LayerRecord::kOpacityAt] = wlx::opacityByteFromPercent(layer.opacity);
    record[LayerRecord::kFlagsAt] = layer.visible ? wlx::kFlagVisible : 0;
    wlx::store32(record + LayerRecord::kDataSizeAt, dataSize);
    std::fwrite(record, 1, sizeof record, out);
}

}  // namespace

bool writeWlx(std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc, Conversion& conversion) {
    const LayerTempList& layers = blocks.layers();
    if (!blocks.failure().empty()) return conversion.fail(blocks.failure());
    if (out == nullptr) return false;
    writeHeaders(out, layers.size(), doc);
    for (size_t i = 0; i < layers.size(); ++i) {
        const PackedBlock& block = blocks.block(i);
        writeRecord(out, *layers[i], static_cast<uint32_t>(block.size));
        std::fwrite(block.bytes.get(), 1, block.size, out);
    }
    return true;
}

bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion) {
    if (std::find(layers.begin(), layers.end(), nullptr) != layers.end()) return conversion.fail(wlx::kNotStorable);
    try {
        LayerCompressor blocks(conversion, true);
        blocks.prepare(doc, layers.size());
        for (Layer* layer : layers) blocks.layerRead(layer, 0);
        blocks.finish();
        return writeWlx(out, blocks, doc, conversion);
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
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
