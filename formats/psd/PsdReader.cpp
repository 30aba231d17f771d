#include "formats/psd/PsdReader.h"

// Placeholder until the PSD reader lands.
bool readPsd(std::FILE*, LayerTempList& layers, LayerTempList&, DocumentInfo&) {
    layers.clear();
    return false;
}
bool readPsdFile(const std::string&, LayerTempList& layers, LayerTempList&, DocumentInfo&) {
    layers.clear();
    return false;
}
