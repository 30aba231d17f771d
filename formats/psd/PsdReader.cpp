#include "formats/psd/PsdReader.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "formats/psd/Cp932.h"
#include "formats/psd/ChannelDecoder.h"
#include "formats/psd/ConvertedRows.h"
#include "formats/psd/LayerBaking.h"
#include "formats/psd/MaskRecord.h"
#include "formats/psd/PascalString.h"
#include "formats/psd/PixelConversion.h"
#include "formats/psd/PsdLayerInfo.h"
#include "formats/psd/PsdLayout.h"
#include "formats/psd/Uncarried.h"
#include "formats/psd/VectorMask.h"
#include "image/Conversion.h"
#include "image/ThreadPool.h"

namespace {

// Names given where the file has none, as code page 932 bytes.
constexpr char kBackgroundName[] = "\x94\x77\x8c\x69";                 // "背景"
constexpr char kLayerName[] = "\x83\x8c\x83\x43\x83\x84\x81\x5b";       // "レイヤー"
constexpr char kAlphaChannelName[] =                                     // "アルファチャンネル"
    "\x83\x41\x83\x8b\x83\x74\x83\x40\x83\x60\x83\x83\x83\x93\x83\x6c\x83\x8b";

constexpr uint32_t kTransparencyId = psd::unsignedChannelId(psd::kChannelTransparency);
constexpr int kAlphaByte = psd::pixelByteForChannel(kTransparencyId);

using psd::AlphaRows;
using psd::ColourRows;
using psd::product;

constexpr uint16_t kResourceIccProfile = 1039;
constexpr uint16_t kResourceTransparentIndex = 1047;
constexpr size_t kPaletteBytes = 768;

// The name of a Unicode name block, as CP932; none when the block is malformed. The record's own
// bytes are kept when they spell the same text: they may use one of the codes CP932 has twice for a
// character.
std::optional<std::string> unicodeName(const uint8_t* data, uint64_t size, const std::string& pascal) {
    if (size < 4) return std::nullopt;
    const uint64_t count = psd::load32(data);
    if (count > (size - 4) / 2) return std::nullopt;
    std::u16string units(static_cast<size_t>(count), u'\0');
    for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(psd::load16(data + 4 + 2 * i));
    std::u16string own;
    if (cp932::toUtf16(pascal, own) && own == units) return pascal;
    return cp932::fromUtf16(units);
}

class Reader {
public:
    Reader(std::FILE* file, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink)
        : in_(file), doc_(doc), conversion_(conversion), sink_(sink) {}
    // The batch goes with the reader, and its room back to the budget.
    ~Reader() { conversion_.budget().release(batchReserved_ + heldReserved_ + planesHeld_); }

    bool read() {
        if (!readAll()) return false;
        if (const std::string note = uncarried_.note(); !note.empty()) conversion_.note(note);
        return true;
    }

private:
    bool readAll() {
        if (!in_.sized()) return fail("the file's size cannot be told");
        if (!readHeader()) return false;
        if (!readColourModeData() || !readResources() || !prepareConverter()) return false;
        bool hasLayerSection = false;
        if (!readLayerSection(hasLayerSection)) return false;
        if (!hasLayerSection && !reserveDocument(0)) return false;
        if (layersRead_ != 0 && channelCount_ == converter_.modeChannels()) return true;
        return readMergedImage();
    }

    static constexpr char kCutShort[] = "the record runs past the end of the file";

    bool fail(const std::string& reason) { return conversion_.fail(reason); }
    bool failHere(const std::string& reason) { return fail(where_.empty() ? reason : where_ + ": " + reason); }
    bool problem(const std::string& text) {
        problem_ = text;
        return false;
    }
    static std::string unsupportedCompression(uint16_t method) {
        return "compression method " + std::to_string(method) + " is not supported";
    }

    bool readHeader() {
        psd::FileHeader header;
        if (!in_.read(header.bytes, sizeof header.bytes)) return fail("the file is shorter than a PSD header");
        if (std::memcmp(header.bytes + psd::FileHeader::kSignatureAt, psd::kSignature, 4) != 0)
            return fail("not a PSD file: no 8BPS signature");
        version_ = psd::load16(header.bytes + psd::FileHeader::kVersionAt);
        if (version_ != psd::kVersion && version_ != psd::kVersionLarge)
            return fail("PSD version " + std::to_string(version_) + " is not supported");
        widths_ = psd::fieldWidths(version_);
        // Mode and depth are judged once the palette and profile they may need are read.
        depth_ = psd::load16(header.bytes + psd::FileHeader::kDepthAt);
        mode_ = psd::load16(header.bytes + psd::FileHeader::kModeAt);
        channelCount_ = psd::load16(header.bytes + psd::FileHeader::kChannelsAt);
        converts_ = !(mode_ == psd::kModeRgb && depth_ == psd::kDepth);
        const uint32_t height = psd::load32(header.bytes + psd::FileHeader::kHeightAt);
        const uint32_t width = psd::load32(header.bytes + psd::FileHeader::kWidthAt);
        // Layers hold their size as signed 32-bit values.
        if (width > INT32_MAX || height > INT32_MAX)
            return fail("a size of " + std::to_string(width) + " x " + std::to_string(height) + " is too large");
        doc_.width = static_cast<int32_t>(width);
        doc_.height = static_cast<int32_t>(height);
        doc_.resolution = 72;
        return true;
    }

    // An indexed document's palette is its first 768 bytes; the rest is not needed.
    bool readColourModeData() {
        uint32_t length = 0;
        if (!in_.readBe32(length) || length == 0) return true;
        modeData_.resize(std::min<size_t>(length, kPaletteBytes));
        if (!in_.read(modeData_.data(), modeData_.size())) {
            modeData_.clear();
            return false;
        }
        return in_.skip(length - modeData_.size());
    }

    bool prepareConverter() {
        psd::ColourSource source;
        source.mode = mode_;
        source.depth = depth_;
        source.channels = channelCount_;
        source.modeData = modeData_.data();
        source.modeDataSize = modeData_.size();
        source.transparentIndex = transparentIndex_;
        source.iccProfile = iccProfile_.data();
        source.iccProfileSize = iccProfile_.size();
        std::string problem;
        if (!converter_.prepare(source, problem)) return fail(problem);
        if (converter_.note() != nullptr) conversion_.note(converter_.note());
        return true;
    }

    bool readResources() {
        uint32_t length = 0;
        if (!in_.readBe32(length) || length == 0) return true;
        if (!in_.fits(length)) return fail("the image resources run past the end of the file");
        std::vector<uint8_t> section(length, 0);
        if (!in_.read(section.data(), section.size())) return fail("the image resources cannot be read");
        walkResources(section);
        return true;
    }

    // A block whose head, name or data does not fit in the section ends the walk; what was read stays.
    void walkResources(const std::vector<uint8_t>& section) {
        ByteInput blocks(section.data(), section.size());
        while (blocks.remaining() != 0) {
            // signature, ID, Pascal name, data size, data padded to even
            uint8_t signature[4];
            uint16_t id = 0;
            std::string name;
            uint32_t dataSize = 0;
            if (!blocks.read(signature, sizeof signature) || !blocks.readBe16(id) ||
                !psd::readPascalString(blocks, psd::kResourceNamePadding, name) || !blocks.readBe32(dataSize) ||
                !blocks.fits(dataSize))
                return;
            const uint8_t* data = section.data() + blocks.position();
            if (id == psd::kResourceResolution && dataSize >= 4) {
                const double fixed = psd::load32(data + psd::ResolutionInfo::kHResAt);
                doc_.resolution = static_cast<int32_t>(fixed / 65536.0 + 0.5);
            } else if (id == psd::kResourceAlphaNames) {
                readAlphaNames(data, dataSize);
            } else if (id == kResourceIccProfile) {
                iccProfile_.assign(data, data + dataSize);
            } else if (id == kResourceTransparentIndex && dataSize >= 2) {
                transparentIndex_ = psd::load16(data);
            }
            blocks.skip(uint64_t{dataSize} + (dataSize & 1u));
        }
    }

    void readAlphaNames(const uint8_t* data, uint64_t size) {
        ByteInput names(data, static_cast<size_t>(size));
        std::string name;
        while (names.remaining() != 0 && psd::readPascalString(names, psd::kAlphaNamePadding, name))
            alphaNames_.push_back(name);
    }

