#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "formats/wlx/WlxReader.h"

namespace {

// The shipped example must stay a readable, real-looking layered document.
TEST(WlxExampleTest, ExampleDocumentReads) {
    LayerTempList layers;
    DocumentInfo doc;
    ASSERT_TRUE(readWlxFile(std::string(RIVODIV_SOURCE_DIR) + "/examples/example.wlx", layers, doc));
    EXPECT_EQ(doc.width, 256);
    EXPECT_EQ(doc.height, 192);
    ASSERT_GE(layers.size(), 4u);

    const Layer& bottom = *layers[0];
    bool opaque = true;
    for (size_t i = 3; i < bottom.pixels.size(); i += 4) opaque = opaque && bottom.pixels[i] == 255;
    EXPECT_TRUE(opaque) << "the background covers the canvas";

    bool hidden = false, japanese = false, softEdges = false, translucent = false;
    std::set<BlendMode> modes;
    for (const Layer* layer : layers) {
        hidden |= layer->visible == 0;
        japanese |= std::any_of(layer->name.begin(), layer->name.end(), [](char c) { return c & 0x80; });
        translucent |= layer->opacity < 100;
        for (size_t i = 3; i < layer->pixels.size(); i += 4) softEdges |= layer->pixels[i] > 0 && layer->pixels[i] < 255;
        modes.insert(layer->blendMode);
    }
    EXPECT_TRUE(hidden && japanese && softEdges && translucent);
    EXPECT_GE(modes.size(), 3u);
}

}  // namespace
