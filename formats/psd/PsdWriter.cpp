#include "formats/psd/PsdWriter.h"

#include <array>
#include <cstring>
#include <vector>

#include "formats/psd/Cp932.h"
#include "formats/psd/PackedChannel.h"
#include "formats/psd/PascalString.h"
#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdOutput.h"
#include "image/Conversion.h"

namespace {

using psd::BigEndianOutput;
using psd::PatchedLength;

// Additional layer information holding the name as UTF-16, which is what other programs show; the
// Pascal name holds only CP932 bytes. Bytes that are not CP932 text get none and keep their bytes.
std::string unicodeNameBlock(const std::string& name) {
    std::u16string units;
    if (!cp932::toUtf16(name, units)) return {};
    std::string data(4, '\0');
    psd::store32(reinterpret_cast<uint8_t*>(data.data()), static_cast<uint32_t>(units.size()));
    for (char16_t u : units) {
        data.push_back(static_cast<char>(u >> 8));
        data.push_back(static_cast<char>(u & 0xFF));
    }
    data.append((4 - data.size() % 4) % 4, '\0');
    psd::InfoBlockHead head{};
    std::memcpy(head.bytes + psd::InfoBlockHead::kSignatureAt, psd::kResourceSignature, 4);
    std::memcpy(head.bytes + psd::InfoBlockHead::kKeyAt, psd::kKeyUnicodeName, 4);
    psd::store32(head.bytes + psd::InfoBlockHead::kLengthAt, static_cast<uint32_t>(data.size()));
    return std::string(reinterpret_cast<const char*>(head.bytes), sizeof head.bytes) + data;
}

// Percent to the 0..255 byte: trunc(opacity x 0.01 x 255.0 + 0.5) in double precision. Values past
// either end (only from out-of-range source files) are held at the end instead of wrapping.
uint8_t opacityByte(int32_t opacity) {
    if (opacity >= 100) return 255;
    if (opacity <= 0) return 0;
    return static_cast<uint8_t>(static_cast<int32_t>(opacity * 0.01 * 255.0 + 0.5));
}

// Channel byteIndex of a layer's blue-green-red-alpha pixels.
psd::ChannelSource layerChannel(const Layer& layer, int byteIndex) {
    psd::ChannelSource source;
    if (!layer.pixels.empty()) source.origin = layer.pixels.data() + byteIndex;
    source.rowStride = static_cast<ptrdiff_t>(layer.width) * 4;
    source.step = 4;
    source.width = layer.width;
    source.height = layer.height;
    return source;
}

// Merged channel c: red, green, blue from the bottom-up canvas (its pixels hold blue, green, red),
// then the alpha of each alpha-channel layer.
psd::ChannelSource mergedChannel(const dib24& canvas, const LayerTempList& alphaChannels, size_t c) {
    if (c >= psd::kColourChannels) {
        const int alpha = psd::pixelByteForChannel(psd::unsignedChannelId(psd::kChannelTransparency));
        psd::ChannelSource source = layerChannel(*alphaChannels[c - psd::kColourChannels], alpha);
        source.width = canvas.width;
        source.height = canvas.height;
        return source;
    }
    psd::ChannelSource source;
    if (canvas.bits != nullptr && canvas.height > 0)
        source.origin = canvas.bits + static_cast<size_t>(canvas.height - 1) * canvas.stride +
                        psd::pixelByteForChannel(static_cast<uint32_t>(c));
    source.rowStride = -static_cast<ptrdiff_t>(canvas.stride);
    source.step = 3;
    source.width = canvas.width;
    source.height = canvas.height;
    return source;
}

bool pixelsCover(const Layer& layer, int64_t w, int64_t h) {
    return layer.width >= 0 && layer.height >= 0 && layer.width >= w && layer.height >= h &&
           layer.pixels.size() >= Layer::pixelBytes(layer.width, layer.height);
}

// Everything about the file that must be known before its first byte: every channel packed (row
// counts are 16-bit, and a layer channel's total goes into its record), and whether the layer
// section's 32-bit lengths can hold it all. Working it out first lets an unrepresentable document be
// refused while the output is still untouched.
struct Plan {
    std::vector<std::array<psd::PackedChannel, psd::kLayerChannelCount>> layers;
    std::vector<std::string> names;          // per layer: padded Pascal name, then its Unicode name block
    std::vector<psd::PackedChannel> merged;  // channel by channel
};

constexpr char kSectionTooLong[] = "the layers take more than the 4 GiB a PSD layer section can hold";

// Bytes of a layer channel's data: the compression code, then its row counts and rows.
uint64_t channelDataLength(const psd::PackedChannel& channel) { return 2 + channel.size(); }

bool makePlan(const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Plan& plan, Conversion& conversion) {
    // The model must be one the file can describe and one that can be read without going outside
    // any buffer.
    if (doc.width < 0 || doc.height < 0 || canvas.width != doc.width || canvas.height != doc.height ||
        (canvas.width > 0 && canvas.height > 0 &&
         (canvas.bits == nullptr || static_cast<int64_t>(canvas.stride) < static_cast<int64_t>(canvas.width) * 3)))
        return conversion.fail("the canvas does not match the document");
    if (layers.size() > psd::kMaxLayerCount)
        return conversion.fail("a PSD file holds at most " + std::to_string(psd::kMaxLayerCount) + " layers");
    if (alphaChannels.size() > psd::kMaxChannels - psd::kColourChannels)
        return conversion.fail("a PSD file holds at most " + std::to_string(psd::kMaxChannels) + " channels");
    for (const Layer* layer : layers) {
        if (layer == nullptr || !pixelsCover(*layer, 0, 0)) return conversion.fail("a layer's pixels do not cover it");
    }
    for (const Layer* alpha : alphaChannels) {
        if (alpha == nullptr || !pixelsCover(*alpha, canvas.width, canvas.height))
            return conversion.fail("an alpha channel's pixels do not cover the canvas");
    }

    uint64_t info = 2;  // the layer count
    plan.layers.resize(layers.size());
    plan.names.resize(layers.size());
    for (size_t i = 0; i < layers.size(); ++i) {
        const Layer& layer = *layers[i];
        plan.names[i] = psd::pascalString(layer.name, psd::kLayerNamePadding) + unicodeNameBlock(layer.name);
        info += psd::LayerRect::kSize + psd::kLayerChannelCount * psd::kChannelEntrySize + psd::LayerBlend::kSize +
                psd::kMaskAndRangesLengthsSize + plan.names[i].size();
        for (size_t c = 0; c < psd::kLayerChannelCount; ++c) {
            psd::PackedChannel& channel = plan.layers[i][c];
            if (!psd::packChannel(layerChannel(layer, psd::kLayerChannels[c].byteIndex), channel))
                return conversion.fail("layer " + std::to_string(i + 1) + ": a row packs to more than " +
                                       std::to_string(psd::kMaxPackedRow) + " bytes");
            if (!conversion.reserve(channel.size(), "the packed channels")) return false;
            const uint64_t length = channelDataLength(channel);
            if (length > UINT32_MAX) return conversion.fail(kSectionTooLong);
            info += length;
            // The section length adds its own length field and the global mask length to it.
            if (info > UINT32_MAX - 8) return conversion.fail(kSectionTooLong);
        }
    }

    if (info + (info & 1) > UINT32_MAX - 8) return conversion.fail(kSectionTooLong);  // padded to even

    plan.merged.resize(psd::kColourChannels + alphaChannels.size());
    for (size_t c = 0; c < plan.merged.size(); ++c) {
        if (!psd::packChannel(mergedChannel(canvas, alphaChannels, c), plan.merged[c]))
            return conversion.fail("merged image: a row packs to more than " + std::to_string(psd::kMaxPackedRow) +
                                   " bytes");
        if (!conversion.reserve(plan.merged[c].size(), "the packed channels")) return false;
    }
    return true;
}

void writeHeader(BigEndianOutput& out, size_t alphaCount, const DocumentInfo& doc) {
    psd::FileHeader header{};
    std::memcpy(header.bytes + psd::FileHeader::kSignatureAt, psd::kSignature, 4);
    psd::store16(header.bytes + psd::FileHeader::kVersionAt, psd::kVersion);
    psd::store16(header.bytes + psd::FileHeader::kChannelsAt, static_cast<uint16_t>(psd::kColourChannels + alphaCount));
    psd::store32(header.bytes + psd::FileHeader::kHeightAt, static_cast<uint32_t>(doc.height));
    psd::store32(header.bytes + psd::FileHeader::kWidthAt, static_cast<uint32_t>(doc.width));
    psd::store16(header.bytes + psd::FileHeader::kDepthAt, psd::kDepth);
    psd::store16(header.bytes + psd::FileHeader::kModeAt, psd::kModeRgb);
    out.bytes(header.bytes, sizeof header.bytes);
}

void writeResourceBlock(BigEndianOutput& out, uint16_t id, const uint8_t* data, uint32_t size) {
    out.bytes(psd::kResourceSignature, 4);
    out.u16(id);
    const std::string name = psd::pascalString("", psd::kResourceNamePadding);
    out.bytes(name.data(), name.size());
    out.u32(size);
    out.bytes(data, size);
    if (size % 2 != 0) out.fill(1, 0);
}

void writeImageResources(BigEndianOutput& out, const LayerTempList& alphaChannels, const DocumentInfo& doc) {
    PatchedLength section(out);

    psd::ResolutionInfo res{};
    const uint16_t dpi = static_cast<uint16_t>(static_cast<uint32_t>(doc.resolution) & 0xFFFF);
    psd::store16(res.bytes + psd::ResolutionInfo::kHResAt, dpi);  // 16.16 fixed point, fraction 0
    psd::store16(res.bytes + psd::ResolutionInfo::kHResUnitAt, psd::kUnitPixelsPerInch);
    psd::store16(res.bytes + psd::ResolutionInfo::kWidthUnitAt, psd::kUnitCentimetres);
    psd::store16(res.bytes + psd::ResolutionInfo::kVResAt, dpi);
    psd::store16(res.bytes + psd::ResolutionInfo::kVResUnitAt, psd::kUnitPixelsPerInch);
    psd::store16(res.bytes + psd::ResolutionInfo::kHeightUnitAt, psd::kUnitCentimetres);
    writeResourceBlock(out, psd::kResourceResolution, res.bytes, sizeof res.bytes);

    if (!alphaChannels.empty()) {
        std::string names;
        for (const Layer* alpha : alphaChannels) names += psd::pascalString(alpha->name, psd::kAlphaNamePadding);
        if (names.size() % 2 != 0) names.push_back('\0');
        writeResourceBlock(out, psd::kResourceAlphaNames, reinterpret_cast<const uint8_t*>(names.data()),
                           static_cast<uint32_t>(names.size()));
    }
}

void writeLayerRecord(BigEndianOutput& out, const Layer& layer, const psd::PackedChannel* channels,
                      const std::string& name) {
    psd::LayerRect rect{};
    psd::store32(rect.bytes + psd::LayerRect::kBottomAt, static_cast<uint32_t>(layer.height));
    psd::store32(rect.bytes + psd::LayerRect::kRightAt, static_cast<uint32_t>(layer.width));
    psd::store16(rect.bytes + psd::LayerRect::kChannelCountAt, static_cast<uint16_t>(psd::kLayerChannelCount));
    out.bytes(rect.bytes, sizeof rect.bytes);

    for (size_t c = 0; c < psd::kLayerChannelCount; ++c) {
        out.u16(static_cast<uint16_t>(psd::kLayerChannels[c].id));
        out.u32(static_cast<uint32_t>(channelDataLength(channels[c])));
    }

    psd::LayerBlend blendBlock{};
    std::memcpy(blendBlock.bytes + psd::LayerBlend::kSignatureAt, psd::kResourceSignature, 4);
    std::memcpy(blendBlock.bytes + psd::LayerBlend::kKeyAt, psd::blendKeyFor(layer.blendMode), 4);
    blendBlock.bytes[psd::LayerBlend::kOpacityAt] = opacityByte(layer.opacity);
    blendBlock.bytes[psd::LayerBlend::kClippingAt] = layer.clipping != 0 ? 1 : 0;
    uint8_t flags = 0;
    if (layer.alphaLocked != 0) flags |= psd::kFlagTransparencyProtected;
    if (layer.visible == 0) flags |= psd::kFlagHidden;
    blendBlock.bytes[psd::LayerBlend::kFlagsAt] = flags;
    psd::store32(blendBlock.bytes + psd::LayerBlend::kExtraLengthAt,
                 static_cast<uint32_t>(psd::kMaskAndRangesLengthsSize + name.size()));
    out.bytes(blendBlock.bytes, sizeof blendBlock.bytes);

    out.u32(0);  // layer mask data
    out.u32(0);  // blending ranges
    out.bytes(name.data(), name.size());
}

void writeFile(BigEndianOutput& out, const LayerTempList& layers,
               const LayerTempList& alphaChannels, const DocumentInfo& doc, const Plan& plan) {
    writeHeader(out, alphaChannels.size(), doc);
    out.u32(0);  // colour mode data
    writeImageResources(out, alphaChannels, doc);

    {
        PatchedLength section(out);
        {
            PatchedLength info(out);
            out.u16(static_cast<uint16_t>(layers.size()));
            for (size_t i = 0; i < layers.size(); ++i)
                writeLayerRecord(out, *layers[i], plan.layers[i].data(), plan.names[i]);
            for (const auto& channels : plan.layers) {
                for (const psd::PackedChannel& channel : channels) {
                    out.u16(psd::kCompressionPackBits);
                    psd::writeRowCounts(out, channel);
                    psd::writePackedRows(out, channel);
                }
            }
            // Readers expect the layer info padded to even length.
            if (info.bytesSince() % 2 != 0) out.fill(1, 0);
        }
        out.u32(0);  // global layer mask information
    }

    out.u16(psd::kCompressionPackBits);
    for (const psd::PackedChannel& channel : plan.merged) psd::writeRowCounts(out, channel);
    for (const psd::PackedChannel& channel : plan.merged) psd::writePackedRows(out, channel);
}

}  // namespace

bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Conversion& conversion) {
    try {
        if (out == nullptr) return false;
        Plan plan;
        if (!makePlan(canvas, layers, alphaChannels, doc, plan, conversion)) return false;
        BigEndianOutput stream(out);
        writeFile(stream, layers, alphaChannels, doc, plan);
        return !stream.failed() || conversion.fail("the output cannot be written");
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
}

bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphaChannels,
              const DocumentInfo& doc) {
    Conversion conversion;
    return writePsd(out, canvas, layers, alphaChannels, doc, conversion);
}

bool writePsdFile(const std::string& path, const dib24& canvas, const LayerTempList& layers,
                  const LayerTempList& alphaChannels, const DocumentInfo& doc) {
    // Planned before opening, so a refused document leaves no file behind.
    Conversion conversion;
    Plan plan;
    if (!makePlan(canvas, layers, alphaChannels, doc, plan, conversion)) return false;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    BigEndianOutput stream(out);
    writeFile(stream, layers, alphaChannels, doc, plan);
    bool ok = !stream.failed();
    if (std::fclose(out) != 0) ok = false;
    return ok;
}