    // The merged image's alpha channels: its channels past the colours and its transparency.
    size_t alphaCount() const {
        const size_t extra = channelCount_ - converter_.modeChannels();
        return mergedTransparency_ ? (extra > 0 ? extra - 1 : 0) : extra;
    }

    // The sink must know what it will hold before the first layer is made; a file without layers
    // gets its background from the merged image.
    bool reserveDocument(uint64_t layerCount) {
        return sink_.begin(doc_, layerCount == 0 ? 1 : static_cast<size_t>(layerCount), alphaCount());
    }

    bool readLayerSection(bool& hasLayerSection) {
        uint64_t sectionLength = 0;
        if (!psd::readBeSized(in_, widths_.sectionLength, sectionLength) || sectionLength == 0) return true;
        hasLayerSection = true;
        const uint64_t sectionStart = in_.position();
        uint64_t layerInfoLength = 0;
        uint16_t rawCount = 0;
        if (!psd::readBeSized(in_, widths_.sectionLength, layerInfoLength) || !in_.readBe16(rawCount))
            return fail("the layer section ends early");
        // A deep document may keep its layers in a block after the global mask information instead.
        if (rawCount == 0 && depth_ > psd::kDepth) findDeepLayers(sectionStart, sectionLength, layerInfoLength, rawCount);
        int32_t count = static_cast<int16_t>(rawCount);
        if (count < 0) {
            count = -count;
            mergedTransparency_ = true;
        }
        if (!reserveDocument(static_cast<uint64_t>(count))) return false;

        PSDLayerInfoList infos;
        for (int32_t i = 0; i < count; ++i) {
            where_ = "layer record " + std::to_string(i + 1);
            if (!readLayerRecord(infos)) return false;
        }
        applyGroups(infos);
        sizeBatch(infos);
        // Where each record's channel data starts: a group's mask is read before its content.
        std::vector<uint64_t> dataAt(infos.size() + 1, in_.position());
        for (size_t i = 0; i < infos.size(); ++i)
            dataAt[i + 1] = dataAt[i] + std::min(storedBytes(*infos[i]), UINT64_MAX - dataAt[i]);
        for (size_t i = 0; i < infos.size(); ++i) {
            where_ = "layer " + std::to_string(i + 1);
            const PSDLayerInfo& info = *infos[i];
            const bool matched = info.pairedWith >= 0;
            if (info.section == Section::Divider && matched) {
                const size_t folder = static_cast<size_t>(info.pairedWith);
                if (!openGroup(*infos[folder], dataAt[folder], clippedAt(infos, folder + 1))) return false;
            } else if (info.section != Section::Layer && !matched) {
                dropBase();
            }
            if (!readLayer(info, clippedAt(infos, i + 1))) return false;
            if (info.section != Section::Layer && info.section != Section::Divider && matched) closeGroup(info);
        }
        where_.clear();
        if (!in_.seek(sectionStart + std::min(sectionLength, UINT64_MAX - sectionStart)))
            return fail("the layer section cannot be passed");
        infos.clear();
        return true;
    }

    // Looks among the blocks after the layer information for Lr16 or Lr32, which hold the layer
    // information of a 16- or 32-bit document; when there, the reader is left at its records and
    // count is theirs. Otherwise the reader is left where it was.
    void findDeepLayers(uint64_t sectionStart, uint64_t sectionLength, uint64_t layerInfoLength, uint16_t& count) {
        const uint64_t resume = in_.position();
        const uint64_t end = sectionStart + std::min(sectionLength, UINT64_MAX - sectionStart);
        uint64_t at = sectionStart + widths_.sectionLength;
        uint32_t maskLength = 0;
        if (layerInfoLength <= end - std::min(end, at) && in_.seek(at + layerInfoLength) && in_.readBe32(maskLength) &&
            in_.skip(maskLength)) {
            for (;;) {
                psd::InfoBlockHead head;
                at = in_.position();
                if (at >= end || end - at < sizeof head.bytes || !in_.read(head.bytes, psd::InfoBlockHead::kLengthAt)) break;
                const uint8_t* key = head.bytes + psd::InfoBlockHead::kKeyAt;
                uint64_t length = 0;
                if (!psd::readBeSized(in_, psd::infoBlockLengthSize(version_, key), length)) break;
                const uint64_t dataAt = in_.position();
                if (length > end - std::min(end, dataAt)) break;
                if ((std::memcmp(key, "Lr16", 4) == 0 || std::memcmp(key, "Lr32", 4) == 0) && length >= 2) {
                    if (in_.readBe16(count)) return;
                    break;
                }
                // Blocks here are padded to 4 bytes.
                if (!in_.seek(dataAt + (length + 3) / 4 * 4)) break;
            }
        }
        count = 0;
        in_.seek(resume);
    }

    bool readLayerRecord(PSDLayerInfoList& infos) {
        psd::LayerRect rect;
        if (!in_.read(rect.bytes, sizeof rect.bytes)) return failHere(kCutShort);
        const uint16_t channels = psd::load16(rect.bytes + psd::LayerRect::kChannelCountAt);
        if (!in_.fits(product(channels, widths_.channelEntry())))
            return failHere(std::to_string(channels) + " channel entries run past the end of the file");
        // Held until the list has it, so running out of memory in push_back leaks nothing.
        auto owned = std::make_unique<PSDLayerInfo>(channels);
        infos.push_back(owned.get());
        PSDLayerInfo* info = owned.release();
        info->rect = rect;
        for (uint16_t c = 0; c < channels; ++c) {
            uint16_t id = 0;
            uint64_t length = 0;
            if (!in_.readBe16(id) || !psd::readBeSized(in_, widths_.channelLength, length)) return failHere(kCutShort);
            info->channelIds[c] = id;
            // Signed, as each version's field is: a negative length holds no data.
            info->channelLengths[c] = version_ == psd::kVersionLarge ? static_cast<int64_t>(length)
                                                                     : static_cast<int32_t>(static_cast<uint32_t>(length));
            if (id == kTransparencyId) info->hasTransparency = 1;
        }
        if (!in_.read(info->blend.bytes, sizeof info->blend.bytes)) return failHere(kCutShort);
        const uint64_t extraStart = in_.position();

        uint32_t maskLength = 0;
        uint32_t rangesLength = 0;
        if (!in_.readBe32(maskLength) || !in_.fits(maskLength))
            return failHere("the layer mask data runs past the end of the file");
        std::vector<uint8_t> mask(std::min<size_t>(maskLength, psd::kMaskDataRead));
        if (!in_.read(mask.data(), mask.size()) || !in_.skip(maskLength - mask.size()))
            return failHere("the layer mask data cannot be read");
        psd::chooseMask(*info, mask);
        // The ranges of the composite and of each channel: a few dozen bytes in any real file.
        if (!in_.readBe32(rangesLength) || !in_.fits(rangesLength))
            return failHere("the blending ranges run past the end of the file");
        std::vector<uint8_t> ranges(std::min<size_t>(rangesLength, 1024));
        if (!in_.read(ranges.data(), ranges.size()) || !in_.skip(rangesLength - ranges.size()))
            return failHere("the blending ranges cannot be read");

        if (!psd::readPascalString(in_, psd::kLayerNamePadding, info->name))
            return failHere("the name runs past the end of the file");

        const uint64_t extraEnd = extraStart + info->extraLength();
        if (!readAdditionalInfo(*info, extraEnd))
            return failHere("the additional layer information cannot be read");
        uncarried_.record(*info, ranges.data(), ranges.size());
        return in_.seek(extraEnd) || failHere("the extra data cannot be passed");
    }

