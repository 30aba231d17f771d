#include <gtest/gtest.h>

#include <algorithm>

#include "image/LayerTempList.h"
#include "image/Conversion.h"
#include "image/Platform.h"

namespace {

TEST(LayerTest, SqrtTableCheckpoints) {
    Layer layer;
    const std::pair<int, int> checkpoints[] = {{0, 0},    {1, 15},    {2, 22},    {3, 27},   {4, 31},
                                               {64, 127}, {128, 180}, {192, 221}, {254, 254}, {255, 255}};
    for (auto [index, value] : checkpoints) EXPECT_EQ(layer.sqrtTable[index], value) << "entry " << index;
    for (int i = 1; i < 256; ++i) EXPECT_LE(layer.sqrtTable[i - 1], layer.sqrtTable[i]);
}

TEST(LayerTest, ResizeReleasesOldPixelsAndResetsAttributesButKeepsName) {
    Layer layer;
    layer.resize(3, 2, blend::Screen);
    layer.name = "keep";
    layer.pixels.assign(layer.pixels.size(), 0xAB);
    layer.visible = 0;
    layer.opacity = 40;
    layer.alphaLocked = 1;
    layer.clipping = 1;
    layer.resize(2, 5, blend::AlphaChannel);
    EXPECT_EQ(layer.width, 2);
    EXPECT_EQ(layer.height, 5);
    ASSERT_EQ(layer.pixels.size(), 2u * 5u * 4u);
    for (uint8_t b : layer.pixels) EXPECT_EQ(b, 0);
    EXPECT_EQ(layer.name, "keep");
    EXPECT_EQ(layer.visible, 1);
    EXPECT_EQ(layer.opacity, 100);
    EXPECT_EQ(layer.alphaLocked, 0);
    EXPECT_EQ(layer.clipping, 0);
    EXPECT_EQ(layer.blendMode, blend::AlphaChannel);

    // A block large enough to come from the system is zeroed too, written over before or not.
    for (int round = 0; round < 2; ++round) {
        layer.resize(1024, 1024, blend::Normal);
        EXPECT_EQ(std::count(layer.pixels.begin(), layer.pixels.end(), 0), 1024 * 1024 * 4);
        std::fill(layer.pixels.begin(), layer.pixels.end(), 0xAB);
    }

    layer.resize(0, 0, blend::Normal);
    EXPECT_TRUE(layer.pixels.empty());
    EXPECT_EQ(layer.opacity, 100);
}

// Counts destructions so the tests can see exactly when a layer is deleted.
int g_destroyed = 0;
struct CountedLayer : Layer {
    ~CountedLayer() override { ++g_destroyed; }
};

TEST(LayerTempListTest, LayerInTwoListsLivesUntilTheLastLetsGo) {
    g_destroyed = 0;
    auto* shared = new CountedLayer;
    shared->resize(1, 1, blend::Normal);
    {
        LayerTempList first;
        LayerTempList second;
        first.add(shared);
        second.add(shared);
        first.add(new CountedLayer);
        EXPECT_EQ(shared->refCount, 2);
        first.clear();
        EXPECT_EQ(g_destroyed, 1);  // only the layer held by the first list alone
        EXPECT_EQ(shared->refCount, 1);
        EXPECT_TRUE(first.empty());
        first.clear();  // clearing twice is harmless
        EXPECT_EQ(g_destroyed, 1);
    }  // destroying the second list deletes the shared layer
    EXPECT_EQ(g_destroyed, 2);
}

TEST(LayerTempListTest, ClearedListCanBeFilledAgain) {
    LayerTempList list;
    list.clear();
    EXPECT_TRUE(list.empty());
    list.add(new Layer);
    list.clear();
    list.add(new Layer);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->refCount, 1);
}

TEST(MemoryBudgetTest, RefusesTotalsBeyondTheLimitWithoutOverflow) {
    MemoryBudget budget(100);
    EXPECT_TRUE(budget.reserve(60));
    EXPECT_FALSE(budget.reserve(41));
    EXPECT_TRUE(budget.reserve(40));
    EXPECT_FALSE(budget.reserve(UINT64_MAX));
    EXPECT_EQ(budget.used(), 100u);
    EXPECT_GT(physicalMemoryBytes(), 0u);
    // A refusal names what asked and the limit it hit; the first reason recorded stays.
    Conversion conversion(MemoryBudget(100, "a test's 100 bytes"));
    EXPECT_FALSE(conversion.reserve(101, "the canvas"));
    conversion.fail("later");
    EXPECT_EQ(conversion.reason(),
              "the canvas need 101 bytes with 0 in use: past the memory budget of 100 bytes (a test's 100 bytes)");
}

}  // namespace
