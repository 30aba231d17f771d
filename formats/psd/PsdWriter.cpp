#include "formats/psd/PsdWriter.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <vector>

#include "formats/psd/Cp932.h"
#include "formats/psd/PackBits.h"
#include "formats/psd/PackedChannel.h"
#include "formats/psd/PascalString.h"
#include "formats/psd/PsdLayout.h"
#include "formats/psd/PsdOutput.h"
#include "image/Conversion.h"
#include "image/ThreadPool.h"

namespace {

using psd::BigEndianOutput;
using psd::PatchedLength;

// Additional layer information holding the name as UTF-16, which is what other programs show; the
// Pascal name holds only CP932 bytes. Bytes that are not CP932 text get none and keep their bytes.
// Older versions cut long names inside a character: the characters before that lone lead byte are
// the name other programs get.
std::string unicodeNameBlock(const std::string& name) {
    std::u16string units;
    const size_t whole = cp932::characterBoundary(name, name.size());
    if (!cp932::toUtf16(name.substr(0, whole), units)) return {};
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

// Merged channel c: red, green, blue from the bottom-up canvas (its pixels hold blue, green, red),
// then the alpha of each alpha-channel layer.
psd::ChannelSource mergedChannel(const dib24& canvas, const LayerTempList& alphaChannels, size_t c) {
    if (c >= psd::kColourChannels) {
        const int alpha = psd::pixelByteForChannel(psd::unsignedChannelId(psd::kChannelTransparency));
        psd::ChannelSource source = psd::layerChannel(*alphaChannels[c - psd::kColourChannels], alpha);
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

// Packs channels a window at a time over the pool and hands them over in order, so that only the
// window's packed bytes are held at once; each slot's storage serves channel after channel.
class ChannelPacker {
public:
    explicit ChannelPacker(ThreadPool& pool) : pool_(pool), slots_(slotCount(pool)) {}
    // A slot per thread and one more each, so that a slow channel does not idle the rest.
    static size_t slotCount(const ThreadPool& pool) { return 2 * pool.size(); }

    template <typename Take>
    void run(const std::vector<psd::ChannelSource>& sources, Take&& take) {
        for (size_t first = 0; first < sources.size(); first += slots_.size()) {
            const size_t count = std::min(slots_.size(), sources.size() - first);
            // The plan has made sure every row fits its count.
            pool_.forEach(count, [&](size_t i) {
                psd::reserveWorst(sources[first + i], slots_[i]);
                psd::packChannel(sources[first + i], slots_[i]);
            });
            for (size_t i = 0; i < count; ++i) take(slots_[i]);
        }
    }

private:
    ThreadPool& pool_;
    std::vector<psd::PackedChannel> slots_;
};

// Everything about the file that must be known before its first byte: that every row packs short
// enough for its 16-bit count, and that the layer section's 32-bit lengths can hold it all. Working
// it out first lets an unrepresentable document be refused while the output is still untouched.
// When even the longest packing fits, nothing is packed to know it.
struct Plan {
    std::vector<std::string> names;  // per layer: padded Pascal name, then its Unicode name block
    std::vector<psd::ChannelSource> mergedChannels;
};

constexpr char kSectionTooLong[] = "the layers take more than the 4 GiB a PSD layer section can hold";

// Bytes of a layer channel's data: the compression code, then its row counts and rows.
uint64_t channelDataLength(uint64_t packedSize) { return 2 + packedSize; }

std::string rowTooLong(const std::string& where) {
    return where + ": a row packs to more than " + std::to_string(psd::kMaxPackedRow) + " bytes";
}

// The layer section's checks on the channels' sizes: the layers' exact ones, then the merged image's
// worst or exact ones; the first failure's reason when `conversion` is given, else only whether
// they pass.
bool sectionFits(const Plan& plan, const LayerPacker& packed, const std::vector<uint64_t>& mergedSizes,
                 const std::vector<char>& mergedRowsFit, Conversion* conversion) {
    auto fail = [&](const std::string& why) { return conversion != nullptr && conversion->fail(why); };
    uint64_t info = 2;  // the layer count
    for (size_t i = 0; i < plan.names.size(); ++i) {
        info += psd::LayerRect::kSize + psd::kLayerChannelCount * psd::kChannelEntrySize + psd::LayerBlend::kSize +
                psd::kMaskAndRangesLengthsSize + plan.names[i].size();
        const LayerPacker::Channels& channels = packed.channels(i);
        for (size_t c = 0; c < psd::kLayerChannelCount; ++c) {
            if (!channels.rowsFit[c]) return fail(rowTooLong("layer " + std::to_string(i + 1)));
            const uint64_t length = channelDataLength(channels.channel[c].size());
            if (length > UINT32_MAX) return fail(kSectionTooLong);
            info += length;
            // The section length adds its own length field and the global mask length to it.
            if (info > UINT32_MAX - 8) return fail(kSectionTooLong);
        }
    }
    if (info + (info & 1) > UINT32_MAX - 8) return fail(kSectionTooLong);  // padded to even
    for (size_t k = 0; k < mergedSizes.size(); ++k) {
        if (!mergedRowsFit[k]) return fail(rowTooLong("merged image"));
    }
    return true;
}

bool makePlan(const dib24& canvas, const LayerPacker& packed, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Plan& plan, Conversion& conversion) {
    const LayerTempList& layers = packed.layers();
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
    if (!packed.failure().empty()) return conversion.fail(packed.failure());
    for (const Layer* alpha : alphaChannels) {
        if (alpha == nullptr || !psd::pixelsCover(*alpha, canvas.width, canvas.height))
            return conversion.fail("an alpha channel's pixels do not cover the canvas");
    }

    plan.names.resize(layers.size());
    for (size_t i = 0; i < layers.size(); ++i)
        plan.names[i] = psd::pascalString(layers[i]->name, psd::kLayerNamePadding) + unicodeNameBlock(layers[i]->name);
    for (size_t c = 0; c < psd::kColourChannels + alphaChannels.size(); ++c)
        plan.mergedChannels.push_back(mergedChannel(canvas, alphaChannels, c));

    const size_t count = plan.mergedChannels.size();
    std::vector<uint64_t> sizes(count);
    std::vector<char> rowsFit(count);
    uint64_t largest = 0;
    for (size_t k = 0; k < count; ++k) {
        sizes[k] = psd::worstPackedSize(plan.mergedChannels[k]);
        rowsFit[k] = packBitsMaxLength(plan.mergedChannels[k].width) <= psd::kMaxPackedRow;
        largest = std::max(largest, sizes[k]);
    }
    if (!sectionFits(plan, packed, sizes, rowsFit, nullptr)) {
        // Only a document near the format's limits gets here: its rows are packed once to measure them.
        conversion.pool().forEach(count, [&](size_t k) { rowsFit[k] = psd::measureChannel(plan.mergedChannels[k], sizes[k]); });
        if (!sectionFits(plan, packed, sizes, rowsFit, &conversion)) return false;
    }
    const uint64_t slots = ChannelPacker::slotCount(conversion.pool());
    return conversion.reserve(largest > UINT64_MAX / slots ? UINT64_MAX : largest * slots,
                              "the packed channels in flight");
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

// A layer's channel entries: each channel's id and the length of its data.
void writeChannelEntries(BigEndianOutput& out, const uint64_t* lengths) {
    for (size_t c = 0; c < psd::kLayerChannelCount; ++c) {
        out.u16(static_cast<uint16_t>(psd::kLayerChannels[c].id));
        out.u32(static_cast<uint32_t>(lengths[c]));
    }
}

// The record with its channel lengths left 0; entriesAt receives where they are, to patch them once
// the channels are written.
void writeLayerRecord(BigEndianOutput& out, const Layer& layer, const std::string& name, int64_t& entriesAt) {
    psd::LayerRect rect{};
    psd::store32(rect.bytes + psd::LayerRect::kBottomAt, static_cast<uint32_t>(layer.height));
    psd::store32(rect.bytes + psd::LayerRect::kRightAt, static_cast<uint32_t>(layer.width));
    psd::store16(rect.bytes + psd::LayerRect::kChannelCountAt, static_cast<uint16_t>(psd::kLayerChannelCount));
    out.bytes(rect.bytes, sizeof rect.bytes);

    entriesAt = out.position();
    const uint64_t unknown[psd::kLayerChannelCount] = {};
    writeChannelEntries(out, unknown);

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

void writeFile(BigEndianOutput& out, const LayerPacker& packed, const LayerTempList& alphaChannels,
               const DocumentInfo& doc, const Plan& plan, ChannelPacker& packer) {
    const LayerTempList& layers = packed.layers();
    writeHeader(out, alphaChannels.size(), doc);
    out.u32(0);  // colour mode data
    writeImageResources(out, alphaChannels, doc);

    {
        PatchedLength section(out);
        {
            PatchedLength info(out);
            out.u16(static_cast<uint16_t>(layers.size()));
            std::vector<int64_t> entriesAt(layers.size());
            for (size_t i = 0; i < layers.size(); ++i) writeLayerRecord(out, *layers[i], plan.names[i], entriesAt[i]);
            std::vector<uint64_t> lengths;
            lengths.reserve(layers.size() * psd::kLayerChannelCount);
            for (size_t i = 0; i < layers.size(); ++i) {
                for (const psd::PackedChannel& channel : packed.channels(i).channel) {
                    out.u16(psd::kCompressionPackBits);
                    psd::writeRowCounts(out, channel);
                    psd::writePackedRows(out, channel);
                    lengths.push_back(channelDataLength(channel.size()));
                }
            }
            const int64_t end = out.position();
            for (size_t i = 0; i < layers.size(); ++i) {
                out.seek(entriesAt[i]);
                writeChannelEntries(out, lengths.data() + i * psd::kLayerChannelCount);
            }
            out.seek(end);
            // Readers expect the layer info padded to even length.
            if (info.bytesSince() % 2 != 0) out.fill(1, 0);
        }
        out.u32(0);  // global layer mask information
    }

    // Every merged channel's row counts come before the first channel's rows: their table is
    // written once the rows are.
    out.u16(psd::kCompressionPackBits);
    const int64_t countsAt = out.position();
    uint64_t rows = 0;
    for (const psd::ChannelSource& channel : plan.mergedChannels) rows += static_cast<uint64_t>(channel.height);
    out.fill(2 * rows, 0);
    psd::PackedChannel counts;
    packer.run(plan.mergedChannels, [&](const psd::PackedChannel& channel) {
        counts.rowCounts.insert(counts.rowCounts.end(), channel.rowCounts.begin(), channel.rowCounts.end());
        psd::writePackedRows(out, channel);
    });
    const int64_t end = out.position();
    out.seek(countsAt);
    psd::writeRowCounts(out, counts);
    out.seek(end);
}

// Plans the file, then writes it to the stream opened only then: a refused document leaves no file.
bool writeGuarded(const std::function<std::FILE*()>& open, const dib24& canvas, const LayerPacker& packed,
                  const LayerTempList& alphaChannels, const DocumentInfo& doc, Conversion& conversion) {
    try {
        Plan plan;
        if (!makePlan(canvas, packed, alphaChannels, doc, plan, conversion)) return false;
        std::FILE* out = open();
        if (out == nullptr) return conversion.fail("the output cannot be opened");
        ChannelPacker packer(conversion.pool());
        BigEndianOutput stream(out);
        writeFile(stream, packed, alphaChannels, doc, plan, packer);
        return !stream.failed() || conversion.fail("the output cannot be written");
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
}

// Packs the layers as the WLX reader's stage would, for a caller that holds them all.
bool packLayers(const LayerTempList& layers, const DocumentInfo& doc, LayerPacker& packed, Conversion& conversion) {
    if (std::find(layers.begin(), layers.end(), nullptr) != layers.end())
        return conversion.fail("a layer's pixels do not cover it");
    try {
        packed.begin(doc, layers.size());
        for (Layer* layer : layers) packed.layerRead(layer);
        packed.finish();
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
    return true;
}

}  // namespace

bool writePsd(std::FILE* out, const dib24& canvas, const LayerPacker& packed, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Conversion& conversion) {
    if (out == nullptr) return false;
    return writeGuarded([out] { return out; }, canvas, packed, alphaChannels, doc, conversion);
}

bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Conversion& conversion) {
    if (out == nullptr) return false;
    LayerPacker packed(conversion);
    return packLayers(layers, doc, packed, conversion) && writePsd(out, canvas, packed, alphaChannels, doc, conversion);
}

bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphaChannels,
              const DocumentInfo& doc) {
    Conversion conversion;
    return writePsd(out, canvas, layers, alphaChannels, doc, conversion);
}

bool writePsdFile(const std::string& path, const dib24& canvas, const LayerTempList& layers,
                  const LayerTempList& alphaChannels, const DocumentInfo& doc) {
    Conversion conversion;
    LayerPacker packed(conversion);
    if (!packLayers(layers, doc, packed, conversion)) return false;
    std::FILE* out = nullptr;
    bool ok = writeGuarded([&] { return out = std::fopen(path.c_str(), "wb"); }, canvas, packed, alphaChannels, doc,
                           conversion);
    if (out != nullptr && std::fclose(out) != 0) ok = false;
    return ok;
}