    // Additional layer information blocks, up to the end of the extra data. A block that does not fit
    // there, or one without a known signature, ends the walk.
    bool readAdditionalInfo(PSDLayerInfo& info, uint64_t extraEnd) {
        for (;;) {
            const uint64_t at = in_.position();
            psd::InfoBlockHead head;
            if (at > extraEnd || extraEnd - at < sizeof head.bytes || !in_.fits(sizeof head.bytes)) return true;
            if (!in_.read(head.bytes, psd::InfoBlockHead::kLengthAt)) return false;
            const uint8_t* signature = head.bytes + psd::InfoBlockHead::kSignatureAt;
            if (std::memcmp(signature, psd::kResourceSignature, 4) != 0 && std::memcmp(signature, psd::kSignatureLong, 4) != 0)
                return true;
            const uint8_t* key = head.bytes + psd::InfoBlockHead::kKeyAt;
            const size_t headSize = psd::InfoBlockHead::kLengthAt + psd::infoBlockLengthSize(version_, key);
            uint64_t length = 0;
            if (extraEnd - at < headSize || !psd::readBeSized(in_, headSize - psd::InfoBlockHead::kLengthAt, length))
                return true;
            if (length > extraEnd - at - headSize || !in_.fits(length)) return true;
            if (std::memcmp(key, psd::kKeyUnicodeName, 4) == 0) {
                std::vector<uint8_t> data(static_cast<size_t>(length));
                if (!in_.read(data.data(), data.size())) return false;
                if (auto name = unicodeName(data.data(), data.size(), info.name)) info.name = std::move(*name);
            } else if ((std::memcmp(key, psd::kKeySection, 4) == 0 || std::memcmp(key, psd::kKeySectionNested, 4) == 0) &&
                       length >= 4) {
                std::vector<uint8_t> data(static_cast<size_t>(std::min<uint64_t>(length, 16)));
                if (!in_.read(data.data(), data.size()) || !in_.skip(length - data.size())) return false;
                const uint32_t type = psd::load32(data.data());
                if (type >= 1 && type <= 3) info.section = static_cast<Section>(type);
                uncarried_.block(key, data.data(), data.size());
            } else if ((std::memcmp(key, psd::kKeyFillOpacity, 4) == 0 || std::memcmp(key, psd::kKeyBlendClipped, 4) == 0) &&
                       length >= 1) {
                uint8_t value = 0;
                if (!in_.read(&value, 1) || !in_.skip(length - 1)) return false;
                if (key[0] == 'i') info.fillOpacity = value;
                else info.blendsClipped = value != 0;
            } else if ((std::memcmp(key, psd::kKeyVectorMask, 4) == 0 || std::memcmp(key, psd::kKeyVectorMaskShape, 4) == 0) &&
                       info.vectorMask.empty()) {
                // Its size was checked against the file above; it is held until its layer is baked.
                if (!conversion_.budget().reserve(length)) return failHere(conversion_.overBudget(length, "its vector mask"));
                info.vectorMask.resize(static_cast<size_t>(length));
                if (!in_.read(info.vectorMask.data(), info.vectorMask.size())) return false;
            } else {
                // Solid, gradient and pattern fills, and a shape's fill content.
                for (const char* fill : {"SoCo", "GdFl", "PtFl", "vscg"}) {
                    if (std::memcmp(key, fill, 4) == 0) info.fillLayer = true;
                }
                if (std::memcmp(key, "SoCo", 4) == 0) info.solidFill = true;
                if (Uncarried::wants(key)) {
                    std::vector<uint8_t> data(static_cast<size_t>(length));
                    if (!in_.read(data.data(), data.size())) return false;
                    uncarried_.block(key, data.data(), data.size());
                } else if (!in_.skip(length)) {
                    return false;
                }
            }
        }
    }

    // Groups hold the records between a divider (below) and its folder record (above). Walking up
    // from the bottom, each divider waits for a folder and each folder takes the nearest waiting
    // divider; a divider that no folder takes, and a folder that finds none waiting, closes nothing
    // and shapes no layer. Walking down from the top, each matched folder then opens its group.
    static void applyGroups(PSDLayerInfoList& infos) {
        std::vector<bool> matched(infos.size(), false);
        std::vector<size_t> waiting;  // dividers, the nearest last
        for (size_t i = 0; i < infos.size(); ++i) {
            if (infos[i]->section == Section::Divider) {
                waiting.push_back(i);
            } else if (infos[i]->section != Section::Layer && !waiting.empty()) {
                matched[i] = true;
                infos[i]->pairedWith = static_cast<int64_t>(waiting.back());
                infos[waiting.back()]->pairedWith = static_cast<int64_t>(i);
                waiting.pop_back();
            }
        }
        std::vector<const PSDLayerInfo*> open;  // innermost last
        for (size_t i = infos.size(); i-- > 0;) {
            PSDLayerInfo& info = *infos[i];
            if (info.section == Section::Divider) {
                if (!open.empty()) open.pop_back();
                continue;
            }
            for (auto g = open.rbegin(); g != open.rend(); ++g) {
                if ((*g)->flags() & psd::kFlagHidden) info.hiddenByGroup = true;
                info.groupOpacities.push_back(psd::bake::scaled((*g)->opacity(), (*g)->fillOpacity));
            }
            if (matched[i]) open.push_back(&info);
        }
    }

    // The product of a group's masks and those of the groups around it, or none, for the layers
    // inside it. The folder record's mask data lies after its content: it is read now, at dataAt,
    // and the reader comes back. A mask that does not read or draw is left out, as the group's own
    // channel data is never read otherwise; only the memory for it can fail the read.
    //
    // A group clipped to the base below it takes the base's alpha into that product, and its opacity
    // and visibility into its layers'; the base stays for what is clipped above the group. A group
    // that is itself the base of what lies above it gathers the alpha its layers cover.
    bool openGroup(const PSDLayerInfo& folder, uint64_t dataAt, bool isBase) {
        const uint8_t* outer = groups_.empty() ? nullptr : groups_.back().product;
        Group group;
        group.product = outer;
        if (folder.clipping() != 0 && base_.valid) {
            group.clippedTo = std::move(base_);
            base_ = Base{};
            group.clipped = true;
        } else {
            dropBase();
        }
        if (isBase) {
            if (!bakingPlane(group.covered, "a group's transparency")) return false;
            std::fill(group.covered.begin(), group.covered.end(), 0);
        }
        const bool hasVector = !folder.vectorMask.empty();
        if (folder.maskChannel != 0 || hasVector || group.clipped) {
            if (!bakingPlane(group.plane, "a group's mask")) return false;
            std::fill(group.plane.begin(), group.plane.end(), 255);
            const uint64_t resume = in_.position();
            if (folder.maskChannel != 0) {
                std::fill(group.plane.begin(), group.plane.end(), folder.mask.defaultColour);
                if (!readGroupMask(folder, dataAt, group.plane.data()))
                    std::fill(group.plane.begin(), group.plane.end(), 255);
            }
            in_.seek(resume);
            if (!shapeMasks(folder, folder.maskChannel != 0 ? group.plane.data() : nullptr, group.plane.data()))
                return false;
            if (group.clipped)
                psd::bake::multiply(group.plane.data(), group.clippedTo.alpha.data(), group.plane.size());
            if (outer != nullptr) psd::bake::multiply(group.plane.data(), outer, group.plane.size());
            group.product = group.plane.data();
        }
        groups_.push_back(std::move(group));
        return true;
    }

    // After the folder record: the base for what is clipped above the group.
    void closeGroup(const PSDLayerInfo& folder) {
        if (groups_.empty()) return;
        Group& group = groups_.back();
        dropPlane(group.plane);
        dropPlane(base_.alpha);
        dropBase();
        if (group.clipped) {
            base_ = std::move(group.clippedTo);
        } else if (!group.covered.empty()) {
            base_.alpha = std::move(group.covered);
            base_.valid = true;
            base_.opacity = folder.opacity();
            base_.hidden = (folder.flags() & psd::kFlagHidden) || folder.hiddenByGroup;
            base_.mode = psd::blendModeForKey(folder.blendKey());
            base_.blendsClipped = folder.blendsClipped;
        }
        dropPlane(group.clippedTo.alpha);
        dropPlane(group.covered);
        groups_.pop_back();
    }

    // Whether record k is clipped: a clipped layer, or a group whose folder record is clipped.
    static bool clippedAt(const PSDLayerInfoList& infos, size_t k) {
        if (k >= infos.size()) return false;
        const PSDLayerInfo& info = *infos[k];
        if (info.section == Section::Layer) return info.clipping() != 0;
        return info.section == Section::Divider && info.pairedWith >= 0 &&
               infos[static_cast<size_t>(info.pairedWith)]->clipping() != 0;
    }

    void dropPlane(std::vector<uint8_t>& plane) {
        conversion_.budget().release(plane.size());
        planesHeld_ -= plane.size();
        std::vector<uint8_t>().swap(plane);
    }

    // No base any more; its plane is kept for the next one.
    void dropBase() { base_.valid = false; }

