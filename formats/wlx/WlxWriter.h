#pragma once
#include <cstdio>
#include <string>

#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

class LayerCompressor;

// Writes layers as a WLX file. False when the document cannot be stored in the format (refused
// before anything is written), its working memory passes the conversion's budget, or the
// compression fails; the reason is in conversion. Stream errors are the caller's to detect. Without a
// conversion, this machine's budget holds.
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion);
// The same bytes, taking the blocks kept has already compressed instead of compressing those layers
// again. The kept blocks are charged to the budget after the writer's own memory; when they do not
// fit, kept is stopped and every layer compressed here.
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc, Conversion& conversion,
              LayerCompressor& kept);
bool writeWlx(std::FILE* out, const LayerTempList& layers, const DocumentInfo& doc);
bool writeWlxFile(const std::string& path, const LayerTempList& layers, const DocumentInfo& doc);
