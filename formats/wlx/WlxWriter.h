#pragma once
#include <cstdio>
#include <string>

#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Writes layers as a WLX file. False when the document cannot be stored in the format (refused
// before anything is written) or the compression fails. Stream errors are the caller's to detect.
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc);
bool writeWlxFile(const std::string& path, const LayerTempList& layers, const DocumentInfo& doc);
