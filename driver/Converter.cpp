#include "driver/Converter.h"

#include <algorithm>
#include <new>

#include "composite/CompositeBands.h"
#include "driver/FileSystem.h"
#include "driver/OutputFile.h"
#include "formats/psd/LayerPacker.h"
#include "formats/psd/PsdReader.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/LayerCompressor.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "image/ThreadPool.h"

FormatOperations FormatOperations::real() {
    FormatOperations ops;
    ops.readWlx = [](std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion) {
        return ::readWlx(in, layers, doc, conversion);
    };
    ops.readPsd = [](std::FILE* in, LayerTempList& layers, LayerTempList& alphas, DocumentInfo& doc,
                     Conversion& conversion) { return ::readPsd(in, layers, alphas, doc, conversion); };
    ops.composite = compositeInBands;
    ops.writePsd = [](std::FILE* out, const dib24& canvas, const LayerTempList& layers, const LayerTempList& alphas,
                      const DocumentInfo& doc, Conversion& conversion) {
        // The channels packed while reading, when the run set a packer to work on it.
        return ::writePsd(out, canvas, layers, alphas, doc, conversion,
                          dynamic_cast<const LayerPacker*>(conversion.layerSink()));
    };
    ops.writeWlx = [](std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion) {
        // The blocks the read has already compressed, when the run set a compressor to work on it.
        if (auto* kept = dynamic_cast<LayerCompressor*>(conversion.layerSink()))
            return ::writeWlx(out, layers, doc, conversion, *kept);
        return ::writeWlx(out, layers, doc, conversion);
    };
    return ops;
}

namespace {

constexpr uint32_t kWhite = 0xffffff;

enum class Format { Unknown, Wlx, Psd };

// The readers reserved what they expected to make; from here on the budget holds what they made.
bool keepLayersOnly(Conversion& conversion, const LayerTempList& layers) {
    conversion.budget().releaseAll();
    for (const Layer* layer : layers) {
        if (!conversion.reserve(layer->pixels.size(), "the layers read")) return false;
    }
    return true;
}

Format formatOf(const std::string& path, const PathSyntax& paths) {
    const std::string key = paths.toLowerMultibyte(paths.pathExtension(path));
    if (key == "wlx") return Format::Wlx;
    if (key == "psd") return Format::Psd;
    return Format::Unknown;
}

class Run {
public:
    explicit Run(RunContext& context) : c_(context) {}

    int operator()(const std::vector<std::string>& arguments) {
        std::vector<std::string> inputFiles = arguments;
        if (inputFiles.empty()) {
            std::string chosen = c_.ui.chooseFile(c_.texts.chooseTitle);
            if (chosen.empty()) return 1;
            inputFiles.push_back(std::move(chosen));
        }
        for (const std::string& path : inputFiles) {
            if (!fileExists(path)) return fail(c_.texts.fileMissing + path);
            if (formatOf(path, c_.paths) == Format::Unknown) return fail(c_.texts.unknownFormat + path);
        }
        for (const std::string& path : inputFiles) {
            if (formatOf(path, c_.paths) == Format::Wlx)
                wlxToPsd(path);
            else
                psdToWlx(path);
        }
        return 0;
    }

private:
    int fail(const std::string& text) {
        error(text);
        return 1;
    }
    void error(const std::string& text, const std::string& reason = {}) {
        c_.ui.showMessage(kMessageCaption, text, kErrorFlags, reason);
    }

    // The overwrite question, asked only when an entry (not a directory) is in the way.
    bool mayWrite(const std::string& outputPath, const std::string& formatPrefix) {
        if (!fileExists(outputPath)) return true;
        const std::string text = formatPrefix + outputPath + c_.texts.existsQuestion;
        return c_.ui.showMessage(kMessageCaption, text, kQuestionFlags) == kAnswerOk;
    }

