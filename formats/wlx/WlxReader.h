#pragma once
#include <cstdio>
#include <string>

#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Appends the layers of the WLX file at the stream's position to layers and sets doc's width and
// height. False when the file is damaged or foreign, or its layers pass the conversion's memory
// budget, with the reason in conversion; layers completed before that stay in the list. Without a
// conversion, this machine's budget holds.
bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc, Conversion& conversion);
bool readWlx(std::FILE* in, LayerTempList& layers, DocumentInfo& doc);
bool readWlxFile(const std::string& path, LayerTempList& layers, DocumentInfo& doc);
