#include "image/Layer.h"
#include "image/dib24.h"

// Placeholder until the blend modes land.
void Layer::compositeOnto(dib24&, const CompositeBounds*) const {}