    void writeOrReport(const std::string& prefix, const std::string& outputPath, Conversion& conversion,
                       const std::function<bool(std::FILE*)>& write) {
        std::string fileReason;
        if (writeFileReplacing(outputPath, prefix, write, &fileReason)) return;
        if (!fileReason.empty()) conversion.fail(fileReason);
        error(c_.texts.writeFailed + outputPath, conversion.reason());
    }

    // Opens the source, runs its reader and closes it before any message; false after reporting
    // the read failure. Running out of memory while reading is one.
    bool readSource(const std::string& source, Conversion& conversion, const std::function<bool(std::FILE*)>& read) {
        std::FILE* in = files::openForReading(source);
        bool ok = false;
        try {
            ok = in != nullptr ? read(in) : conversion.fail("the file cannot be opened");
        } catch (const std::bad_alloc&) {
            conversion.fail("out of memory");
        }
        if (in) std::fclose(in);
        if (!ok) error(c_.texts.readFailed + source, conversion.reason());
        return ok;
    }

    void wlxToPsd(const std::string& source) {
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        doc.resolution = 72;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "psd");

        Conversion conversion(c_.budget);
        // Each layer is composited and packed as soon as it is read, and its storage serves the
        // next: the layers are never all held at once. Nothing is written before the question.
        LayerPacker packer(c_.formats.composite, kWhite);
        conversion.setLayerSink(&packer);
        if (!readSource(source, conversion, [&](std::FILE* in) { return c_.formats.readWlx(in, layers, doc, conversion); })) return;

        if (!mayWrite(outputPath, c_.texts.psdExists)) return;

        if (packer.started()) {
            conversion.budget().releaseAll();
            if (!packer.failure().empty()) conversion.fail(packer.failure());
            if (!packer.failure().empty() || !conversion.reserve(packer.heldBytes(), "the layers read"))
                return error(c_.texts.writeFailed + outputPath, conversion.reason());
            return writeOrReport(prefix, outputPath, conversion, [&](std::FILE* out) {
                return c_.formats.writePsd(out, packer.canvas(), layers, alphaChannels, doc, conversion);
            });
        }

        dib24 canvas;
        // A canvas too large to hold would give a merged image that contradicts the header.
        if (!keepLayersOnly(conversion, layers) || !canvas.create(doc.width, doc.height, 0, conversion))
            return error(c_.texts.writeFailed + outputPath, conversion.reason());
        canvas.fill(kWhite);
        for (const Layer* layer : layers) c_.formats.composite(*layer, canvas);

        writeOrReport(prefix, outputPath, conversion, [&](std::FILE* out) {
            return c_.formats.writePsd(out, canvas, layers, alphaChannels, doc, conversion);
        });
    }

    void psdToWlx(const std::string& source) {
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        doc.resolution = 72;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "wlx");

        Conversion conversion(c_.budget);
        // With more than one thread, each layer is compressed while the next is read; with one, as
        // soon as it is read, and its storage takes the next. Nothing is written before the
        // question: the blocks wait in memory for the writer.
        LayerCompressor compressor(ThreadPool::shared().size() > 1 ? LayerCompressor::Mode::OwnThread
                                                                   : LayerCompressor::Mode::ReadingThread);
        conversion.setLayerSink(&compressor);
        const bool read = readSource(source, conversion, [&](std::FILE* in) {
            const bool ok = c_.formats.readPsd(in, layers, alphaChannels, doc, conversion);
            compressor.readFinished();
            if (ok) return true;
            compressor.stop();
            layers.clear();
            return false;
        });
        if (!read) return;

        if (!mayWrite(outputPath, c_.texts.wlxExists)) return;

        if (!keepLayersOnly(conversion, layers)) return error(c_.texts.writeFailed + outputPath, conversion.reason());
        // The alpha channels have no place in the WLX file and are dropped with the list.
        writeOrReport(prefix, outputPath, conversion,
                      [&](std::FILE* out) { return c_.formats.writeWlx(out, layers, doc, conversion); });
    }

    RunContext& c_;
};

}  // namespace

int runConversion(const std::vector<std::string>& arguments, RunContext& context) {
    return Run(context)(arguments);
}
