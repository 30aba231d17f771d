#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "formats/psd/VectorMask.h"
#include "support/TestBytes.h"

namespace {

using testbytes::Bytes;
using testbytes::be::put16;
using testbytes::be::put32;

Bytes head(uint32_t version = 3, uint32_t flags = 0) {
    Bytes b;
    put32(b, version);
    put32(b, flags);
    return b;
}

void lengthRecord(Bytes& b, bool closed, uint32_t knots, int16_t operation = 1) {
    put16(b, closed ? 0 : 3);
    put16(b, knots);
    put16(b, static_cast<uint16_t>(operation));
    b.resize(b.size() + 20, 0);
}

// 8.24 fixed point.
uint32_t fixed(double v) { return static_cast<uint32_t>(static_cast<int32_t>(v * (1 << 24))); }

// A corner knot (control points on the anchor) at (x, y) in fractions of the canvas.
void knotRecord(Bytes& b, double x, double y, uint16_t selector = 2) {
    put16(b, selector);
    for (int i = 0; i < 3; ++i) {
        put32(b, fixed(y));
        put32(b, fixed(x));
    }
}

void plainRecord(Bytes& b, uint16_t selector, uint16_t first = 0) {
    put16(b, selector);
    put16(b, first);
    b.resize(b.size() + 22, 0);
}

TEST(VectorMaskTest, KnotsBecomeCurvesInPixels) {
    // A closed triangle on a 40 x 20 canvas, its first knot with real control points, the second
    // one off the canvas to the upper left (negative fractions).
    Bytes b = head(3, 0x05);
    plainRecord(b, 6);
    lengthRecord(b, true, 3);
    put16(b, 1);
    for (uint32_t v : {fixed(0.25), fixed(0.5), fixed(0.5), fixed(0.5), fixed(0.75), fixed(0.5)}) put32(b, v);
    knotRecord(b, -0.5, -0.25);
    knotRecord(b, 1.0, 1.0);
    psd::VectorMask mask;
    ASSERT_TRUE(psd::readVectorMask(b.data(), b.size(), 40, 20, mask));
    EXPECT_EQ(mask.flags, 0x05u);
    ASSERT_EQ(mask.subpaths.size(), 1u);
    const raster::Subpath& s = mask.subpaths[0];
    EXPECT_EQ(s.start.x, 20);
    EXPECT_EQ(s.start.y, 10);
    const std::vector<raster::Point> curves = {{20, 15}, {-20, -5}, {-20, -5},  // to the second knot
                                               {-20, -5}, {40, 20}, {40, 20},   // to the third
                                               {40, 20}, {20, 5}, {20, 10}};    // back to the first
    ASSERT_EQ(s.curves.size(), curves.size());
    for (size_t i = 0; i < curves.size(); ++i) {
        EXPECT_EQ(s.curves[i].x, curves[i].x) << i;
        EXPECT_EQ(s.curves[i].y, curves[i].y) << i;
    }
}

TEST(VectorMaskTest, RecordsReadAsFarAsTheyGo) {
    struct Case {
        const char* what;
        Bytes bytes;
        bool read;
        std::vector<size_t> curvePoints;  // per subpath
        std::vector<int16_t> operations;
        bool startsFilled;
    };
    auto build = [](auto&& body) {
        Bytes b = head();
        body(b);
        return b;
    };
    const Case cases[] = {
        {"empty", {}, false, {}, {}, false},
        {"cut in the flags", Bytes{0, 0, 0, 3, 0, 0, 0}, false, {}, {}, false},
        {"version 2", head(2), false, {}, {}, false},
        {"no records", head(), true, {}, {}, false},
        {"closed square", build([](Bytes& b) {
             lengthRecord(b, true, 4);
             for (auto [x, y] : {std::pair{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}}) knotRecord(b, x, y);
         }), true, {12}, {1}, false},
        {"open path has no closing curve", build([](Bytes& b) {
             lengthRecord(b, false, 3);
             for (double x : {0.1, 0.2, 0.3}) knotRecord(b, x, x, 5);
         }), true, {6}, {1}, false},
        {"count past the knots present", build([](Bytes& b) {
             lengthRecord(b, true, 500);
             knotRecord(b, 0.1, 0.1);
             knotRecord(b, 0.2, 0.2);
         }), true, {6}, {1}, false},
        {"last record cut short", build([](Bytes& b) {
             lengthRecord(b, true, 2);
             knotRecord(b, 0.1, 0.1);
             knotRecord(b, 0.2, 0.2);
             b.pop_back();
         }), true, {3}, {1}, false},
        {"knots without a length record", build([](Bytes& b) {
             knotRecord(b, 0.1, 0.1);
             lengthRecord(b, true, 0);
             knotRecord(b, 0.2, 0.2);
         }), true, {}, {}, false},
        {"another record ends a subpath early", build([](Bytes& b) {
             lengthRecord(b, true, 3);
             knotRecord(b, 0.1, 0.1);
             plainRecord(b, 8, 1);
             knotRecord(b, 0.2, 0.2);
         }), true, {3}, {1}, true},
        {"two subpaths with their operations", build([](Bytes& b) {
             plainRecord(b, 8, 0);
             lengthRecord(b, true, 1, 0);
             knotRecord(b, 0.1, 0.1);
             lengthRecord(b, true, 2, -1);
             knotRecord(b, 0.1, 0.1);
             knotRecord(b, 0.2, 0.2);
             plainRecord(b, 7);
         }), true, {3, 6}, {0, -1}, false},
        {"unknown selectors and padding skipped", build([](Bytes& b) {
             plainRecord(b, 99);
             lengthRecord(b, true, 1);
             knotRecord(b, 0.1, 0.1);
             b.resize(b.size() + 2, 0);
         }), true, {3}, {1}, false},
    };
    for (const Case& c : cases) {
        psd::VectorMask mask;
        mask.subpaths.resize(3);  // whatever was there is replaced
        ASSERT_EQ(psd::readVectorMask(c.bytes.data(), c.bytes.size(), 100, 100, mask), c.read) << c.what;
        std::vector<size_t> points;
        for (const raster::Subpath& s : mask.subpaths) points.push_back(s.curves.size());
        EXPECT_EQ(points, c.curvePoints) << c.what;
        EXPECT_EQ(mask.operations, c.operations) << c.what;
        EXPECT_EQ(mask.startsFilled, c.startsFilled) << c.what;
    }
}

}  // namespace
