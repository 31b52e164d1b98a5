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

TEST(Basant, DecodesBothFormsWithRounding)
{
    EXPECT_EQ(decode(258.0), std::make_pair(1, 2));
    EXPECT_EQ(decode(67841.0), std::make_pair(1, 257));
    EXPECT_EQ(decode(258.4), std::make_pair(1, 2));
    EXPECT_EQ(decode(257.5), std::make_pair(1, 2));
    EXPECT_EQ(decode(514.0), std::make_pair(2, 2));
    EXPECT_EQ(decode(65535.0), std::make_pair(255, 255));
    EXPECT_EQ(decode(2048.0 * 2047 + 2047 + 65536), std::make_pair(2047, 2047));
}

TEST(Basant, EncodingRoundTrips)
{
    for (int a1 : {1, 2, 100, 255, 256, 1000, 2047})
        for (int a2 : {a1, 255, 256, 2047})
            if (a1 <= a2) {
                EXPECT_EQ(decode(antbas(a1, a2)), std::make_pair(a1, a2)) << a1 << "-" << a2;
            }
    EXPECT_EQ(antbas(1, 256), 67840.0);
    EXPECT_EQ(antbas(1, 2), 258.0);
}

TEST(BasantDeathTest, MalformedNumbersAreFatal)
{
    const char* bad = "### Fatal Error:  BASANT: possibly a bad baseline number!\n";
    EXPECT_EXIT(decode(65536.0), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(decode(513.0), testing::ExitedWithCode(1),
                "### Fatal Error:  BASANT: a1>a2: Incorrectly formatted baseline number!\n");
    EXPECT_EXIT(decode(1.0), testing::ExitedWithCode(1),
                "### Fatal Error:  BASANT: ant1 < 1: possibly a bad baseline number!\n");
    EXPECT_EXIT(decode(0.0), testing::ExitedWithCode(1),
                "### Fatal Error:  BASANT: ant1 < 1: possibly a bad baseline number!\n");
    EXPECT_EXIT(decode(-300.0), testing::ExitedWithCode(1),
                "### Fatal Error:  BASANT: a1>a2: Incorrectly formatted baseline number!\n");
    // Numbers that no integer can hold are no baselines either.
    EXPECT_EXIT(decode(std::numeric_limits<double>::quiet_NaN()), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(decode(1e300), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(decode(-std::numeric_limits<double>::infinity()), testing::ExitedWithCode(1), bad);
}

TEST(BasantDeathTest, ImpossiblePairsAreFatal)
{
    const char* bad = "### Fatal Error:  Illegal baseline number in antbas\n";
    EXPECT_EXIT(antbas(2, 1), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(antbas(0, 5), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(antbas(1, 2048), testing::ExitedWithCode(1), bad);
    EXPECT_EXIT(antbas(std::numeric_limits<int>::min(), std::numeric_limits<int>::max()),
                testing::ExitedWithCode(1), bad);
}
