#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/Messages.h"
#include "driver/Paths.h"
#include "driver/UserInterface.h"
#include "formats/psd/LayerPacker.h"
#include "formats/psd/PsdReader.h"
#include "formats/wlx/LayerCompressor.h"
#include "formats/wlx/WlxReader.h"
#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/ThreadPool.h"
#include "image/dib24.h"

// The readers, writers and compositing the run uses; the defaults are the real ones. Tests swap
// in scripted ones to drive the loop through outcomes the real formats make hard to reach. Each
// direction is one pipeline: the reader hands every layer to the stage (the packer or the
// compressor) as soon as it is read, and the writer takes what the stage made.
struct FormatOperations {
    std::function<bool(std::FILE*, DocumentInfo&, Conversion&, WlxLayerSink&)> readWlx;
    std::function<bool(std::FILE*, DocumentInfo&, Conversion&, PsdLayerSink&)> readPsd;
    LayerPacker::Composite composite;
    std::function<bool(std::FILE*, const dib24&, const LayerPacker&, const DocumentInfo&, Conversion&)> writePsd;
    std::function<bool(std::FILE*, const LayerCompressor&, const DocumentInfo&, Conversion&)> writeWlx;
    // Whether the stages leave every layer its pixels, for a caller that shows them afterwards.
    bool keepPixels = false;

    static FormatOperations real();
};

// Everything one run depends on besides its arguments.
struct RunContext {
    UserInterface& ui;
    PathSyntax paths;
    MessageTexts texts = {};
    FormatOperations formats = FormatOperations::real();
    // The memory each conversion may take: this machine's unless a test sets a smaller one.
    MemoryBudget budget = {};
    // The threads each conversion may use; one when none is given.
    ThreadPool* pool = nullptr;
};

// Converts every file named in arguments (the command line after the program name; with none,
// the one file the user chooses). Returns the exit code: 1 when nothing was chosen or a file
// failed the checks (then nothing is converted) or any file failed to convert, 0 otherwise. A
// declined overwrite is the user's choice, not a failure.
int runConversion(const std::vector<std::string>& arguments, RunContext& context);
