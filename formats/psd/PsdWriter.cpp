#include "formats/psd/PsdWriter.h"

// Placeholder until the PSD writer lands.
bool writePsd(std::FILE*, const dib24&, const LayerTempList&, const LayerTempList&, const DocumentInfo&) {
    return false;
}
bool writePsdFile(const std::string&, const dib24&, const LayerTempList&, const LayerTempList&,
                  const DocumentInfo&) {
    return false;
}
