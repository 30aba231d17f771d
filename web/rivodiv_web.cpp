// The conversion as the page's worker calls it: the program's own conversion run over files in
// emscripten's in-memory file system, with the picture and the layer list of what was written
// made as the layers pass, for the preview.
#include <emscripten.h>
#include <emscripten/heap.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "composite/Composite.h"
#include "driver/Converter.h"
#include "formats/wlx/WlxLayout.h"

namespace {

// What the page is told about a conversion; the numbers are the page's message keys.
enum Outcome : int {
    kConverted = 0,
    kFileMissing = 1,
    kUnknownFormat = 2,
    kReadFailed = 3,
    kWriteFailed = 4,
    kOtherMessage = 5,
};

constexpr int32_t kThumbnailSide = 64;
constexpr uint32_t kWhite = 0xffffff;

struct LayerPreview {
    std::string name;        // as the output holds it
    std::string sourceName;  // as the source held it, when the output cut it
    int32_t sourceMode = 0;
    int32_t blendMode = 0;
    int32_t opacity = 0;
    int32_t visible = 0;
    int32_t thumbnailWidth = 0;
    int32_t thumbnailHeight = 0;
    std::vector<uint8_t> thumbnail;  // RGBA
};

struct Preview {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> picture;  // RGBA, rows top to bottom
    std::vector<LayerPreview> layers;
};

Preview gPreview;
std::string gOutputName;
std::string gMessageSubject;  // what the message names after its text: the file's name
std::string gMessageDetail;   // the line the programs print under a failure, in English
std::vector<std::string> gNotes;

EM_JS(void, reportProgress, (double fraction), {
    if (Module["onProgress"]) Module["onProgress"](fraction);
});

// The run's messages are kept, not shown: the page shows them beside the file.
class CollectingUserInterface : public UserInterface {
public:
    explicit CollectingUserInterface(const MessageTexts& texts) : texts_(texts) {}

    int showMessage(const std::string&, const std::string& text, uint32_t, const std::string& why) override {
        if (outcome == kConverted) {
            classify(text);
            detail = why;
        }
        // Each conversion starts in an empty folder, so nothing is ever overwritten.
        return kAnswerOk;
    }
    void showNote(const std::string&, const std::string& note) override { notes.push_back(note); }
    std::string chooseFile(const std::string&) override { return {}; }

    int outcome = kConverted;
    std::string subject;
    std::string detail;               // why a read or write failed, in English
    std::vector<std::string> notes;  // what the user should know about a conversion that succeeded

private:
    void classify(const std::string& text) {
        const std::pair<const std::string*, int> known[] = {
            {&texts_.fileMissing, kFileMissing},
            {&texts_.unknownFormat, kUnknownFormat},
            {&texts_.readFailed, kReadFailed},
            {&texts_.writeFailed, kWriteFailed},
        };
        outcome = kOtherMessage;
        subject = text;
        for (const auto& [prefix, code] : known) {
            if (text.compare(0, prefix->size(), *prefix) == 0) {
                outcome = code;
                subject = text.substr(prefix->size());
                return;
            }
        }
    }
    const MessageTexts& texts_;
};

// side samples spread over length: the nearest-pixel positions of a reduction.
std::vector<int32_t> samplePositions(int32_t length, int32_t side) {
    std::vector<int32_t> at(static_cast<size_t>(side));
    for (int32_t i = 0; i < side; ++i) at[static_cast<size_t>(i)] = static_cast<int32_t>(int64_t{i} * length / side);
    return at;
}

// width x height reduced to at most side on the longer side, keeping the proportions.
void reducedSize(int32_t width, int32_t height, int32_t side, int32_t& w, int32_t& h) {
    const int32_t longer = std::max(width, height);
    if (longer <= side) {
        w = width;
        h = height;
        return;
    }
    w = std::max<int32_t>(1, static_cast<int32_t>(int64_t{width} * side / longer));
    h = std::max<int32_t>(1, static_cast<int32_t>(int64_t{height} * side / longer));
}

// The preview, made as the layers pass on their way to the writer, so that no layer's pixels need
// to be kept: each layer, with the attributes the output gives it, is sampled at the preview's
// pixels and composited onto a canvas of the preview's size as the native program composites the
// whole. Compositing works pixel by pixel, so the preview is exactly the output's composite at
// those pixels.
class PreviewBuilder {
public:
    PreviewBuilder(bool toWlx, int32_t side) : toWlx_(toWlx), side_(std::max<int32_t>(side, 1)) {}

