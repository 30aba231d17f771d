#include "driver/Converter.h"

#include <algorithm>
#include <new>

#include "composite/CompositeBands.h"
#include "driver/OutputFile.h"
#include "formats/psd/PsdReader.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxReader.h"
#include "formats/wlx/WlxWriter.h"
#include "image/MemoryBudget.h"

FormatOperations FormatOperations::real() {
    FormatOperations ops;
    ops.readWlx = ::readWlx;
    ops.readPsd = ::readPsd;
    ops.composite = compositeInBands;
    ops.writePsd = ::writePsd;
    ops.writeWlx = ::writeWlx;
    return ops;
}

namespace {

constexpr uint32_t kWhite = 0xffffff;

enum class Format { Unknown, Wlx, Psd };

// Whether the layers already read and the working memory the output still needs fit in memory
// together; the readers only counted the layers.
bool fitsWithLayers(const LayerTempList& layers, uint64_t workingBytes) {
    MemoryBudget budget;
    for (const Layer* layer : layers) {
        if (!budget.reserve(layer->pixels.size())) return false;
    }
    return budget.reserve(workingBytes);
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
    void error(const std::string& text) { c_.ui.showMessage(kMessageCaption, text, kErrorFlags); }

    // The overwrite question, asked only when an entry (not a directory) is in the way.
    bool mayWrite(const std::string& outputPath, const std::string& formatPrefix) {
        if (!fileExists(outputPath)) return true;
        const std::string text = formatPrefix + outputPath + c_.texts.existsQuestion;
        return c_.ui.showMessage(kMessageCaption, text, kQuestionFlags) == kAnswerOk;
    }

    void writeOrReport(const std::string& prefix, const std::string& outputPath,
                       const std::function<bool(std::FILE*)>& write) {
        if (!writeFileReplacing(outputPath, prefix, write)) error(c_.texts.writeFailed + outputPath);
    }

    // Opens the source, runs its reader and closes it before any message; false after reporting
    // the read failure. Running out of memory while reading is one.
    bool readSource(const std::string& source, const std::function<bool(std::FILE*)>& read) {
        std::FILE* in = std::fopen(source.c_str(), "rb");
        bool ok = false;
        try {
            ok = in != nullptr && read(in);
        } catch (const std::bad_alloc&) {
        }
        if (in) std::fclose(in);
        if (!ok) error(c_.texts.readFailed + source);
        return ok;
    }

    void wlxToPsd(const std::string& source) {
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        doc.resolution = 72;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "psd");

        if (!readSource(source, [&](std::FILE* in) { return c_.formats.readWlx(in, layers, doc); })) return;

        if (!mayWrite(outputPath, c_.texts.psdExists)) return;

        if (!fitsWithLayers(layers, dib24::imageBytes(doc.width, doc.height)))
            return error(c_.texts.writeFailed + outputPath);
        dib24 canvas;
        canvas.create(doc.width, doc.height, 0);
        // A canvas too large to hold would give a merged image that contradicts the header.
        if (canvas.bits == nullptr)
            return error(c_.texts.writeFailed + outputPath);
        canvas.fill(kWhite);
        for (const Layer* layer : layers) c_.formats.composite(*layer, canvas);

        writeOrReport(prefix, outputPath, [&](std::FILE* out) {
            return c_.formats.writePsd(out, canvas, layers, alphaChannels, doc);
        });
    }

    void psdToWlx(const std::string& source) {
        LayerTempList layers;
        LayerTempList alphaChannels;
        DocumentInfo doc;
        doc.resolution = 72;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "wlx");

        const bool read = readSource(source, [&](std::FILE* in) {
            if (c_.formats.readPsd(in, layers, alphaChannels, doc)) return true;
            layers.clear();
            return false;
        });
        if (!read) return;

        if (!mayWrite(outputPath, c_.texts.wlxExists)) return;

        // The writer's scratch copy of a layer and its compressed block.
        const uint64_t layerBytes = Layer::pixelBytes(std::max(doc.width, 0), std::max(doc.height, 0));
        if (!fitsWithLayers(layers, layerBytes * 2)) return error(c_.texts.writeFailed + outputPath);
        // The alpha channels have no place in the WLX file and are dropped with the list.
        writeOrReport(prefix, outputPath,
                      [&](std::FILE* out) { return c_.formats.writeWlx(out, layers, doc); });
    }

    RunContext& c_;
};

}  // namespace

int runConversion(const std::vector<std::string>& arguments, RunContext& context) {
    return Run(context)(arguments);
}
