#pragma once
#include <cstdio>
#include <string>

#include "formats/psd/LayerPacker.h"
#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"
#include "image/dib24.h"

// Writes a version 1, 8-bit RGB PSD file: the layers packed has taken, with their PackBits
// channels, then the canvas as the merged image with alphaChannels after it. False when the
// document cannot be represented, packed failed, or the merged image's packing passes the
// conversion's memory budget (refused before anything is written), with the reason in conversion.
bool writePsd(std::FILE* out, const dib24& canvas, const LayerPacker& packed, const LayerTempList& alphaChannels,
              const DocumentInfo& doc, Conversion& conversion);
// The same for layers held whole: they go through a LayerPacker first. Without a conversion, this
// machine's budget holds.
bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers,
              const LayerTempList& alphaChannels, const DocumentInfo& doc, Conversion& conversion);
bool writePsd(std::FILE* out, const dib24& canvas, const LayerTempList& layers,
              const LayerTempList& alphaChannels, const DocumentInfo& doc);
// Opens path only once the document is known to fit the format: a refused one leaves no file.
bool writePsdFile(const std::string& path, const dib24& canvas, const LayerTempList& layers,
                  const LayerTempList& alphaChannels, const DocumentInfo& doc);
