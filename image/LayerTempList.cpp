#include "image/LayerTempList.h"

LayerTempList::~LayerTempList() { clear(); }

void LayerTempList::add(Layer* layer) {
    ++layer->refCount;
    push_back(layer);
}

void LayerTempList::clear() {
    for (Layer* layer : *this) {
        if (--layer->refCount == 0) delete layer;
    }
    std::vector<Layer*>::clear();
    shrink_to_fit();
}