    void begin(const DocumentInfo& doc) {
        if (failed_) return;
        try {
            width_ = std::max(doc.width, 0);
            height_ = std::max(doc.height, 0);
            int32_t w = 0, h = 0;
            reducedSize(width_, height_, side_, w, h);
            columns_ = samplePositions(width_, w);
            rows_ = samplePositions(height_, h);
            canvas_.create(w, h, 0);
            canvas_.fill(kWhite);
        } catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }

    void add(const Layer& layer) {
        if (failed_) return;
        try {
            LayerPreview p = describe(layer);
            if (layer.width == width_ && layer.height == height_ && covered(layer)) {
                sample_.resizeForOverwrite(static_cast<int32_t>(columns_.size()), static_cast<int32_t>(rows_.size()),
                                           p.blendMode);
                uint8_t* to = sample_.pixels.data();
                for (const int32_t y : rows_) {
                    const uint8_t* row = layer.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width_) * 4;
                    for (const int32_t x : columns_) {
                        std::memcpy(to, row + static_cast<size_t>(x) * 4, 4);
                        to += 4;
                    }
                }
                sample_.opacity = p.opacity;
                sample_.visible = static_cast<uint8_t>(p.visible);
                compositeOnto(sample_, canvas_);
            }
            thumbnail(layer, p);
            layers_.push_back(std::move(p));
        } catch (const std::bad_alloc&) {
            failed_ = true;
        }
    }

    // The preview, or none when it could not be held.
    Preview take() {
        Preview preview;
        if (failed_ || canvas_.bits == nullptr) return preview;
        try {
            preview.width = canvas_.width;
            preview.height = canvas_.height;
            preview.picture.assign(static_cast<size_t>(preview.width) * preview.height * 4, 255);
            canvas_.copyRgbTopDown(preview.picture.data(), 4);
            preview.layers = std::move(layers_);
        } catch (const std::bad_alloc&) {
            return Preview{};
        }
        return preview;
    }

private:
    static bool covered(const Layer& layer) {
        return layer.width > 0 && layer.height > 0 &&
               layer.pixels.size() >= Layer::pixelBytes(layer.width, layer.height);
    }

    // The layer as the output holds it: a WLX record keeps 31 bytes of the name, a blend code for
    // the modes it has (the others become normal) and the opacity as a byte of 128ths.
    LayerPreview describe(const Layer& layer) const {
        LayerPreview p;
        p.name = layer.name;
        p.sourceMode = layer.blendMode;
        p.blendMode = layer.blendMode;
        p.opacity = layer.opacity;
        p.visible = layer.visible ? 1 : 0;
        if (toWlx_) {
            p.name.resize(wlx::LayerRecord::storedNameLength(layer.name));
            if (p.name.size() != layer.name.size()) p.sourceName = layer.name;
            p.blendMode = wlx::blendModeFromCode(wlx::blendCodeFromMode(layer.blendMode));
            p.opacity = wlx::opacityPercentFromByte(wlx::opacityByteFromPercent(layer.opacity));
        }
        return p;
    }

    // A nearest-pixel reduction to at most kThumbnailSide on the longer side.
    static void thumbnail(const Layer& layer, LayerPreview& p) {
        if (!covered(layer)) return;
        const int32_t w = layer.width, h = layer.height;
        reducedSize(w, h, kThumbnailSide, p.thumbnailWidth, p.thumbnailHeight);
        p.thumbnail.resize(static_cast<size_t>(p.thumbnailWidth) * p.thumbnailHeight * 4);
        uint8_t* to = p.thumbnail.data();
        for (int32_t ty = 0; ty < p.thumbnailHeight; ++ty) {
            const int64_t y = int64_t{ty} * h / p.thumbnailHeight;
            for (int32_t tx = 0; tx < p.thumbnailWidth; ++tx, to += 4) {
                const int64_t x = int64_t{tx} * w / p.thumbnailWidth;
                const uint8_t* from = layer.pixels.data() + (y * w + x) * 4;
                to[0] = from[2];
                to[1] = from[1];
                to[2] = from[0];
                to[3] = from[3];
            }
        }
    }

    const bool toWlx_;
    const int32_t side_;
    bool failed_ = false;
    int32_t width_ = 0, height_ = 0;
    std::vector<int32_t> columns_, rows_;
    dib24 canvas_;
    Layer sample_;
    std::vector<LayerPreview> layers_;
};

