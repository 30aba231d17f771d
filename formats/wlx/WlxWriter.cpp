#include "formats/wlx/WlxWriter.h"

// Placeholder until the WLX writer lands.
bool writeWlx(std::FILE*, const LayerTempList&, const DocumentInfo&) { return false; }
bool writeWlxFile(const std::string&, const LayerTempList&, const DocumentInfo&) { return false; }
