// Tick placement over awkward world windows: round values inside the interval, distinct
// labels, and no division by zero for windows of zero, negative or extreme extent.
#include "plot/ticks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

namespace kestrum::plot {
namespace {

std::vector<std::string> labels(const TickSet& t)
{
    return {t.labels, t.labels + t.count};
}

// Every tick lies in [lo, hi], ticks are evenly spaced and increasing, and labels differ.
void expectSane(double a, double b, const TickSet& t)
{
    const double lo = std::min(a, b), hi = std::max(a, b);
    ASSERT_GE(t.count, 1);
    ASSERT_LE(t.count, kMaxTicks);
    std::set<std::string> distinct;
    for (int i = 0; i < t.count; ++i) {
        EXPECT_TRUE(std::isfinite(t.values[i]));
        EXPECT_GE(t.values[i], lo - (hi - lo) * 1e-9) << i;
        EXPECT_LE(t.values[i], hi + (hi - lo) * 1e-9) << i;
        EXPECT_LT(std::string(t.labels[i]).size(), static_cast<std::size_t>(kTickLabelSize));
        distinct.insert(t.labels[i]);
        if (i > 1) {
            EXPECT_NEAR(t.values[i] - t.values[i - 1], t.values[1] - t.values[0],
                        std::fabs(t.values[1] - t.values[0]) * 1e-6);
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(t.count)) << "labels must tell ticks apart";
}

TEST(Ticks, RoundStepsForOrdinaryWindows)
{
    TickSet t;
    chooseTicks(0, 100, 0, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"0", "20", "40", "60", "80", "100"}));
    chooseTicks(-50, 50, 0, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"-40", "-20", "0", "20", "40"}));
    chooseTicks(0, 1, 0, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}));
    chooseTicks(-180, 180, 0, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"-150", "-100", "-50", "0", "50", "100", "150"}));
    chooseTicks(3.2, 3.7, 0, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"3.2", "3.3", "3.4", "3.5", "3.6", "3.7"}));
}

TEST(Ticks, ReversedWindowGivesTheSameTicks)
{
    TickSet up, down;
    chooseTicks(0, 100, 0, up);
    chooseTicks(100, 0, 0, down);
    EXPECT_EQ(labels(up), labels(down));
    chooseTicks(-3, -7, 0, down);
    expectSane(-3, -7, down);
    EXPECT_EQ(std::string(down.labels[0]), "-7");
}

TEST(Ticks, ZeroWidthWindowGetsOneTickAtItsValue)
{
    TickSet t;
    chooseTicks(0, 0, 0, t);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(std::string(t.labels[0]), "0");
    chooseTicks(42.5, 42.5, 0, t);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.values[0], 42.5);
    EXPECT_EQ(std::string(t.labels[0]), "42.5");
    chooseTicks(7, 7, 1, t);  // an explicit step does not help an empty interval
    EXPECT_EQ(t.count, 1);
}

TEST(Ticks, NonFiniteBoundsGiveNoTicks)
{
    TickSet t;
    chooseTicks(0, INFINITY, 0, t);
    EXPECT_EQ(t.count, 0);
    chooseTicks(NAN, 1, 0, t);
    EXPECT_EQ(t.count, 0);
}

TEST(Ticks, TinyAndHugeValuesUseExponentsWithDistinctLabels)
{
    TickSet t;
    chooseTicks(0, 1e-7, 0, t);
    expectSane(0, 1e-7, t);
    EXPECT_NE(std::string(t.labels[1]).find("e-08"), std::string::npos) << t.labels[1];
    chooseTicks(0, 3e38, 0, t);
    expectSane(0, 3e38, t);
    EXPECT_NE(std::string(t.labels[1]).find("e+37"), std::string::npos) << t.labels[1];
    chooseTicks(-3.4e38, 3.4e38, 0, t);
    expectSane(-3.4e38, 3.4e38, t);
    chooseTicks(1e-40, 3e-40, 0, t);  // float denormals
    expectSane(1e-40, 3e-40, t);
    chooseTicks(1e6, 1e6 + 1, 0, t);  // a small span around a large value
    expectSane(1e6, 1e6 + 1, t);
    EXPECT_EQ(std::string(t.labels[1]), "1.0000002e+06");
}

TEST(Ticks, CallerStepIsHonouredUnlessItGivesTooManyTicks)
{
    TickSet t;
    chooseTicks(0, 1, 0.25, t);
    EXPECT_EQ(labels(t), (std::vector<std::string>{"0.00", "0.25", "0.50", "0.75", "1.00"}));
    chooseTicks(0, 1e6, 1e-3, t);
    expectSane(0, 1e6, t);
    EXPECT_LE(t.count, 11);
    chooseTicks(0, 10, -2, t);
    expectSane(0, 10, t);
}

TEST(Ticks, ManyWindowsAreSane)
{
    const double bounds[] = {-1e30, -12345.678, -1, -1e-5, 0, 1e-9, 0.5, 1, 3, 1023, 4.5e7, 2e20};
    for (double a : bounds)
        for (double b : bounds) {
            if (a == b)
                continue;
            TickSet t;
            chooseTicks(a, b, 0, t);
            SCOPED_TRACE(std::to_string(a) + " .. " + std::to_string(b));
            expectSane(a, b, t);
            EXPECT_GE(t.count, 2);
        }
}

}  // namespace
}  // namespace kestrum::plot
