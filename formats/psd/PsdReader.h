#pragma once
#include <cstdio>
#include <string>

#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Reads an 8-bit RGB PSD file: layers into layers (cleared first), extra alpha channels of the
// merged image into alphaChannels (appended), size and resolution into doc. False, with the reason
// in conversion, when the file is damaged, foreign or past the conversion's memory budget. Without a
// conversion, this machine's budget holds. Each layer, once complete, is handed to the conversion's
// layer sink when it has one.
bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc,
             Conversion& conversion);
bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc);
bool readPsdFile(const std::string& path, LayerTempList& layers, LayerTempList& alphaChannels,
                 DocumentInfo& doc);
