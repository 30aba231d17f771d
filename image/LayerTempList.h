#pragma once
#include <vector>

#include "image/Layer.h"

// The ordered layers of a document, element 0 at the bottom. Holds one reference on each layer;
// a layer is deleted when the last list holding it lets go.
class LayerTempList : public std::vector<Layer*> {
public:
    LayerTempList() = default;
    virtual ~LayerTempList();
    LayerTempList(const LayerTempList&) = delete;
    LayerTempList& operator=(const LayerTempList&) = delete;

    void add(Layer* layer);
    void clear();
};
