#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

#include "image/Conversion.h"
#include "image/DocumentInfo.h"
#include "image/LayerTempList.h"

// Where the PSD reader hands the layers, each as soon as it is complete, in file order (bottom
// first).
class PsdLayerSink {
public:
    virtual ~PsdLayerSink() = default;
    // Before the first layer: the document, how many layers follow (a file without layers gives one,
    // made from its merged image) and how many alpha channels the merged image has. False, with the
    // reason in the conversion, when they cannot be held: the read fails.
    virtual bool begin(const DocumentInfo& doc, size_t layerCount, size_t alphaCount) = 0;
    // Storage for the next layer's pixels, from a layer handed over that no longer needs it: pages
    // already touched cost nothing to fill again. Empty when there is none. May wait until a layer
    // handed over lets go of its storage.
    virtual PixelBytes nextPixels() { return {}; }
    // Takes a finished layer, with one reference on it; the reader no longer touches it. storedBytes
    // is what its channels took in the file: a hint of how long its pixels take to compress.
    virtual void layerRead(Layer* layer, uint64_t storedBytes) = 0;
    // Whether the merged image's alpha channels are wanted; they are decoded and dropped otherwise.
    virtual bool keepsAlphaChannels() const { return false; }
    virtual void alphaChannelRead(Layer*) {}
};

// Reads an 8-bit RGB PSD file into sink, size and resolution into doc. False, with the reason in
// conversion, when the file is damaged, foreign or past the conversion's memory budget.
bool readPsd(std::FILE* in, DocumentInfo& doc, Conversion& conversion, PsdLayerSink& sink);
// The same, keeping the layers in layers (cleared first) and the merged image's alpha channels in
// alphaChannels (appended). Without a conversion, this machine's budget holds.
bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc,
             Conversion& conversion);
bool readPsd(std::FILE* in, LayerTempList& layers, LayerTempList& alphaChannels, DocumentInfo& doc);
bool readPsdFile(const std::string& path, LayerTempList& layers, LayerTempList& alphaChannels,
                 DocumentInfo& doc);
