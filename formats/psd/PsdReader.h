#pragma once
#include <cstdio>
#include <string>

#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Reads an 8-bit RGB PSD file: layers into layers (cleared first), extra alpha channels of the
// merged image into alphaChannels (appended), size and resolution into doc.
bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc);
bool readPsdFile(const std::string& path, LayerTempList& layers, LayerTempList& alphaChannels,
                 DocumentInfo& doc);