// Tells the page how far the read is: each layer handed on is one step of the count the file
// declares; the write takes the last tenth.
class ProgressCounter {
public:
    // The document's records are read: the layers follow.
    void begin(size_t count) {
        count_ = std::max<size_t>(count, 1);
        reportProgress(kLayersStart);
    }
    void layerDone() {
        ++done_;
        reportProgress(kLayersStart + (kWriteStart - kLayersStart) * static_cast<double>(std::min(done_, count_)) /
                                          static_cast<double>(count_));
    }
    static constexpr double kReadStart = 0.02, kLayersStart = 0.05, kWriteStart = 0.92;

private:
    size_t count_ = 1, done_ = 0;
};

// The stages with the preview and the progress beside them: every call goes on to the stage.
class PreviewWlxSink final : public WlxLayerSink {
public:
    PreviewWlxSink(WlxLayerSink& next, PreviewBuilder& preview, ProgressCounter& progress)
        : next_(next), preview_(preview), progress_(progress) {}
    size_t begin(const DocumentInfo& doc, size_t layerCount) override {
        preview_.begin(doc);
        progress_.begin(layerCount);
        return next_.begin(doc, layerCount);
    }
    PixelBytes reusedPixels() override { return next_.reusedPixels(); }
    void layerRead(Layer* layer) override {
        preview_.add(*layer);
        next_.layerRead(layer);
        progress_.layerDone();
    }
    size_t queuedWork() override { return next_.queuedWork(); }
    void doWork(size_t piece) override { next_.doWork(piece); }
    void workDone() override { next_.workDone(); }

private:
    WlxLayerSink& next_;
    PreviewBuilder& preview_;
    ProgressCounter& progress_;
};

class PreviewPsdSink final : public PsdLayerSink {
public:
    PreviewPsdSink(PsdLayerSink& next, PreviewBuilder& preview, ProgressCounter& progress)
        : next_(next), preview_(preview), progress_(progress) {}
    bool begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) override {
        preview_.begin(doc);
        progress_.begin(layerCount);
        return next_.begin(doc, layerCount, alphaCount);
    }
    PixelBytes nextPixels() override { return next_.nextPixels(); }
    void layerRead(Layer* layer, uint64_t storedBytes) override {
        preview_.add(*layer);
        next_.layerRead(layer, storedBytes);
        progress_.layerDone();
    }
    bool keepsAlphaChannels() const override { return next_.keepsAlphaChannels(); }
    void alphaChannelRead(Layer* layer) override { next_.alphaChannelRead(layer); }

private:
    PsdLayerSink& next_;
    PreviewBuilder& preview_;
    ProgressCounter& progress_;
};

// What a conversion in the page may take: three quarters of the most a page's WebAssembly memory
// can grow to, the rest being the module, the preview and the files' buffers.
MemoryBudget pageBudget() {
    return MemoryBudget(emscripten_get_heap_max() / 4 * 3, "three quarters of the 4 GiB a page's WebAssembly may have");
}

// After a failure for memory: the side of the largest square document that fits the budget, at
// the 9 bytes a pixel a conversion's module takes at its peak (a layer's 4, the canvas's 3, the
// packed channels or compressed blocks), rounded down to a thousand.
std::string largestDocument(const MemoryBudget& budget) {
    const auto side = static_cast<uint64_t>(std::sqrt(static_cast<double>(budget.limit()) / 9)) / 1000 * 1000;
    return "; a page converts documents of up to about " + std::to_string(side) + " x " + std::to_string(side) +
           " pixels";
}

