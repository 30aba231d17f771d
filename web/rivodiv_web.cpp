// The conversion as the page's worker calls it: the program's own conversion run over files in
// emscripten's in-memory file system, with the picture and the layer list kept for the preview.
#include <emscripten.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "driver/Converter.h"

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
    std::string name;
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

void keepPicture(const dib24& canvas) {
    gPreview.width = canvas.bits ? canvas.width : 0;
    gPreview.height = canvas.bits ? canvas.height : 0;
    gPreview.picture.assign(static_cast<size_t>(gPreview.width) * gPreview.height * 4, 255);
    uint8_t* to = gPreview.picture.data();
    for (int32_t y = 0; y < gPreview.height; ++y) {
        const uint8_t* from = canvas.bits + static_cast<size_t>(gPreview.height - 1 - y) * canvas.stride;
        for (int32_t x = 0; x < gPreview.width; ++x, from += 3, to += 4) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    }
}

// A nearest-pixel reduction to at most kThumbnailSide on the longer side.
void keepLayers(const LayerTempList& layers) {
    gPreview.layers.clear();
    for (const Layer* layer : layers) {
        LayerPreview p;
        p.name = layer->name;
        p.blendMode = layer->blendMode;
        p.opacity = layer->opacity;
        p.visible = layer->visible;
        const int32_t w = layer->width, h = layer->height;
        if (w > 0 && h > 0 && layer->pixels.size() >= static_cast<size_t>(w) * h * 4) {
            const int32_t longer = std::max(w, h);
            const int32_t side = std::min(kThumbnailSide, longer);
            p.thumbnailWidth = std::max<int32_t>(1, static_cast<int32_t>(int64_t{w} * side / longer));
            p.thumbnailHeight = std::max<int32_t>(1, static_cast<int32_t>(int64_t{h} * side / longer));
            p.thumbnail.resize(static_cast<size_t>(p.thumbnailWidth) * p.thumbnailHeight * 4);
            uint8_t* to = p.thumbnail.data();
            for (int32_t ty = 0; ty < p.thumbnailHeight; ++ty) {
                const int64_t y = int64_t{ty} * h / p.thumbnailHeight;
                for (int32_t tx = 0; tx < p.thumbnailWidth; ++tx, to += 4) {
                    const int64_t x = int64_t{tx} * w / p.thumbnailWidth;
                    const uint8_t* from = layer->pixels.data() + (y * w + x) * 4;
                    to[0] = from[2];
                    to[1] = from[1];
                    to[2] = from[0];
                    to[3] = from[3];
                }
            }
        }
        gPreview.layers.push_back(std::move(p));
    }
}

// A document too large for its preview beside it still converts, only without the preview.
void keepPreview(const dib24& canvas, const LayerTempList& layers) {
    try {
        keepPicture(canvas);
        keepLayers(layers);
    } catch (const std::bad_alloc&) {
        gPreview = Preview{};
    }
}

const LayerPreview* layerAt(int index) {
    if (index < 0 || static_cast<size_t>(index) >= gPreview.layers.size()) return nullptr;
    return &gPreview.layers[static_cast<size_t>(index)];
}

}  // namespace

extern "C" {

// Converts the file name in the current folder of the in-memory file system. Returns an Outcome;
// on success rivodiv_output_name names the file written beside it.
EMSCRIPTEN_KEEPALIVE int rivodiv_convert(const char* name) {
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

    const FormatOperations real = FormatOperations::real();
    double remaining = 1.0;
    // The preview shows every layer after the read: the stages leave the layers their pixels.
    context.formats.keepPixels = true;
    context.formats.readWlx = [&](std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink) {
        reportProgress(0.05);
        const bool ok = real.readWlx(in, doc, conversion, sink);
        reportProgress(0.7);
        return ok;
    };
    context.formats.readPsd = [&](std::FILE* in, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink) {
        reportProgress(0.05);
        const bool ok = real.readPsd(in, doc, conversion, sink);
        reportProgress(0.4);
        return ok;
    };
    // The WLX reader composites each layer as it arrives; the count is not known before, so each
    // layer moves the bar half of the way that is left.
    context.formats.composite = [&](const Layer& layer, dib24& canvas, ThreadPool& pool) {
        real.composite(layer, canvas, pool);
        remaining /= 2;
        reportProgress(0.7 - 0.65 * remaining);
    };
    context.formats.writePsd = [&](std::FILE* out, const dib24& canvas, const LayerPacker& packed,
                                   const DocumentInfo& doc, Conversion& conversion) {
        keepPreview(canvas, packed.layers());
        reportProgress(0.75);
        return real.writePsd(out, canvas, packed, doc, conversion);
    };
    context.formats.writeWlx = [&](std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc,
                                   Conversion& conversion) {
        // The picture a PSD of these layers would carry, composited as the other direction does.
        const LayerTempList& layers = blocks.layers();
        dib24 canvas;
        canvas.create(doc.width, doc.height, 0);
        canvas.fill(kWhite);
        for (size_t i = 0; i < layers.size(); ++i) {
            real.composite(*layers[i], canvas, conversion.pool());
            reportProgress(0.4 + 0.3 * static_cast<double>(i + 1) / static_cast<double>(layers.size()));
        }
        keepPreview(canvas, layers);
        reportProgress(0.75);
        return real.writeWlx(out, blocks, doc, conversion);
    };

    runConversion({name}, context);
    if (ui.outcome == kConverted) {
        const std::string source = name;
        const bool toPsd = context.paths.toLowerMultibyte(context.paths.pathExtension(source)) == "wlx";
        gOutputName = context.paths.siblingPath(source, toPsd ? "psd" : "wlx");
        gNotes = std::move(ui.notes);
    } else {
        gPreview = Preview{};
        gMessageSubject = ui.subject;
        gMessageDetail = ui.detail;
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