    // Decodes a folder record's user mask channel into plane; false when it does not decode.
    bool readGroupMask(const PSDLayerInfo& folder, uint64_t at, uint8_t* plane) {
        const Area maskArea{folder.mask.top, folder.mask.left, folder.mask.bottom, folder.mask.right};
        for (uint16_t c = 0; c < folder.channelCount; ++c) {
            const int64_t length = folder.channelLengths[c];
            if (length < 1) continue;
            if (static_cast<uint32_t>(folder.channelIds[c]) == static_cast<uint32_t>(folder.maskChannel)) {
                if (!in_.seek(at)) return false;
                const size_t queued = queue_.size();
                const bool ok = queueChannel(converts_ ? nullptr : plane, 1, doc_.width, doc_.height, maskArea,
                                             static_cast<uint32_t>(folder.maskChannel), static_cast<uint64_t>(length));
                if (ok && converts_ && queue_.size() != queued)
                    queue_.back().receiver = &alphaRows_.emplace_back(
                        converter_, psd::ChannelTarget{plane, 1, doc_.width, doc_.height, maskArea.top, maskArea.left},
                        maskArea.columns());
                return unpackQueued(false) && ok;
            }
            at += static_cast<uint64_t>(length);
        }
        return true;
    }

    uint64_t planeBytes() const { return product(static_cast<uint64_t>(doc_.width), static_cast<uint64_t>(doc_.height)); }

    // A document-sized plane for the baking, reserved the first time.
    bool bakingPlane(std::vector<uint8_t>& plane, const char* what) {
        if (plane.empty()) {
            const uint64_t size = planeBytes();
            if (!conversion_.reserve(size, what)) return false;
            planesHeld_ += size;
            plane.resize(static_cast<size_t>(size));
        }
        return true;
    }

    // The record's user mask (in user, already decoded, or none) shaped by its feather and density,
    // times its vector mask shaped by its own: into result, which is user when there is one. A
    // record without either leaves result alone.
    bool shapeMasks(const PSDLayerInfo& info, uint8_t* user, uint8_t* result) {
        const size_t count = static_cast<size_t>(planeBytes());
        if (user != nullptr) {
            psd::bake::feather(user, doc_.width, doc_.height, info.userShaping.feather);
            psd::bake::applyDensity(user, count, info.userShaping.density);
        }
        vectorDrawn_ = false;
        psd::VectorMask path;
        if (info.vectorMask.empty() || (info.fillLayer && !redrawsFill(info)) ||
            !psd::readVectorMask(info.vectorMask.data(), info.vectorMask.size(), doc_.width, doc_.height, path) ||
            (path.flags & psd::kVectorMaskDisabled))
            return true;
        if (!bakingPlane(vectorPlane_, "the vector mask") || !bakingPlane(vectorScratch_, "the vector mask"))
            return false;
        // Past the rasteriser's caps the vector mask is left out.
        if (!psd::bake::drawVectorMask(path, doc_.width, doc_.height, vectorPlane_.data(), vectorScratch_.data()))
            return true;
        psd::bake::feather(vectorPlane_.data(), doc_.width, doc_.height, info.vectorShaping.feather);
        psd::bake::applyDensity(vectorPlane_.data(), count, info.vectorShaping.density);
        vectorDrawn_ = true;
        // A user mask rendered from the vector mask is that mask again, without its parameters.
        if (user != nullptr && !(info.mask.flags & psd::kMaskFromRendering))
            psd::bake::multiply(result, vectorPlane_.data(), count);
        else
            std::copy(vectorPlane_.begin(), vectorPlane_.end(), result);
        return true;
    }

    // A solid fill covers the canvas; its stored pixels are its colour shaped by its vector mask
    // without the mask's feather and density, which spread it past them. Such a fill is drawn again:
    // its colour, as its rectangle stores it, over the whole canvas, shaped by the vector mask.
    static bool redrawsFill(const PSDLayerInfo& info) {
        return info.solidFill && !info.vectorMask.empty() &&
               (info.vectorShaping.density != 255 || info.vectorShaping.feather > 0);
    }

    // The colour of the fill's first pixel on the canvas, everywhere, opaque; false when it has none.
    bool spreadFill(const PSDLayerInfo& info, uint8_t* pixels) const {
        const int64_t top = std::max<int64_t>(info.top(), 0), left = std::max<int64_t>(info.left(), 0);
        if (top >= std::min<int64_t>(info.bottom(), doc_.height) || left >= std::min<int64_t>(info.right(), doc_.width))
            return false;
        uint8_t colour[4];
        std::copy_n(pixels + (top * doc_.width + left) * 4, 4, colour);
        colour[kAlphaByte] = 255;
        const size_t count = static_cast<size_t>(planeBytes());
        for (size_t i = 0; i < count; ++i) std::copy_n(colour, 4, pixels + i * 4);
        return true;
    }

    // Everything the layer takes from its masks, its clipping base and its groups, baked into its
    // alpha and opacity once its channels are decoded, in this order:
    //   1. its user mask (feathered, then its density), times its vector mask (drawn, inverted when
    //      flagged, feathered, then its density), multiplies alpha. A user mask rendered from the
    //      vector mask gives way to it; a fill layer's vector mask is not drawn, its pixels hold it,
    //      unless it is a solid fill that redrawsFill spreads over the canvas first;
    //   2. a clipped layer's alpha is multiplied by its base's alpha as step 1 left it;
    //   3. the masks of the groups around it (and the base of a clipped group) multiply alpha, after
    //      step 2, so that a base and the layers clipped to it, which share their groups, take them
    //      once;
    //   4. opacity, on the file's 0..255 scale: times the fill opacity, times the base's opacity,
    //      times each group's and its fill opacity (and a clipped group's base's), innermost first.
    //      Only then is it made WLX's percentage: 0..255 x 100 / 255, rounded to nearest, so that a
    //      file without fill opacity or clipping keeps the percentage it always had.
    // Products of two 0..255 values are (a x b + 127) / 255 throughout: rounded to nearest.
    bool bake(const PSDLayerInfo& info, Layer& layer, std::vector<uint8_t>* userMask, bool isBase) {
        uint8_t* pixels = layer.pixels.data();
        const size_t count = layer.pixels.size() / 4;
        uint8_t* mask = userMask != nullptr ? userMask->data() : nullptr;
        if (!info.vectorMask.empty()) {
            if (mask == nullptr) {
                // The mask plane holds the vector mask alone.
                if (!maskPlane(userMask)) return false;
                std::fill(userMask->begin(), userMask->end(), 255);
                mask = userMask->data();
                if (!shapeMasks(info, nullptr, mask)) return false;
            } else if (!shapeMasks(info, mask, mask)) {
                return false;
            }
        } else if (mask != nullptr) {
            shapeMasks(info, mask, mask);
        }
        if (mask != nullptr && pixels != nullptr && vectorDrawn_ && redrawsFill(info)) spreadFill(info, pixels);
        if (mask != nullptr && pixels != nullptr) {
            for (size_t i = 0; i < count; ++i)
                pixels[i * 4 + kAlphaByte] = psd::bake::scaled(pixels[i * 4 + kAlphaByte], mask[i]);
        }

        uint8_t opacity = psd::bake::scaled(info.opacity(), info.fillOpacity);
        const bool clipped = info.clipping() != 0;
        if (clipped && base_.valid) {
            if (pixels != nullptr) {
                for (size_t i = 0; i < count; ++i)
                    pixels[i * 4 + kAlphaByte] = psd::bake::scaled(pixels[i * 4 + kAlphaByte], base_.alpha[i]);
            }
            opacity = psd::bake::scaled(opacity, base_.opacity);
            if (base_.hidden) layer.visible = 0;
            if (base_.mode != blend::Normal && base_.blendsClipped && layer.blendMode == blend::Normal)
                layer.blendMode = base_.mode;
            layer.clipping = 0;
        } else if (!clipped) {
            dropBase();
            // Kept only for what is clipped right above.
            if (isBase && pixels != nullptr) {
                if (!bakingPlane(base_.alpha, "the clipping base's transparency")) return false;
                for (size_t i = 0; i < count; ++i) base_.alpha[i] = pixels[i * 4 + kAlphaByte];
                base_.valid = true;
                base_.opacity = info.opacity();
                base_.hidden = layer.visible == 0;
                base_.mode = layer.blendMode;
                base_.blendsClipped = info.blendsClipped;
            }
        }

        if (!groups_.empty() && groups_.back().product != nullptr && pixels != nullptr) {
            const uint8_t* group = groups_.back().product;
            for (size_t i = 0; i < count; ++i)
                pixels[i * 4 + kAlphaByte] = psd::bake::scaled(pixels[i * 4 + kAlphaByte], group[i]);
        }
        // Innermost group first: a group that is a base gathers its visible layers' alpha at the
        // opacity they have inside it, a over b as a + b - a x b.
        for (size_t level = groups_.size(), k = 0; level-- > 0; ++k) {
            Group& group = groups_[level];
            if (!group.covered.empty() && layer.visible != 0 && pixels != nullptr) {
                for (size_t i = 0; i < count; ++i) {
                    const uint8_t a = psd::bake::scaled(pixels[i * 4 + kAlphaByte], opacity);
                    group.covered[i] = static_cast<uint8_t>(group.covered[i] + a - psd::bake::scaled(group.covered[i], a));
                }
            }
            if (k < info.groupOpacities.size()) opacity = psd::bake::scaled(opacity, info.groupOpacities[k]);
            if (group.clipped) {
                opacity = psd::bake::scaled(opacity, group.clippedTo.opacity);
                if (group.clippedTo.hidden) layer.visible = 0;
            }
        }
        for (size_t k = groups_.size(); k < info.groupOpacities.size(); ++k)
            opacity = psd::bake::scaled(opacity, info.groupOpacities[k]);
        layer.opacity = static_cast<int32_t>(opacity * 0.39215686274509803 + 0.5);
        return true;
    }

