// stat against plain sort-based computations; nint, polName and split.
#include "model/util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

double sortedMedian(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5;
}

// Every field of stat computed the plain way: full sorts and textbook formulas.
stats reference(const std::vector<double>& v)
{
    stats s;
    s.count = static_cast<int32_t>(v.size());
    if (v.empty())
        return s;
    s.median = sortedMedian(v);
    s.min = *std::min_element(v.begin(), v.end());
    s.max = *std::max_element(v.begin(), v.end());
    if (v.size() == 1) {
        s.mean = v[0];
        return s;
    }
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / v.size();
    double sq = 0;
    for (double x : v)
        sq += (x - s.mean) * (x - s.mean);
    s.rms = std::sqrt(sq / (v.size() - 1));
    std::vector<double> dev;
    for (double x : v)
        dev.push_back(std::fabs(x - s.median));
    s.mad = sortedMedian(dev);
    return s;
}

void expectSame(const stats& got, const stats& want)
{
    EXPECT_EQ(got.count, want.count);
    EXPECT_DOUBLE_EQ(got.median, want.median);
    EXPECT_DOUBLE_EQ(got.mad, want.mad);
    EXPECT_DOUBLE_EQ(got.min, want.min);
    EXPECT_DOUBLE_EQ(got.max, want.max);
    EXPECT_NEAR(got.mean, want.mean, 1e-9 * (1 + std::fabs(want.mean)));
    EXPECT_NEAR(got.rms, want.rms, 1e-9 * (1 + want.rms));
}

}  // namespace

TEST(Stat, SmallCasesByHand)
{
    std::vector<double> empty;
    const stats e = stat(empty);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(e.median, 0);
    EXPECT_EQ(e.mad, 0);
    EXPECT_EQ(e.min, 0);
    EXPECT_EQ(e.max, 0);

    std::vector<double> one{5};
    const stats o = stat(one);
    EXPECT_EQ(o.count, 1);
    EXPECT_EQ(o.median, 5);
    EXPECT_EQ(o.mean, 5);
    EXPECT_EQ(o.min, 5);
    EXPECT_EQ(o.max, 5);
    EXPECT_EQ(o.rms, 0);
    EXPECT_EQ(o.mad, 0);

    std::vector<double> four{10, 2, 3, 1};
    const stats f = stat(four);
    EXPECT_EQ(f.count, 4);
    EXPECT_DOUBLE_EQ(f.median, 2.5);
    EXPECT_DOUBLE_EQ(f.mean, 4);
    EXPECT_DOUBLE_EQ(f.min, 1);
    EXPECT_DOUBLE_EQ(f.max, 10);
    EXPECT_DOUBLE_EQ(f.mad, 1);
    EXPECT_DOUBLE_EQ(f.rms, std::sqrt(50.0 / 3.0));
}

TEST(Stat, AgreesWithSortBasedComputationOnRandomLists)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> normal(3.0, 2.0);
    std::uniform_int_distribution<int> small(0, 5);
    for (size_t n : {2u, 3u, 4u, 5u, 16u, 17u, 1000u, 1001u}) {
        std::vector<double> v(n);
        for (double& x : v)
            x = normal(rng);
        expectSame(stat(v), reference(v));
        // Many equal values: the middle pair and the deviations tie.
        for (double& x : v)
            x = small(rng);
        std::vector<double> copy = v;
        expectSame(stat(copy), reference(v));
    }
}

TEST(Stat, AgreesOnOrderedAndRepetitiveListsThatDefeatNaivePivots)
{
    std::vector<std::vector<double>> lists;
    for (size_t n : {33u, 64u, 257u, 4096u, 4097u}) {
        std::vector<double> up(n), down(n), pipe(n), same(n, 1.5), twoValues(n), sawtooth(n);
        for (size_t i = 0; i < n; ++i) {
            up[i] = static_cast<double>(i);
            down[i] = static_cast<double>(n - i);
            pipe[i] = static_cast<double>(std::min(i, n - i));
            twoValues[i] = (i % 3 == 0) ? -1.0 : 2.0;
            sawtooth[i] = static_cast<double>(i % 7);
        }
        for (auto* v : {&up, &down, &pipe, &same, &twoValues, &sawtooth})
            lists.push_back(*v);
    }
    for (const std::vector<double>& list : lists) {
        std::vector<double> copy = list;
        expectSame(stat(copy), reference(list));
        std::vector<float> asFloats(list.begin(), list.end());
        expectSame(stat(asFloats), reference(list));
        copy = list;
        EXPECT_DOUBLE_EQ(median(copy), sortedMedian(list));
    }
}

TEST(Stat, SinglePrecisionListsGiveTheStatisticsOfTheirWidenedValues)
{
    std::mt19937 rng(9);
    std::normal_distribution<float> normal(-1.0f, 5.0f);
    for (size_t n : {1u, 2u, 999u, 1000u, 100000u}) {
        std::vector<float> v(n);
        for (float& x : v)
            x = normal(rng);
        const std::vector<double> widened(v.begin(), v.end());
        std::vector<float> forMedian = v;
        EXPECT_DOUBLE_EQ(median(forMedian), sortedMedian(widened));
        expectSame(stat(v), reference(widened));
    }
    std::vector<float> empty;
    EXPECT_EQ(median(empty), 0.0);
}

TEST(Stat, NaNValuesAreLeftOutInsteadOfBreakingTheOrdering)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> v{nan, 4, nan, 1, 2, nan};
    const stats s = stat(v);
    std::vector<double> clean{4, 1, 2};
    expectSame(s, reference(clean));
    std::vector<double> allNan(100, nan);
    EXPECT_EQ(stat(allNan).count, 0);
}

TEST(Nint, RoundsHalvesAwayFromZeroAndSaturates)
{
    EXPECT_EQ(nint(2.5), 3);
    EXPECT_EQ(nint(-2.5), -3);
    EXPECT_EQ(nint(2.49), 2);
    EXPECT_EQ(nint(-2.49), -2);
    EXPECT_EQ(nint(0.0), 0);
    EXPECT_EQ(nint(1e300), std::numeric_limits<int>::max());
    EXPECT_EQ(nint(-1e300), std::numeric_limits<int>::min());
    EXPECT_EQ(nint(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(PolName, NamesEveryCodeAndNothingElse)
{
    const char* expected[] = {"yx", "xy", "yy", "xx", "lr", "rl", "ll", "rr"};
    for (int code = -8; code <= -1; ++code)
        EXPECT_STREQ(polName(code), expected[code + 8]) << code;
    EXPECT_STREQ(polName(1), "i");
    EXPECT_STREQ(polName(2), "q");
    EXPECT_STREQ(polName(3), "u");
    EXPECT_STREQ(polName(4), "v");
    EXPECT_EQ(polName(0), nullptr);
    EXPECT_EQ(polName(5), nullptr);
    EXPECT_EQ(polName(-9), nullptr);
}

TEST(Split, DropsEmptyPiecesAndAppends)
{
    std::vector<std::string> pieces{"kept"};
    split("a,,b,", ",", pieces);
    EXPECT_EQ(pieces, (std::vector<std::string>{"kept", "a", "b"}));

    std::vector<std::string> none;
    split("", ",", none);
    split(",,,", ",", none);
    EXPECT_TRUE(none.empty());

    std::vector<std::string> whole;
    split("abc", ",", whole);
    EXPECT_EQ(whole, (std::vector<std::string>{"abc"}));

    std::vector<std::string> several;
    split(" x;y z ", " ;", several);
    EXPECT_EQ(several, (std::vector<std::string>{"x", "y", "z"}));
}
