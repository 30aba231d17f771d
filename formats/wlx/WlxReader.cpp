#include "formats/wlx/WlxReader.h"

// Placeholder until the WLX reader lands.
bool readWlx(std::FILE*, LayerTempList&, DocumentInfo&) { return false; }
bool readWlxFile(const std::string&, LayerTempList&, DocumentInfo&) { return false; }