    bool readLayer(const PSDLayerInfo& info, bool isBase) {
        if (info.section != Section::Layer) return skipChannels(info);
        auto owned = std::make_unique<Layer>();
        Layer* layer = owned.get();
        layer->resizeReusing(sink_.nextPixels(), doc_.width, doc_.height, blend::Normal, fillsEveryByte(info));
        layer->clipping = info.clipping() != 0 ? 1 : 0;
        layer->alphaLocked = info.flags() & psd::kFlagTransparencyProtected;
        layer->visible = (info.flags() & psd::kFlagHidden) || info.hiddenByGroup ? 0 : 1;
        if (!info.name.empty()) {
            layer->name = info.name;
        } else {
            layer->name = layersRead_ <= 1 ? kBackgroundName : kLayerName;
        }
        layer->blendMode = psd::blendModeForKey(info.blendKey());

        const Area area{info.top(), info.left(), info.bottom(), info.right()};
        const int64_t width = layer->width;
        uint8_t* pixels = layer->pixels.data();
        // Without a transparency channel the rectangle is opaque and the rest stays transparent.
        if (!info.hasTransparency) area.inCanvas(width, layer->height, [&](size_t at) { pixels[at * 4 + kAlphaByte] = 255; });

        std::vector<uint8_t>* mask = nullptr;
        const Area maskArea{info.mask.top, info.mask.left, info.mask.bottom, info.mask.right};
        if (info.maskChannel != 0) {
            if (!maskPlane(mask)) return false;
            std::fill(mask->begin(), mask->end(), info.mask.defaultColour);
        }
        ColourRows* colour = nullptr;
        if (converts_) colour = &colourRows_.emplace_back(converter_, psd::ChannelTarget{pixels, 4, width, layer->height, area.top, area.left}, area.columns());
        for (uint16_t c = 0; c < info.channelCount; ++c) {
            const int64_t length = info.channelLengths[c];
            if (length < 1) continue;
            const uint64_t start = in_.position();
            const uint32_t id = static_cast<uint32_t>(info.channelIds[c]);
            const int byte = psd::pixelByteForChannel(id);
            // Other channels follow rectangles of their own; an inverted rectangle has no pixels.
            // Either way the declared length alone finds the next channel.
            bool ok = true;
            const size_t queued = queue_.size();
            if (converts_) {
                if (id < converter_.colourChannels()) {
                    ok = queueChannel(nullptr, 1, width, layer->height, area, id, static_cast<uint64_t>(length));
                    if (queue_.size() != queued) {
                        if (colour->add(id)) queue_.back().receiver = colour, queue_.back().colour = true;
                        else queue_.back().target = {};
                    }
                } else if (id == kTransparencyId || (mask != nullptr && id == static_cast<uint32_t>(info.maskChannel))) {
                    const bool isMask = id != kTransparencyId;
                    const Area& at = isMask ? maskArea : area;
                    ok = queueChannel(nullptr, 1, width, layer->height, at, id, static_cast<uint64_t>(length));
                    if (queue_.size() != queued) {
                        const psd::ChannelTarget into = isMask ? psd::ChannelTarget{mask->data(), 1, width, layer->height, at.top, at.left}
                                                               : psd::ChannelTarget{pixels == nullptr ? nullptr : pixels + kAlphaByte, 4, width, layer->height, at.top, at.left};
                        queue_.back().receiver = &alphaRows_.emplace_back(converter_, into, at.columns());
                    }
                }
            } else if (byte >= 0) {
                ok = queueChannel(pixels == nullptr ? nullptr : pixels + byte, 4, width, layer->height, area, id,
                                  static_cast<uint64_t>(length));
            } else if (mask != nullptr && id == static_cast<uint32_t>(info.maskChannel)) {
                ok = queueChannel(mask->data(), 1, width, layer->height, maskArea, id, static_cast<uint64_t>(length));
            }
            // What the channels before this one hold is found wrong first: their reason is recorded
            // before this one, and the first reason recorded stays.
            if (!ok) {
                unpackQueued();
                return failHere(channelName(id) + ", " + problem_);
            }
            if (!in_.seek(start + static_cast<uint64_t>(length))) {
                unpackQueued();
                return failHere(channelName(id) + " cannot be passed");
            }
        }
        if (!unpackQueued()) return false;
        if (!bake(info, *layer, mask, isBase)) return false;
        sink_.layerRead(owned.release(), storedBytes(info));
        ++layersRead_;
        return true;
    }

    // The bytes a layer's channel data takes in the file, by its declared lengths.
    static uint64_t storedBytes(const PSDLayerInfo& info) {
        uint64_t stored = 0;
        for (const int64_t length : info.channelLengths) {
            if (length > 0) stored += std::min(static_cast<uint64_t>(length), UINT64_MAX - stored);
        }
        return stored;
    }

    // Whether the channels of a layer write every byte of its pixels, so that they need not be
    // cleared first: its rectangle takes in the whole canvas and each byte has a channel with data
    // (without a transparency channel the alpha bytes are set instead). Should a channel then fail,
    // the read fails and the pixels are dropped.
    bool fillsEveryByte(const PSDLayerInfo& info) const {
        if (info.top() > 0 || info.left() > 0 || info.bottom() < doc_.height || info.right() < doc_.width) return false;
        bool written[psd::kLayerChannelCount] = {};
        written[kAlphaByte] = !info.hasTransparency;
        for (uint16_t c = 0; c < info.channelCount; ++c) {
            const int byte = psd::pixelByteForChannel(static_cast<uint32_t>(info.channelIds[c]));
            if (byte >= 0 && info.channelLengths[c] >= 1) written[byte] = true;
        }
        return std::all_of(std::begin(written), std::end(written), [](bool w) { return w; });
    }

    // Channel data of a record that is no layer: only its declared lengths matter.
    bool skipChannels(const PSDLayerInfo& info) {
        for (uint16_t c = 0; c < info.channelCount; ++c) {
            const int64_t length = info.channelLengths[c];
            if (length >= 1 && !in_.skip(static_cast<uint64_t>(length)))
                return failHere("its channel data cannot be passed");
        }
        return true;
    }

    // One document-sized plane for the masks, made once per read and reused.
    bool maskPlane(std::vector<uint8_t>*& plane) {
        const uint64_t size = planeBytes();
        if (maskPlane_.size() != size) {
            if (!conversion_.reserve(size, "the mask plane")) return false;
            planesHeld_ += size;
            maskPlane_.resize(static_cast<size_t>(size));
        }
        plane = &maskPlane_;
        return true;
    }

