#pragma once
#include "image/Layer.h"
#include "image/ThreadPool.h"
#include "image/dib24.h"

// compositeOnto over row bands spread across the pool: the bands are disjoint, so the canvas gets
// the same bytes as from one call.
void compositeInBands(const Layer& layer, dib24& canvas, ThreadPool& pool);