const LayerPreview* layerAt(int index) {
    if (index < 0 || static_cast<size_t>(index) >= gPreview.layers.size()) return nullptr;
    return &gPreview.layers[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

// Converts the file name in the current folder of the in-memory file system, with a preview of at
// most previewSide pixels on its longer side. Returns an Outcome; on success rivodiv_output_name
// names the file written beside it.
EMSCRIPTEN_KEEPALIVE int rivodiv_convert(const char* name, int previewSide) {
    gPreview = Preview{};
    gOutputName.clear();
    gMessageSubject.clear();
    gMessageDetail.clear();
    gNotes.clear();
    // Emscripten starts with a umask of 0777, which would leave the output unreadable to the
    // worker; a browser has no user to keep it from.
    umask(022);
    const MessageTexts texts;
    CollectingUserInterface ui(texts);
    RunContext context{ui, PathSyntax::posix(CodePageBytes::none()), texts};
    context.budget = pageBudget();

    const std::string source = name;
    const bool toPsd = context.paths.toLowerMultibyte(context.paths.pathExtension(source)) == "wlx";
    PreviewBuilder preview(!toPsd, previewSide);
    ProgressCounter progress;
    const FormatOperations real = FormatOperations::real();
    context.formats.readWlx = [&](std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink) {
        reportProgress(ProgressCounter::kReadStart);
        PreviewWlxSink watched(sink, preview, progress);
        return real.readWlx(in, doc, conversion, watched);
    };
    context.formats.readPsd = [&](std::FILE* in, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink) {
        reportProgress(ProgressCounter::kReadStart);
        PreviewPsdSink watched(sink, preview, progress);
        return real.readPsd(in, doc, conversion, watched);
    };
    context.formats.writePsd = [&](std::FILE* out, const dib24& canvas, const LayerPacker& packed,
                                   const DocumentInfo& doc, Conversion& conversion) {
        reportProgress(ProgressCounter::kWriteStart);
        return real.writePsd(out, canvas, packed, doc, conversion);
    };
    context.formats.writeWlx = [&](std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc,
                                   Conversion& conversion) {
        reportProgress(ProgressCounter::kWriteStart);
        return real.writeWlx(out, blocks, doc, conversion);
    };

    runConversion({name}, context);
    if (ui.outcome == kConverted) {
        gPreview = preview.take();
        gOutputName = context.paths.siblingPath(source, toPsd ? "psd" : "wlx");
        gNotes = std::move(ui.notes);
    } else {
        gMessageSubject = ui.subject;
        gMessageDetail = ui.detail;
        if (gMessageDetail.find("memory") != std::string::npos) gMessageDetail += largestDocument(context.budget);
    }
    reportProgress(1.0);
    return ui.outcome;
}

EMSCRIPTEN_KEEPALIVE const char* rivodiv_output_name() { return gOutputName.c_str(); }
// After a failure: the rest of the message after its text (the whole message when unknown).
EMSCRIPTEN_KEEPALIVE const char* rivodiv_message_subject() { return gMessageSubject.c_str(); }
// After a failure: why, in English (empty when the program gives no reason).
EMSCRIPTEN_KEEPALIVE const char* rivodiv_message_detail() { return gMessageDetail.c_str(); }
// After a success: the notes the programs print under it, in English.
EMSCRIPTEN_KEEPALIVE int rivodiv_note_count() { return static_cast<int>(gNotes.size()); }
EMSCRIPTEN_KEEPALIVE const char* rivodiv_note(int i) {
    return i >= 0 && static_cast<size_t>(i) < gNotes.size() ? gNotes[static_cast<size_t>(i)].c_str() : "";
}

// The message text before the file name for an Outcome, as code page 932 bytes.
EMSCRIPTEN_KEEPALIVE const char* rivodiv_message_text(int outcome) {
    static const MessageTexts texts;
    switch (outcome) {
        case kFileMissing: return texts.fileMissing.c_str();
        case kUnknownFormat: return texts.unknownFormat.c_str();
        case kReadFailed: return texts.readFailed.c_str();
        case kWriteFailed: return texts.writeFailed.c_str();
        default: return "";
    }
}

EMSCRIPTEN_KEEPALIVE int rivodiv_width() { return gPreview.width; }
EMSCRIPTEN_KEEPALIVE int rivodiv_height() { return gPreview.height; }
EMSCRIPTEN_KEEPALIVE const uint8_t* rivodiv_picture() { return gPreview.picture.data(); }
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_count() { return static_cast<int>(gPreview.layers.size()); }

EMSCRIPTEN_KEEPALIVE const char* rivodiv_layer_name(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->name.data() : nullptr;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_name_size(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? static_cast<int>(p->name.size()) : 0;
}
// The source's name when the output holds only its start (empty otherwise), and the source's mode.
EMSCRIPTEN_KEEPALIVE const char* rivodiv_layer_source_name(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->sourceName.data() : nullptr;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_source_name_size(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? static_cast<int>(p->sourceName.size()) : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_source_mode(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->sourceMode : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_blend_mode(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->blendMode : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_opacity(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->opacity : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_visible(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->visible : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_thumbnail_width(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->thumbnailWidth : 0;
}
EMSCRIPTEN_KEEPALIVE int rivodiv_layer_thumbnail_height(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->thumbnailHeight : 0;
}
EMSCRIPTEN_KEEPALIVE const uint8_t* rivodiv_layer_thumbnail(int i) {
    const LayerPreview* p = layerAt(i);
    return p ? p->thumbnail.data() : nullptr;
}

}  // extern "C"