    // A layer or mask rectangle in canvas coordinates; bottom and right are exclusive.
    struct Area {
        int64_t top, left, bottom, right;
        bool inverted() const { return bottom < top || right < left; }
        uint64_t rows() const { return static_cast<uint64_t>(bottom - top); }
        uint64_t columns() const { return static_cast<uint64_t>(right - left); }
        // Calls f(y * width + x) for every position of the area inside a width x height canvas.
        template <typename F>
        void inCanvas(int64_t width, int64_t height, F&& f) const {
            const int64_t x0 = std::max<int64_t>(left, 0), x1 = std::min<int64_t>(right, width);
            const int64_t y0 = std::max<int64_t>(top, 0), y1 = std::min<int64_t>(bottom, height);
            // Without a column inside the canvas there is nothing to visit, however many rows the
            // header claims: a canvas without columns may still have billions of them.
            if (x0 >= x1) return;
            for (int64_t y = y0; y < y1; ++y) {
                for (int64_t x = x0; x < x1; ++x) f(static_cast<size_t>(y * width + x));
            }
        }
    };

    static std::string channelName(uint32_t id) { return "channel " + std::to_string(static_cast<int16_t>(id)); }

    // Queues one channel of the area for a plane of width x height entries `step` bytes apart; only
    // the part inside the plane is kept. An inverted area is not decoded. Its compression method and
    // row counts are read now and its rows checked against what the file holds; the rows themselves
    // are read and decoded with the rest of the layer's channels by unpackQueued. length is the
    // channel's declared length, compression method included: a ZIP channel's rows take the rest.
    bool queueChannel(uint8_t* plane, size_t step, int64_t width, int64_t height, const Area& area, uint32_t id,
                      uint64_t length) {
        if (area.inverted()) return true;
        const uint64_t rows = area.rows();
        const uint64_t columns = converter_.rowBytes(area.columns());
        uint16_t compression = 0;
        if (!in_.readBe16(compression)) return problem("the compression method cannot be read");
        const size_t countsAt = counts_.size();
        uint64_t bytes = 0;
        if (compression == psd::kCompressionPackBits) {
            if (!psd::readRowCounts(in_, rows, widths_.rowCount, counts_)) return problem(psd::kRowCountsCutShort);
        } else if (psd::isZip(compression)) {
            bytes = length < 2 ? 0 : length - 2;
            if (!psd::measureZipRows(in_, bytes, rows, columns, problem_)) return false;
        } else if (compression != psd::kCompressionRaw) {
            return problem(unsupportedCompression(compression));
        }
        if (!psd::isZip(compression) &&
            !psd::measureChannelRows(in_, compression, counts_.data() + countsAt, rows, columns, bytes, problem_))
            return false;
        queue(channelName(id), compression, rows, columns, in_.position(), bytes, countsAt,
              {plane, step, width, height, area.top, area.left});
        return true;
    }

    // Queues channel c of the merged image, whose rows start at `at` in the file; at moves past them.
    // held: the channel's rows, raw, when they were inflated already.
    void queueMergedChannel(unsigned c, uint16_t compression, const uint32_t* rowCounts, const uint8_t* held,
                            const psd::ChannelTarget& target, uint64_t& at) {
        const uint64_t width = converter_.rowBytes(static_cast<uint64_t>(doc_.width));
        const uint64_t height = static_cast<uint64_t>(doc_.height);
        const size_t countsAt = counts_.size();
        uint64_t bytes = width * height;  // all the planes were found in the file
        if (compression == psd::kCompressionPackBits) {
            counts_.insert(counts_.end(), rowCounts, rowCounts + height);
            bytes = 0;
            for (uint64_t r = 0; r < height; ++r) bytes += rowCounts[r];
        } else if (held != nullptr) {
            bytes = 0;
        }
        queue("channel " + std::to_string(c), compression, height, width, at, bytes, countsAt, target, held);
        at += bytes;
    }

    void queue(std::string name, uint16_t compression, uint64_t rows, uint64_t columns, uint64_t at, uint64_t bytes,
               uint64_t countsAt, const psd::ChannelTarget& target, const uint8_t* held = nullptr) {
        // Rows without bytes decode to nothing: billions of them are no reason to loop.
        if (rows == 0 || (compression != psd::kCompressionPackBits && columns == 0)) return;
        queue_.push_back(
            {std::move(name), compression, rows, columns, at, bytes, static_cast<size_t>(countsAt), target, held, {}, 0, nullptr,
             queue_.size()});
    }

    // Gives the batch its room once, for the layer stored in the most bytes, so that it is never
    // moved and its pages are touched once, not again with each layer that needs more. The room a
    // mask plane will need stays in the budget for it.
    void sizeBatch(const PSDLayerInfoList& infos) {
        uint64_t most = 0;
        bool userMask = false, vectorMask = false, clipping = false;
        uint64_t groupMasks = 0;
        for (const PSDLayerInfo* info : infos) {
            if (info->section != Section::Layer) {
                if (info->section != Section::Divider && info->pairedWith >= 0 &&
                    (info->maskChannel != 0 || !info->vectorMask.empty()))
                    ++groupMasks;
                vectorMask = vectorMask || !info->vectorMask.empty();
                continue;
            }
            userMask = userMask || info->maskChannel != 0;
            vectorMask = vectorMask || !info->vectorMask.empty();
            clipping = clipping || info->clipping() != 0;
            most = std::max(most, storedBytes(*info));
        }
        const uint64_t planes = (userMask || vectorMask ? 1 : 0) + (vectorMask ? 2 : 0) + (clipping ? 1 : 0) + groupMasks;
        maskBytes_ = product(planes, planeBytes());
        batchRoom(std::min(most, in_.remaining()), 0);
    }

    // Whether bytes more fit in the memory budget and leave the mask plane its room until it is made.
    bool fitsBesideMaskPlane(uint64_t bytes) const {
        const MemoryBudget& budget = conversion_.budget();
        const uint64_t held = budget.used() + (maskBytes_ > planesHeld_ ? maskBytes_ - planesHeld_ : 0);
        return held <= budget.limit() && bytes <= budget.limit() - held;
    }

    // Room in the batch for a band of rows: grown to want bytes (kBatchBytes at most) when the
    // memory budget has room for them, so that what the budget holds for others stays theirs, and
    // to need bytes, a row of each channel, even past it: decoding rows as they are read would hold
    // as much. The batch keeps its room from band to band.
    uint64_t batchRoom(uint64_t want, uint64_t need) {
        uint64_t room = batch_.capacity();
        want = std::min<uint64_t>(want, kBatchBytes);
        if (room < want && fitsBesideMaskPlane(want - room)) {
            conversion_.budget().reserve(want - room);
            batchReserved_ += want - room;
            room = want;
        }
        room = std::max(room, need);
        if (room > batch_.capacity()) {
            PixelBytes().swap(batch_);  // dropped first: growing would copy what it holds
            batch_.reserve(static_cast<size_t>(room));
        }
        return room;
    }

    // Decodes the queued channels up to four at a time, those of the same rows that follow each other
    // in the file: a layer's four pixel channels are then stored as whole pixels. The failure
    // reported is the first in the file: the earliest channel, then row.
    bool unpackQueued(bool report = true) {
        const uint64_t resume = in_.position();
        psd::DecodeFailure first;
        // Also on the way out after a failure: colours whose channels were not all queued read zeros.
        for (ColourRows& colour : colourRows_) colour.fillMissing();
        // A layer's colours go last, all together: their conversion needs a row of each, and an
        // indexed document's transparent index clears alpha its transparency channel has set.
        if (converts_) std::stable_partition(queue_.begin(), queue_.end(), [](const Queued& q) {
            return !q.colour;
        });
        for (size_t i = 0, end = 0; i < queue_.size(); i = end) {
            for (end = i + 1; end < queue_.size() && end - i < psd::kMaxDecodedChannels; ++end) {
                if (queue_[end].rows != queue_[i].rows || queue_[end].receiver != queue_[i].receiver) break;
            }
            unpackChannels(i, end, first);
        }
        in_.seek(resume);
        const std::string reason = first.channel < queue_.size() ? queue_[first.channel].name + ", " + first.problem : "";
        queue_.clear();
        counts_.clear();
        colourRows_.clear();
        alphaRows_.clear();
        return reason.empty() || (report && failHere(reason));
    }

    // Whether queued channel i comes before the failure in the file (any channel does when there is none).
    bool comesBefore(size_t i, const psd::DecodeFailure& failure) const {
        return failure.channel >= queue_.size() || queue_[i].order < queue_[failure.channel].order;
    }

