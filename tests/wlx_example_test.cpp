#include <gtest/gtest.h>

#include <algorithm>

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
    std::vector<BlendMode> modes;
    for (const Layer* layer : layers) {
        hidden = hidden || layer->visible == 0;
        japanese = japanese || std::any_of(layer->name.begin(), layer->name.end(),
                                           [](char c) { return static_cast<unsigned char>(c) >= 0x81; });
        translucent = translucent || layer->opacity < 100;
        for (size_t i = 3; i < layer->pixels.size() && !softEdges; i += 4) {
            softEdges = layer->pixels[i] > 0 && layer->pixels[i] < 255;
        }
        modes.push_back(layer->blendMode);
    }
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(japanese);
    EXPECT_TRUE(softEdges);
    EXPECT_TRUE(translucent);
    std::sort(modes.begin(), modes.end());
    EXPECT_GE(std::unique(modes.begin(), modes.end()) - modes.begin(), 3);
}

}  // namespace
