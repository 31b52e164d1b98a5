// The colour scale: equal steps over the range, clamping outside it, and degenerate ranges.
#include "model/colourmap.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(ColourScale, EqualStepsOverTheRangeClampedOutsideAndMiddleForNoRange)
{
    struct Case {
        double lo, hi, v;
        int index;
    } const cases[] = {
        {0, 256, 0, 0},      {0, 256, 0.999, 0}, {0, 256, 1, 1},        {0, 256, 255.5, 255}, {0, 256, 256, 255},
        {0, 256, 1e30, 255}, {0, 256, -3, 0},    {0, 256, NAN, 0},      {-1, 1, 0, 128},      {-1, 1, -0.5, 64},
        {5, 5, 7, 128},      {7, 5, 7, 128},     {0, INFINITY, 1, 128}, {NAN, 1, 0, 128},
    };
    for (const Case& c : cases) {
        const ColourScale scale(c.lo, c.hi);
        EXPECT_EQ(scale.index(c.v), c.index) << c.lo << ".." << c.hi << " at " << c.v;
        EXPECT_EQ(scale.colour(c.v), kColourMap[c.index]);
    }
    // Dark to light: the map's lightness (a rough luma) rises from end to end.
    auto luma = [](Rgb c) { return 0.3 * c.r + 0.59 * c.g + 0.11 * c.b; };
    for (int i = 8; i < kColourMapSize; i += 8)
        EXPECT_GT(luma(kColourMap[i]), luma(kColourMap[i - 8])) << i;
}
