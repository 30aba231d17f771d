#pragma once
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/Messages.h"
#include "driver/Paths.h"
#include "driver/UserInterface.h"
#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"
#include "image/dib24.h"

// The readers, writers and compositing the run uses; the defaults are the real ones. Tests swap
// in scripted ones to drive the loop through outcomes the real formats make hard to reach.
struct FormatOperations {
    std::function<bool(std::FILE*, LayerTempList&, DocumentInfo&, Conversion&)> readWlx;
    std::function<bool(std::FILE*, LayerTempList&, LayerTempList&, DocumentInfo&, Conversion&)> readPsd;
    std::function<void(const Layer&, dib24&)> composite;
    std::function<bool(std::FILE*, const dib24&, const LayerTempList&, const LayerTempList&,
                       const DocumentInfo&, Conversion&)>
        writePsd;
    std::function<bool(std::FILE*, const LayerTempList&, const DocumentInfo&, Conversion&)> writeWlx;

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
};

// Converts every file named in arguments (the command line after the program name; with none,
// the one file the user chooses). Returns the exit code: 1 when nothing was chosen or a file
// failed the checks (then nothing is converted), 0 otherwise.
int runConversion(const std::vector<std::string>& arguments, RunContext& context);
