#pragma once
#include <cstdio>
#include <string>

#include "formats/psd/LayerPacker.h"
#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"
#include "image/dib24.h"

// Writes a version 1, 8-bit RGB PSD file: every layer with PackBits channels, the canvas as the
// merged image. False when the document cannot be represented or its packed channels pass the
// conversion's memory budget (refused before anything is written), with the reason in conversion.
// The layers packed already are taken from packed, when given. Without a conversion, this
// machine's budget holds.
bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers,
              const LayerTempList& alphaChannels, const DocumentInfo& doc, Conversion& conversion,
              const LayerPacker* packed = nullptr);
bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers,
              const LayerTempList& alphaChannels, const DocumentInfo& doc);
bool writePsdFile(const std::string& path, const dib24& canvas, const LayerTempList& layers,
                  const LayerTempList& alphaChannels, const DocumentInfo& doc);
