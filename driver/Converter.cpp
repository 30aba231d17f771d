#include "driver/Converter.h"

#include <algorithm>
#include <memory>
#include <new>

#include "composite/CompositeBands.h"
#include "driver/FileSystem.h"
#include "driver/OutputFile.h"
#include "formats/psd/PsdWriter.h"
#include "formats/wlx/WlxWriter.h"

FormatOperations FormatOperations::real() {
    FormatOperations ops;
    ops.readWlx = [](std::FILE* in, DocumentInfo& doc, Conversion& conversion, WlxLayerSink& sink) {
        return ::readWlx(in, doc, conversion, sink);
    };
    ops.readPsd = [](std::FILE* in, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink) {
        return ::readPsd(in, doc, conversion, sink);
    };
    ops.composite = compositeInBands;
    ops.writePsd = [](std::FILE* out, const dib24& canvas, const LayerPacker& packed, const DocumentInfo& doc,
                      Conversion& conversion) { return ::writePsd(out, canvas, packed, LayerTempList(), doc, conversion); };
    ops.writeWlx = [](std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc, Conversion& conversion) {
        return ::writeWlx(out, blocks, doc, conversion);
    };
    return ops;
}

namespace {

constexpr uint32_t kWhite = 0xffffff;

enum class Format { Unknown, Wlx, Psd };

Format formatOf(const std::string& path, const PathSyntax& paths) {
    const std::string key = paths.toLowerMultibyte(paths.pathExtension(path));
    if (key == "wlx") return Format::Wlx;
    if (key == "psd" || key == "psb") return Format::Psd;
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
        return anyFailed_ ? 1 : 0;
    }

private:
    int fail(const std::string& text) {
        c_.ui.showMessage(kMessageCaption, text, kErrorFlags);
        return 1;
    }
    // A file that failed to convert: the run goes on, and ends with exit code 1.
    void error(const std::string& text, const std::string& reason = {}) {
        anyFailed_ = true;
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
        if (writeFileReplacing(outputPath, prefix, write, &fileReason)) {
            for (const std::string& note : conversion.notes()) c_.ui.showNote(kMessageCaption, note);
            return;
        }
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
        DocumentInfo doc;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "psd");

        Conversion conversion(pool(), c_.budget);
        // Each layer is composited and packed as soon as it is read, and its storage serves a later
        // one. Nothing is written before the question: the packed channels wait in memory.
        LayerPacker packer(conversion, c_.formats.composite, kWhite, c_.formats.keepPixels);
        if (!readSource(source, conversion, [&](std::FILE* in) { return c_.formats.readWlx(in, doc, conversion, packer); }))
            return;
        packer.finish();

        if (!mayWrite(outputPath, c_.texts.psdExists)) return;
        // A canvas too large to hold would give a merged image that contradicts the header.
        if (!packer.failure().empty()) {
            conversion.fail(packer.failure());
            return error(c_.texts.writeFailed + outputPath, conversion.reason());
        }
        writeOrReport(prefix, outputPath, conversion, [&](std::FILE* out) {
            return c_.formats.writePsd(out, packer.canvas(), packer, doc, conversion);
        });
    }

    void psdToWlx(const std::string& source) {
        DocumentInfo doc;
        const std::string prefix = c_.paths.siblingPrefix(source);
        const std::string outputPath = c_.paths.siblingPath(source, "wlx");

        Conversion conversion(pool(), c_.budget);
        // Each layer is deflated on the pool as soon as it is read, while the next is read, and its
        // storage serves a later one. Nothing is written before the question: the blocks wait in
        // memory. The merged image's alpha channels have no place in a WLX file.
        LayerCompressor compressor(conversion, c_.formats.keepPixels);
        const bool read = readSource(source, conversion, [&](std::FILE* in) {
            return c_.formats.readPsd(in, doc, conversion, compressor);
        });
        compressor.finish();
        if (!read) return;

        if (!mayWrite(outputPath, c_.texts.wlxExists)) return;
        if (!compressor.failure().empty()) {
            conversion.fail(compressor.failure());
            return error(c_.texts.writeFailed + outputPath, conversion.reason());
        }
        writeOrReport(prefix, outputPath, conversion,
                      [&](std::FILE* out) { return c_.formats.writeWlx(out, compressor, doc, conversion); });
    }

    ThreadPool& pool() {
        if (c_.pool != nullptr) return *c_.pool;
        if (!ownPool_) ownPool_ = std::make_unique<ThreadPool>(1);
        return *ownPool_;
    }

    RunContext& c_;
    std::unique_ptr<ThreadPool> ownPool_;
    bool anyFailed_ = false;
};

}  // namespace

int runConversion(const std::vector<std::string>& arguments, RunContext& context) {
    return Run(context)(arguments);
}
