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

namespace {

// Row 0 of a block is the bottom row of the picture; a Layer keeps the top row first.
void reverseRows(std::vector<uint8_t>& pixels, size_t rowBytes, size_t rows) {
    for (size_t top = 0, bottom = rows; top + 1 < bottom; ++top, --bottom) {
        std::swap_ranges(pixels.begin() + static_cast<ptrdiff_t>(top * rowBytes),
                         pixels.begin() + static_cast<ptrdiff_t>((top + 1) * rowBytes),
                         pixels.begin() + static_cast<ptrdiff_t>((bottom - 1) * rowBytes));
    }
}

bool readLayers(ByteInput& source, uint16_t layerCount, LayerTempList& layers, const DocumentInfo& doc,
                Conversion& conversion) {
    using wlx::LayerRecord;
    const uint64_t pixelBytes = Layer::pixelBytes(doc.width, doc.height);
    std::vector<uint8_t> block;
    for (uint32_t i = 0; i < layerCount; ++i) {
        uint8_t record[LayerRecord::kSize];
        const std::string where = "layer " + std::to_string(i + 1);
        if (!source.read(record, sizeof record)) return conversion.fail(where + ": the record runs past the end of the file");
        source.readBlock(wlx::load32(record + LayerRecord::kDataSizeAt), block);

        // A block too short to inflate to the pixels fails before the layer is allocated.
        if (pixelBytes > block.size() * wlx::kMaxInflateRatio + wlx::kInflateSlack)
            return conversion.fail(where + ": a block of " + std::to_string(block.size()) + " bytes cannot inflate to " +
                                   std::to_string(pixelBytes));
        if (!conversion.reserve(pixelBytes, (where + ": its pixels").c_str())) return false;

        // The layer joins the list only once its pixels are complete.
        auto layer = std::make_unique<Layer>();
        layer->resize(doc.width, doc.height, blend::Normal);
        if (!uncompressBlockExact(block.data(), block.size(), layer->pixels.data(), layer->pixels.size())) {
            return conversion.fail(where + ": the block does not inflate to exactly " + std::to_string(pixelBytes) + " bytes");
        }
        reverseRows(layer->pixels, static_cast<size_t>(doc.width) * 4, static_cast<size_t>(doc.height));

        const uint8_t* name = record + LayerRecord::kNameAt;
        const void* end = std::memchr(name, 0, LayerRecord::kNameSize);
        layer->name.assign(reinterpret_cast<const char*>(name),
                           end ? static_cast<const uint8_t*>(end) - name : LayerRecord::kNameSize);
        layer->opacity = wlx::opacityPercentFromByte(record[LayerRecord::kOpacityAt]);
        layer->visible = (record[LayerRecord::kFlagsAt] & wlx::kFlagVisible) ? 1 : 0;
        layer->blendMode = wlx::blendModeFromCode(record[LayerRecord::kBlendCodeAt]);
        // Room ahead, so that add cannot throw once the layer is let go; growing by half keeps
        // tens of thousands of layers linear.
        if (layers.size() == layers.capacity()) layers.reserve(layers.capacity() + layers.capacity() / 2 + 16);
        layers.add(layer.release());
    }
    return true;
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