    // Reads queued channels begin .. end - 1 in bands of rows as large as the batch holds, and
    // decodes each band on every thread, a share of its rows each. first is the failure that comes
    // first in the file so far.
    void unpackChannels(size_t begin, size_t end, psd::DecodeFailure& first) {
        inflateChannels(begin, end, first);
        bandChannels(begin, end, first);
        for (size_t i = begin; i < end; ++i) {
            Queued& q = queue_[i];
            std::vector<uint8_t>().swap(q.inflated);
            conversion_.budget().release(q.reserved);
            heldReserved_ -= q.reserved;
            q.reserved = 0;
        }
    }

    // Inflates the ZIP channels among begin .. end - 1 whole, each into the rows it must have; they are
    // then decoded as raw rows held in memory. One that does not inflate is a failure of its first row.
    void inflateChannels(size_t begin, size_t end, psd::DecodeFailure& first) {
        for (size_t i = begin; i < end && comesBefore(i, first); ++i) {
            Queued& q = queue_[i];
            if (q.held != nullptr || !psd::isZip(q.compression)) continue;
            const uint64_t bytes = q.rows * q.columns;  // checked against the compressed bytes when queued
            std::string problem;
            if (!conversion_.budget().reserve(q.bytes + bytes)) {
                problem = conversion_.overBudget(q.bytes + bytes, "its inflated rows");
            } else {
                q.reserved = q.bytes + bytes;
                heldReserved_ += q.reserved;
                std::vector<uint8_t> compressed;
                in_.seek(q.at);
                in_.readBlock(q.bytes, compressed);
                q.inflated.resize(static_cast<size_t>(bytes));
                if (psd::inflateRows(q.compression, compressed.data(), compressed.size(), q.rows, q.columns,
                                     q.inflated.data(), problem, depth_))
                    q.held = q.inflated.data();
            }
            if (q.held == nullptr) {
                first = {i, 0, problem};
                return;
            }
        }
    }

    void bandChannels(size_t begin, size_t end, psd::DecodeFailure& first) {
        const uint64_t rows = queue_[begin].rows;
        uint64_t at[psd::kMaxDecodedChannels];  // where each channel's next band starts in the file
        uint64_t want = 0;
        for (size_t i = begin; i < end; ++i) {
            at[i - begin] = queue_[i].at;
            if (queue_[i].held == nullptr) want += queue_[i].bytes;
        }
        // What a row takes in the batch: nothing for rows already held.
        auto rowBytes = [&](size_t i, uint64_t r) -> uint64_t {
            const Queued& q = queue_[i];
            if (q.held != nullptr) return 0;
            return q.compression == psd::kCompressionRaw ? q.columns : counts_[q.countsAt + r];
        };
        ThreadPool& pool = conversion_.pool();
        for (uint64_t top = 0, bottom = 0; top < rows; top = bottom) {
            // A failure already found comes before any of a later channel's.
            // Those of the group before it in the file: a prefix, since a group keeps the file's order.
            size_t live = 0;
            while (begin + live < end && comesBefore(begin + live, first)) ++live;
            if (live == 0) return;
            uint64_t total = 0, room = 0;
            for (bottom = top; bottom < rows; ++bottom) {
                uint64_t more = 0;
                for (size_t i = begin; i < begin + live; ++i) more += rowBytes(i, bottom);
                if (bottom == top) room = batchRoom(want, more);
                if (total + more > room) break;
                total += more;
            }
            batch_.resize(static_cast<size_t>(total));
            psd::BufferedRows band[psd::kMaxDecodedChannels];
            size_t offset = 0;
            for (size_t k = 0; k < live; ++k) {
                const Queued& q = queue_[begin + k];
                if (q.held != nullptr) {
                    band[k] = {psd::kCompressionRaw, q.columns, nullptr, top, q.held + top * q.columns,
                               (bottom - top) * q.columns, q.target, q.receiver};
                    continue;
                }
                uint64_t bytes = 0;
                for (uint64_t r = top; r < bottom; ++r) bytes += rowBytes(begin + k, r);
                uint8_t* into = batch_.data() + offset;
                const size_t got = in_.seek(at[k]) ? in_.readSome(into, static_cast<size_t>(bytes)) : 0;
                const uint32_t* counts = q.compression == psd::kCompressionRaw ? nullptr : counts_.data() + q.countsAt;
                band[k] = {q.compression, q.columns, counts, top, into, got, q.target, q.receiver};
                at[k] += bytes;
                offset += static_cast<size_t>(bytes);
            }
            // Rows converted together need a row of every channel of the group: once a failure has cut
            // the group short, the rest are only decoded, for a failure of theirs that comes first.
            if (live < end - begin) {
                for (size_t k = 0; k < live; ++k) band[k].receiver = nullptr;
            }
            // More shares than threads, so that rows decoding at different speeds even out.
            const uint64_t bandRows = bottom - top;
            const size_t shares = pool.size() == 1 ? 1 : static_cast<size_t>(std::min<uint64_t>(pool.size() * 4, bandRows));
            std::vector<psd::DecodeFailure> failures(shares);
            pool.forEach(shares, [&](size_t s) {
                std::vector<uint8_t> scratch;
                psd::decodeRows({band, live}, top + bandRows * s / shares, top + bandRows * (s + 1) / shares, scratch,
                                failures[s]);
            });
            for (psd::DecodeFailure& failure : failures) {
                if (failure.channel >= live) continue;
                failure.channel += begin;
                if (comesBefore(failure.channel, first) || (failure.channel == first.channel && failure.row < first.row))
                    first = std::move(failure);
            }
        }
    }

    bool readMergedImage() {
        uint16_t compression = 0;
        where_ = "merged image";
        if (!in_.readBe16(compression)) return failHere("the compression method cannot be read");
        const uint64_t width = converter_.rowBytes(static_cast<uint64_t>(doc_.width));  // bytes of a stored row
        const uint64_t height = static_cast<uint64_t>(doc_.height);
        std::vector<uint32_t> rowCounts;
        if (compression == psd::kCompressionPackBits) {
            if (!psd::readRowCounts(in_, product(channelCount_, height), widths_.rowCount, rowCounts))
                return failHere(psd::kRowCountsCutShort);
            // Every packet gives at most 128 bytes for at least 2: shorter rows can never unpack.
            const uint64_t minRow = (width + 127) / 128 * 2;
            uint64_t total = 0;
            for (uint32_t n : rowCounts) {
                if (n < minRow) return failHere("a packed row of " + std::to_string(n) + " bytes cannot unpack to " +
                                                std::to_string(width));
                total += n;
            }
            if (!in_.fits(total)) return failHere("the packed rows run past the end of the file");
        } else if (compression == psd::kCompressionRaw) {
            // The planes must all be there before any layer is made for them.
            if (!in_.fits(product(channelCount_, product(width, height))))
                return failHere("the raw planes run past the end of the file");
        } else if (psd::isZip(compression)) {
            // One stream of every channel's rows, to the end of the file.
            if (!inflateMerged(compression)) return false;
        } else {
            return failHere(unsupportedCompression(compression));
        }
        uint64_t rowsAt = in_.position();

        std::unique_ptr<Layer> background;
        if (layersRead_ == 0) {
            background = std::make_unique<Layer>();
            background->resizeReusing(sink_.nextPixels(), doc_.width, doc_.height, blend::Normal, false);
            background->name = kBackgroundName;
            for (size_t i = kAlphaByte; i < background->pixels.size(); i += 4) background->pixels[i] = 255;
        }
        const unsigned colours = static_cast<unsigned>(converter_.modeChannels());
        const unsigned firstAlpha = mergedTransparency_ ? colours + 1 : colours;
        ColourRows* colour = nullptr;
        if (converts_ && background)
            colour = &colourRows_.emplace_back(converter_, psd::ChannelTarget{background->pixels.data(), 4, doc_.width, doc_.height, 0, 0},
                                               static_cast<uint64_t>(doc_.width));
        std::vector<std::unique_ptr<Layer>> alphas;  // decoded with the channels queued beside them
        for (unsigned c = 0; c < channelCount_; ++c) {
            Layer* target = nullptr;
            int byte = kAlphaByte;
            std::unique_ptr<Layer> alpha;
            if (c < colours) {
                target = background.get();
                byte = psd::pixelByteForChannel(c);
            } else if (c >= firstAlpha && sink_.keepsAlphaChannels()) {
                alpha = std::make_unique<Layer>();
                target = alpha.get();
                target->resize(doc_.width, doc_.height, blend::AlphaChannel);
                target->name = c - colours < alphaNames_.size() ? alphaNames_[c - colours] : kAlphaChannelName;
            }
            const uint32_t* counts = rowCounts.empty() ? nullptr : rowCounts.data() + c * height;
            const uint8_t* held = mergedRows_.empty() ? nullptr : mergedRows_.data() + c * height * width;
            psd::ChannelTarget into;
            if (target != nullptr && !target->pixels.empty()) into = {target->pixels.data() + byte, 4, doc_.width, doc_.height, 0, 0};
            const size_t queued = queue_.size();
            queueMergedChannel(c, compression, counts, held, converts_ ? psd::ChannelTarget{} : into, rowsAt);
            if (converts_ && queue_.size() != queued && target != nullptr) {
                if (c < colours) {
                    if (c < converter_.colourChannels() && colour != nullptr && colour->add(c)) queue_.back().receiver = colour, queue_.back().colour = true;
                } else {
                    into.plane = target->pixels.empty() ? nullptr : target->pixels.data() + kAlphaByte;
                    queue_.back().receiver = &alphaRows_.emplace_back(converter_, into, static_cast<uint64_t>(doc_.width));
                }
            }
            if (alpha) alphas.push_back(std::move(alpha));
            // Four channels at a time: a failure among them comes before any in the channels after.
            if (queue_.size() == psd::kMaxDecodedChannels || c + 1 == channelCount_) {
                if (!unpackQueued()) return false;
                for (std::unique_ptr<Layer>& done : alphas) sink_.alphaChannelRead(done.release());
                alphas.clear();
            }
        }
        if (background) sink_.layerRead(background.release(), 0);
        return true;
    }

