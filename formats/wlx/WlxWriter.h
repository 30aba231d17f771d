#pragma once
#include <cstdio>
#include <string>

#include "formats/wlx/LayerCompressor.h"
#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Writes the layers blocks has deflated as a WLX file. False, with the reason in conversion and
// nothing written, when blocks failed (the document cannot be stored in the format, the blocks
// passed the memory budget, or the compression failed). Stream errors are the caller's to detect.
bool writeWlx(std::FILE* out, const LayerCompressor& blocks, const DocumentInfo& doc, Conversion& conversion);
// The same for layers held whole: they go through a LayerCompressor first. Without a conversion,
// this machine's budget holds.
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion);
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc);
bool writeWlxFile(const std::string& path, const LayerTempList& layers, const DocumentInfo& doc);
