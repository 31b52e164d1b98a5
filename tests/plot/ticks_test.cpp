// Tick placement over awkward world windows: round values inside the interval, distinct
// labels, and no division by zero for windows of zero, negative or extreme extent.
#include "plot/ticks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kestrum::plot {
namespace {

std::vector<std::string> labels(double a, double b, double step)
{
    TickSet t;
    chooseTicks(a, b, step, t);
    return {t.labels, t.labels + t.count};
}

// Every tick lies in [lo, hi], ticks are evenly spaced and increasing, and labels differ.
void expectSane(double a, double b, double step = 0)
{
    TickSet t;
    chooseTicks(a, b, step, t);
    const double lo = std::min(a, b), hi = std::max(a, b);
    ASSERT_GE(t.count, 1) << a << " " << b;
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
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(t.count)) << "labels must tell ticks apart: " << a << " " << b;
}

using L = std::vector<std::string>;

TEST(Ticks, RoundStepsReversedAndEmptyWindowsAndCallerSteps)
{
    const struct {
        double a, b, step;
        L labels;
    } cases[] = {
        {0, 100, 0, {"0", "20", "40", "60", "80", "100"}},
        {100, 0, 0, {"0", "20", "40", "60", "80", "100"}},  // reversed: the same ticks
        {-50, 50, 0, {"-40", "-20", "0", "20", "40"}},
        {0, 1, 0, {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}},
        {-180, 180, 0, {"-150", "-100", "-50", "0", "50", "100", "150"}},
        {3.2, 3.7, 0, {"3.2", "3.3", "3.4", "3.5", "3.6", "3.7"}},
        {0, 0, 0, {"0"}},  // zero width: one tick at the value
        {42.5, 42.5, 0, {"42.5"}},
        {0, 1, 0.25, {"0.00", "0.25", "0.50", "0.75", "1.00"}},  // a caller's step (no program gives one)
        {0, INFINITY, 0, {}},
        {NAN, 1, 0, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(labels(c.a, c.b, c.step), c.labels) << c.a << " " << c.b << " " << c.step;
    EXPECT_NE(labels(0, 1e-7, 0)[1].find("e-08"), std::string::npos);
    EXPECT_NE(labels(0, 3e38, 0)[1].find("e+37"), std::string::npos);
    EXPECT_EQ(labels(1e6, 1e6 + 1, 0)[1], "1.0000002e+06");  // a small span around a large value
}

TEST(Ticks, ManyWindowsAreSane)
{
    for (const auto& [a, b] :
         {std::pair{-3.0, -7.0}, {0, 1e-7}, {0, 3e38}, {-3.4e38, 3.4e38}, {1e-40, 3e-40}, {1e6, 1e6 + 1}})
        expectSane(a, b);
    const double bounds[] = {-1e30, -12345.678, -1, -1e-5, 0, 1e-9, 0.5, 1, 3, 1023, 4.5e7, 2e20};
    for (double a : bounds)
        for (double b : bounds)
            if (a != b) {
                expectSane(a, b);
                EXPECT_GE(labels(a, b, 0).size(), 2u) << a << " " << b;
            }
}

}  // namespace
}  // namespace kestrum::plot