    // Inflates the merged image's ZIP stream into mergedRows_, every channel's rows.
    bool inflateMerged(uint16_t compression) {
        const uint64_t rows = product(channelCount_, static_cast<uint64_t>(doc_.height));
        const uint64_t columns = converter_.rowBytes(static_cast<uint64_t>(doc_.width));
        const uint64_t compressedBytes = in_.remaining();
        std::string problem;
        if (!psd::measureZipRows(in_, compressedBytes, rows, columns, problem)) return failHere(problem);
        const uint64_t bytes = product(rows, columns);
        // The compressed bytes are read as far as the stream really holds them.
        if (!conversion_.reserve(bytes, "the merged image's inflated rows")) return false;
        heldReserved_ += bytes;
        std::vector<uint8_t> compressed;
        in_.readBlock(compressedBytes, compressed);
        mergedRows_.resize(static_cast<size_t>(bytes));
        if (!psd::inflateRows(compression, compressed.data(), compressed.size(), rows, columns, mergedRows_.data(),
                              problem, depth_))
            return failHere(problem);
        return true;
    }

    ByteInput in_;
    DocumentInfo& doc_;
    Conversion& conversion_;
    PsdLayerSink& sink_;
    Uncarried uncarried_;  // what the layer records hold that their layers cannot
    size_t layersRead_ = 0;
    std::string where_;    // the record, layer or image being read, for failure reasons
    std::string problem_;  // what the packed-channel decoder found wrong
    uint16_t channelCount_ = 0;
    bool mergedTransparency_ = false;
    std::vector<std::string> alphaNames_;
    std::vector<uint8_t> maskPlane_;
    uint16_t mode_ = psd::kModeRgb;
    uint16_t depth_ = psd::kDepth;
    bool converts_ = false;  // not 8-bit RGB: rows go through the converter
    std::vector<uint8_t> modeData_;
    std::vector<uint8_t> iccProfile_;
    int32_t transparentIndex_ = -1;
    psd::PixelConverter converter_;
    // The receivers of the queued channels' rows; they go with the queue.
    std::deque<ColourRows> colourRows_;
    std::deque<AlphaRows> alphaRows_;

    // The channels waiting to be read and decoded, in file order, and their row counts.
    struct Queued {
        std::string name;  // "channel 0", for failure reasons
        uint16_t compression = psd::kCompressionRaw;
        uint64_t rows = 0;
        uint64_t columns = 0;
        uint64_t at = 0;     // where its rows start in the file
        uint64_t bytes = 0;  // what they take there
        size_t countsAt = 0;
        psd::ChannelTarget target;
        const uint8_t* held = nullptr;  // its rows, raw, once inflated: then read from here
        std::vector<uint8_t> inflated;  // a ZIP channel's rows, inflated while it is decoded
        uint64_t reserved = 0;          // what the budget holds for them
        const psd::RowReceiver* receiver = nullptr;  // converts its rows, when the document is not 8-bit RGB
        size_t order = 0;  // its place in the file among those queued: decoding may take them in another
        bool colour = false;  // its receiver takes a colour, which needs a row of each colour channel
    };
    std::vector<Queued> queue_;
    std::vector<uint32_t> counts_;
    uint16_t version_ = psd::kVersion;
    psd::FieldWidths widths_ = psd::kWidthsPsd;
    std::vector<uint8_t> mergedRows_;  // the merged image's channels, inflated
    uint64_t heldReserved_ = 0;        // what the budget holds for inflated rows
    // The rows of a band of the queued channels, read ahead; its room is kept from layer to layer.
    static constexpr size_t kBatchBytes = size_t{4} << 20;
    PixelBytes batch_;
    uint64_t batchReserved_ = 0;  // what the budget holds for the batch
    uint64_t maskBytes_ = 0;      // what the baking planes will take together, once all are made
    uint64_t planesHeld_ = 0;     // what the budget holds for those made so far
    std::vector<uint8_t> vectorPlane_, vectorScratch_;  // a vector mask drawn, and each of its parts
    bool vectorDrawn_ = false;                          // whether the last shapeMasks drew its vector mask
    // The base of the layers clipped to it: its alpha after its own masks, and what they take from it.
    struct Base {
        bool valid = false;
        std::vector<uint8_t> alpha;
        uint8_t opacity = 255;
        bool hidden = false;
        BlendMode mode = blend::Normal;
        bool blendsClipped = true;
    } base_;
    // The groups around the layer being read, innermost last: a masked group's plane is the product
    // of its masks and those around it; product points at the nearest such plane, or is null.
    struct Group {
        std::vector<uint8_t> plane;
        const uint8_t* product = nullptr;
        bool clipped = false;
        Base clippedTo;                 // the base the group is clipped to, for after it when clipped
        std::vector<uint8_t> covered;   // when the group is a base: the alpha its layers cover
    };
    std::vector<Group> groups_;
};

// Keeps every layer and alpha channel in lists.
class LayerLists final : public PsdLayerSink {
public:
    LayerLists(LayerTempList& layers, LayerTempList& alphaChannels, Conversion& conversion)
        : layers_(layers), alphaChannels_(alphaChannels), conversion_(conversion) {}
    // The whole document must fit in memory before its first layer is made.
    bool begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) override {
        const uint64_t count = uint64_t{layerCount} + alphaCount;
        if (!conversion_.reserve(product(Layer::pixelBytes(doc.width, doc.height), count),
                                 std::to_string(count) + " layers"))
            return false;
        // So that add cannot throw once a layer is handed over.
        layers_.reserve(layerCount);
        alphaChannels_.reserve(alphaChannels_.size() + alphaCount);
        return true;
    }
    void layerRead(Layer* layer, uint64_t) override { layers_.add(layer); }
    bool keepsAlphaChannels() const override { return true; }
    void alphaChannelRead(Layer* channel) override { alphaChannels_.add(channel); }

private:
    LayerTempList& layers_;
    LayerTempList& alphaChannels_;
    Conversion& conversion_;
};

}  // namespace

bool readPsd(std::FILE* in, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink) {
    try {
        return Reader(in, doc, conversion, sink).read();
    } catch (const std::bad_alloc&) {
        return conversion.fail("out of memory");
    }
}

bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc,
             Conversion& conversion) {
    layers.clear();
    LayerLists lists(layers, alphaChannels, conversion);
    return readPsd(in, doc, conversion, lists);
}

bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc) {
    Conversion conversion;
    return readPsd(in, layers, alphaChannels, doc, conversion);
}

bool readPsdFile(const std::string& path, LayerTempList& layers, LayerTempList& alphaChannels,
                 DocumentInfo& doc) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        layers.clear();
        return false;
    }
    const bool ok = readPsd(file, layers, alphaChannels, doc);
    std::fclose(file);
    if (!ok) layers.clear();
    return ok;
}
