#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <tuple>
#include <utility>
#include <vector>

#include "image/PathRaster.h"

namespace {

using raster::FillRule;
using raster::Point;
using raster::Subpath;

// A polygon as straight cubic curves (control points on the anchors).
Subpath polygon(const std::vector<Point>& corners) {
    Subpath s{corners.front(), {}};
    for (size_t i = 1; i <= corners.size(); ++i) {
        const Point& from = corners[i - 1];
        const Point& to = corners[i % corners.size()];
        s.curves.insert(s.curves.end(), {from, to, to});
    }
    return s;
}

Subpath rect(double x0, double y0, double x1, double y1, bool reversed = false) {
    return reversed ? polygon({{x0, y0}, {x0, y1}, {x1, y1}, {x1, y0}}) : polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
}

// Four cubic quarters, clockwise on screen unless reversed.
Subpath circle(double cx, double cy, double r, bool reversed = false) {
    const double k = 0.5522847498307936 * r;
    const double d = reversed ? -1 : 1;
    Subpath s{{cx + r, cy}, {}};
    const Point quarter[4][3] = {{{cx + r, cy + d * k}, {cx + k, cy + d * r}, {cx, cy + d * r}},
                                 {{cx - k, cy + d * r}, {cx - r, cy + d * k}, {cx - r, cy}},
                                 {{cx - r, cy - d * k}, {cx - k, cy - d * r}, {cx, cy - d * r}},
                                 {{cx + k, cy - d * r}, {cx + r, cy - d * k}, {cx + r, cy}}};
    for (const auto& q : quarter) s.curves.insert(s.curves.end(), {q[0], q[1], q[2]});
    return s;
}

struct Plane {
    int32_t width, height;
    std::vector<uint8_t> bytes;
    Plane(int32_t w, int32_t h) : width(w), height(h), bytes(static_cast<size_t>(w) * h, 0xEE) {}
    uint8_t at(int32_t x, int32_t y) const { return bytes[static_cast<size_t>(y) * width + x]; }
    bool fill(const std::vector<Subpath>& path, FillRule rule) {
        return raster::fillPath(path, rule, width, height, bytes.data());
    }
};

struct Expect {
    int32_t x, y;
    int value;
};

TEST(PathRasterTest, CoverageOfStraightEdges) {
    struct Case {
        const char* what;
        std::vector<Subpath> path;
        std::vector<Expect> pixels;
    };
    const Case cases[] = {
        {"whole-pixel square", {rect(2, 2, 6, 6)}, {{2, 2, 255}, {5, 5, 255}, {1, 3, 0}, {6, 3, 0}, {3, 6, 0}, {3, 1, 0}}},
        {"drawn the other way round", {rect(2, 2, 6, 6, true)}, {{2, 2, 255}, {5, 5, 255}, {1, 3, 0}, {6, 6, 0}}},
        {"vertical edges through pixel middles", {rect(1.5, 2, 4.5, 5)}, {{1, 3, 128}, {2, 3, 255}, {4, 3, 128}, {5, 3, 0}}},
        {"horizontal edges through pixel middles", {rect(2, 1.5, 5, 4.5)}, {{3, 1, 128}, {3, 2, 255}, {3, 4, 128}, {3, 5, 0}}},
        {"a quarter of a pixel", {rect(1.5, 1.5, 4, 4)}, {{1, 1, 64}, {2, 1, 128}, {2, 2, 255}}},
        {"edge a quarter in", {rect(2.25, 2, 3.75, 3)}, {{2, 2, 191}, {3, 2, 191}}},
        {"sloped edge halves its pixels", {polygon({{0, 0}, {8, 0}, {0, 8}})}, {{0, 0, 255}, {3, 3, 255}, {4, 4, 0}, {3, 4, 128}, {2, 5, 128}, {5, 2, 128}}},
        {"off the top and left", {rect(-3, -3, 2, 2)}, {{0, 0, 255}, {1, 1, 255}, {2, 2, 0}}},
        {"off the right and bottom", {rect(6, 6, 20, 30)}, {{7, 7, 255}, {5, 7, 0}}},
        {"wholly off to the right", {rect(9, 0, 12, 8)}, {{7, 4, 0}}},
        {"wholly off to the left covers nothing", {rect(-5, 0, -1, 8)}, {{0, 4, 0}}},
        {"two subpaths", {rect(0, 0, 2, 2), rect(5, 5, 7, 7)}, {{1, 1, 255}, {6, 6, 255}, {3, 3, 0}}},
    };
    for (const Case& c : cases) {
        for (FillRule rule : {FillRule::nonZero, FillRule::evenOdd}) {
            Plane plane(8, 8);
            ASSERT_TRUE(plane.fill(c.path, rule)) << c.what;
            for (const Expect& e : c.pixels) {
                const int tolerance = e.value == 0 || e.value == 255 ? 0 : 1;
                EXPECT_NEAR(plane.at(e.x, e.y), e.value, tolerance) << c.what << " at " << e.x << "," << e.y;
            }
        }
    }
}

TEST(PathRasterTest, CircleArea) {
    struct Case {
        int32_t side;
        double cx, cy, r;
    };
    // The large one is a 4000 x 4000 mask: it must flatten finely enough to stay within a pixel.
    for (const Case& c : {Case{64, 31.3, 30.8, 20.5}, Case{4000, 2000.4, 1999.7, 1900}}) {
        Plane plane(c.side, c.side);
        ASSERT_TRUE(plane.fill({circle(c.cx, c.cy, c.r)}, FillRule::nonZero));
        uint64_t sum = 0;
        int wrongInside = 0, wrongOutside = 0;
        for (int32_t y = 0; y < c.side; ++y) {
            for (int32_t x = 0; x < c.side; ++x) {
                sum += plane.at(x, y);
                // Half a pixel's diagonal, plus the flattening tolerance inside and the four-curve
                // circle's own bulge (0.03 % of the radius) outside.
                const double d = std::hypot(x + 0.5 - c.cx, y + 0.5 - c.cy);
                wrongInside += d < c.r - 0.71 - 0.1 && plane.at(x, y) != 255;
                wrongOutside += d > c.r * 1.0003 + 0.71 && plane.at(x, y) != 0;
            }
        }
        const double area = std::numbers::pi * c.r * c.r;
        EXPECT_NEAR(static_cast<double>(sum) / 255, area, area * 0.005) << "r " << c.r;
        EXPECT_EQ(wrongInside, 0) << "r " << c.r;
        EXPECT_EQ(wrongOutside, 0) << "r " << c.r;
    }
}

TEST(PathRasterTest, FillRuleDecidesTheHole) {
    struct Case {
        FillRule rule;
        bool innerReversed;
        int hole;
    };
    const Case cases[] = {
        {FillRule::evenOdd, false, 0},
        {FillRule::evenOdd, true, 0},
        {FillRule::nonZero, false, 255},
        {FillRule::nonZero, true, 0},
    };
    for (const Case& c : cases) {
        Plane plane(64, 64);
        ASSERT_TRUE(plane.fill({circle(32, 32, 30), circle(32, 32, 15, c.innerReversed)}, c.rule));
        EXPECT_EQ(plane.at(32, 32), c.hole) << "reversed " << c.innerReversed;
        EXPECT_EQ(plane.at(32, 10), 255) << "ring, reversed " << c.innerReversed;
        EXPECT_EQ(plane.at(0, 0), 0) << "outside, reversed " << c.innerReversed;
    }
}

TEST(PathRasterTest, ManyCrossingsOnOneLine) {
    // 300 teeth: 600 crossings on every sample line, enough for the sort of many crossings.
    std::vector<Subpath> comb;
    for (int i = 0; i < 300; ++i) comb.push_back(rect(2 * i, 0, 2 * i + 1, 4, i % 2 == 1));
    for (FillRule rule : {FillRule::nonZero, FillRule::evenOdd}) {
        Plane plane(600, 4);
        ASSERT_TRUE(plane.fill(comb, rule));
        int wrong = 0;
        for (int32_t x = 0; x < 600; ++x) wrong += plane.at(x, 2) != (x % 2 ? 0 : 255);
        EXPECT_EQ(wrong, 0);
    }
}

TEST(PathRasterTest, HostileInputStaysBounded) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // A square of a million tiny straight curves: as many points as a large file could hold.
    Subpath fine{{2, 2}, {}};
    const int steps = 250000;
    for (const auto& [dx, dy, x0, y0] : {std::tuple{1, 0, 2, 2}, {0, 1, 6, 2}, {-1, 0, 6, 6}, {0, -1, 2, 6}}) {
        for (int i = 1; i <= steps; ++i) {
            const Point p{x0 + dx * 4.0 * i / steps, y0 + dy * 4.0 * i / steps};
            fine.curves.insert(fine.curves.end(), {p, p, p});
        }
    }
    struct Case {
        const char* what;
        std::vector<Subpath> path;
        bool drawn;
        std::vector<Expect> pixels;
    };
    const Case cases[] = {
        {"no subpaths", {}, true, {{3, 3, 0}}},
        {"a lone point", {Subpath{{3, 3}, {}}}, true, {{3, 3, 0}}},
        {"a loose point after the curves is ignored", {[] { Subpath s = rect(2, 2, 6, 6); s.curves.push_back({100, 100}); return s; }()}, true, {{3, 3, 255}, {7, 7, 0}}},
        {"not-a-number leaves its subpath out", {rect(0, 0, 2, 2), polygon({{2, 2}, {7, 2}, {7, 7}, {2, 7}, {nan, 4}})}, true, {{1, 1, 255}, {4, 4, 0}}},
        {"infinity leaves its subpath out", {polygon({{2, 2}, {7, 2}, {7, 7}, {2, 7}, {-inf, 4}}), rect(0, 0, 2, 2)}, true, {{1, 1, 255}, {4, 4, 0}}},
        {"huge square covers the plane", {rect(-1e300, -1e300, 1e300, 1e300)}, true, {{0, 0, 255}, {7, 7, 255}}},
        {"huge curved corner", {Subpath{{-1e12, -1e12}, {{1e15, -1e15}, {-1e15, 1e15}, {1e12, 1e12}}}}, true, {}},
        {"a million points", {fine}, true, {{2, 2, 255}, {5, 5, 255}, {1, 1, 0}, {6, 6, 0}}},
    };
    for (const Case& c : cases) {
        Plane plane(8, 8);
        EXPECT_EQ(plane.fill(c.path, FillRule::nonZero), c.drawn) << c.what;
        for (const Expect& e : c.pixels) EXPECT_EQ(plane.at(e.x, e.y), e.value) << c.what << " at " << e.x << "," << e.y;
    }
    // Lines zigzagging over a tall plane, each crossing every sample line: more work than any mask.
    Subpath zigzag{{0, -10}, {}};
    const int lines = 1 << 11;
    for (int i = 0; i < lines; ++i) {
        const Point p{16.0 * i / lines, i % 2 ? -10.0 : 5000.0};
        zigzag.curves.insert(zigzag.curves.end(), {p, p, p});
    }
    Plane tall(16, 4096);
    EXPECT_FALSE(tall.fill({zigzag}, FillRule::evenOdd));
    for (const auto& [w, h] : {std::pair{0, 8}, {8, 0}, {-1, 8}, {8, raster::kMaxSide + 1}}) {
        uint8_t untouched = 0xEE;
        EXPECT_FALSE(raster::fillPath({rect(0, 0, 4, 4)}, FillRule::nonZero, w, h, &untouched));
        EXPECT_EQ(untouched, 0xEE);
    }
}

}  // namespace
