// Baseline numbers: both forms, rounding, and every fatal check in a child process.
#include "task/basant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

std::pair<int, int> decode(double baseline)
{
    int a1 = -1, a2 = -1;
    basant(baseline, &a1, &a2);
    return {a1, a2};
}

}  // namespace

TEST(Basant, DecodesBothFormsWithRoundingAndEncodingRoundTrips)
{
    const std::pair<double, std::pair<int, int>> cases[] = {
        {258.0, {1, 2}}, {67841.0, {1, 257}}, {258.4, {1, 2}}, {257.5, {1, 2}}, {514.0, {2, 2}}, {65535.0, {255, 255}}};
    for (const auto& [number, pair] : cases)
        EXPECT_EQ(decode(number), pair) << number;
    for (int a1 : {1, 255, 256, 2047})
        for (int a2 : {a1, 256, 2047})
            if (a1 <= a2) {
                EXPECT_EQ(decode(antbas(a1, a2)), std::make_pair(a1, a2)) << a1 << "-" << a2;
            }
    EXPECT_EQ(antbas(1, 256), 67840.0);
    EXPECT_EQ(antbas(1, 2), 258.0);
}

TEST(BasantDeathTest, MalformedNumbersAndImpossiblePairsAreFatal)
{
    const char* bad = "### Fatal Error:  BASANT: possibly a bad baseline number!\n";
    const char* order = "### Fatal Error:  BASANT: a1>a2: Incorrectly formatted baseline number!\n";
    const char* low = "### Fatal Error:  BASANT: ant1 < 1: possibly a bad baseline number!\n";
    // Numbers that no integer can hold are no baselines either.
    const std::pair<double, const char*> cases[] = {{65536.0, bad},  {513.0, order},
                                                    {1.0, low},      {0.0, low},
                                                    {-300.0, order}, {std::numeric_limits<double>::quiet_NaN(), bad},
                                                    {1e300, bad},    {-std::numeric_limits<double>::infinity(), bad}};
    for (const auto& [number, message] : cases)
        EXPECT_EXIT(decode(number), testing::ExitedWithCode(1), message) << number;
    const std::pair<int, int> pairs[] = {
        {2, 1}, {0, 5}, {1, 2048}, {std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}};
    for (const auto& [a1, a2] : pairs)
        EXPECT_EXIT(antbas(a1, a2), testing::ExitedWithCode(1), "### Fatal Error:  Illegal baseline number in antbas\n")
            << a1 << "-" << a2;
}
