// stat, the gathers and the medians of runs against plain sort-based computations; nint.
#include "model/util.h"

#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

using kestrum::test::sortedMedian;

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
    std::vector<double> empty, one{5}, four{10, 2, 3, 1};
    expectSame(stat(empty), stats{});
    expectSame(stat(one), stats{.median = 5, .mean = 5, .min = 5, .max = 5, .count = 1});
    expectSame(
        stat(four),
        stats{.mad = 1, .median = 2.5, .mean = 4, .rms = std::sqrt(50.0 / 3.0), .min = 1, .max = 10, .count = 4});
    std::vector<float> none;
    EXPECT_EQ(median(none), 0.0);
}

// Random lists, lists with many ties, and ordered or repetitive lists that defeat naive pivots;
// in double precision and as single-precision lists, whose statistics are those of their
// widened values.
TEST(Stat, AgreesWithSortBasedComputation)
{
    std::mt19937 rng(7);
    std::normal_distribution<double> normal(3.0, 2.0);
    std::uniform_int_distribution<int> small(0, 5);
    std::vector<std::vector<double>> lists;
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 1000u, 1001u, 100000u}) {
        std::vector<double> v(n), ties(n);
        for (size_t i = 0; i < n; ++i) {
            v[i] = normal(rng);
            ties[i] = small(rng);
        }
        lists.push_back(v);
        lists.push_back(ties);
    }
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
        copy = list;
        EXPECT_DOUBLE_EQ(median(copy), sortedMedian(list));
        std::vector<float> asFloats(list.begin(), list.end());
        const std::vector<double> widened(asFloats.begin(), asFloats.end());
        std::vector<float> forMedian = asFloats;
        EXPECT_DOUBLE_EQ(median(forMedian), sortedMedian(widened));
        expectSame(stat(asFloats), reference(widened));
    }
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

// Lists of every length around the sixteen-value steps, with ties, zeros of both signs,
// infinities and NaN; the gathers keep what a plain filter keeps, in order, copying or in place.
TEST(Gather, KeepsWhatAPlainFilterKeeps)
{
    std::mt19937 rng(7);
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float specials[] = {0.0f, -0.0f, inf, -inf, nan, 1.0f, 1.0f};
    for (size_t n : {0, 1, 15, 16, 17, 31, 33, 1000})
        for (auto [from, to] :
             {std::pair{-0.5f, 0.5f}, std::pair{1.0f, 1.0f}, std::pair{-inf, inf}, std::pair{2.0f, 1.0f}}) {
            std::vector<float> a(n);
            for (float& x : a)
                x = rng() % 4 == 0 ? specials[rng() % 7] : std::uniform_real_distribution<float>(-2, 2)(rng);
            std::vector<float> want, near;
            std::copy_if(a.begin(), a.end(), std::back_inserter(want), [&](float x) { return x >= from && x <= to; });
            std::copy_if(a.begin(), a.end(), std::back_inserter(near), [&](float x) {
                const float d = std::fabs(x - 0.25f);
                return d >= std::fabs(from) && d <= std::fabs(to);
            });
            // Expecting many kept values or few takes different loops where AVX-512 is not used.
            for (size_t expected : {n, size_t(0)}) {
                std::vector<float> out(n + 1);
                out.resize(gatherInRange(a.data(), n, from, to, out.data(), expected));
                EXPECT_EQ(out, want) << n << " " << from << " " << expected;
                out.assign(n + 1, 0.0f);
                out.resize(gatherAtDistance(a.data(), n, 0.25f, std::fabs(from), std::fabs(to), out.data(), expected));
                EXPECT_EQ(out, near) << n << " " << from << " " << expected;
            }
            a.resize(gatherInRange(a.data(), n, from, to, a.data(), 0));
            EXPECT_EQ(a, want) << n << " in place";
        }
}

// middleAt at every rank of lists of every length to past its counting, narrowing and sampling
// sizes (normal values, a few distinct ones, and every 16th far out, which is what a sample of
// long lists sees), and NearMedian along runs of lists whose medians drift and jump (which its
// brackets miss): both equal what sorting gives.
TEST(Medians, MiddleAtAndNearMedianEqualSorting)
{
    std::mt19937 rng(11);
    for (size_t m : {1, 2, 3, 8, 9, 16, 17, 31, 32, 33, 64, 200, 1500, 5000})
        for (int kind : {0, 3, 16}) {
            std::vector<float> a(m);
            for (size_t i = 0; i < m; ++i) {
                const float normal = std::normal_distribution<float>(0, 1)(rng);
                a[i] = kind == 3 ? static_cast<float>(rng() % 3) : kind == 16 && i % 16 == 0 ? 1e6f + i : normal;
            }
            std::vector<float> sorted = a;
            std::sort(sorted.begin(), sorted.end());
            for (size_t at : {size_t(0), m / 3, m / 2, m - 1}) {
                std::vector<float> b = a;
                EXPECT_EQ(middleAt(b.data(), m, at, true), sorted[at]) << m << " " << at;
                if (at > 0) {
                    b = a;
                    EXPECT_EQ(middleAt(b.data(), m, at, false),
                              (static_cast<double>(sorted[at - 1]) + sorted[at]) * 0.5);
                }
            }
        }
    NearMedian near(32);
    double guess = std::numeric_limits<double>::quiet_NaN();
    for (int list = 0; list < 300; ++list) {
        const size_t n = 20 + rng() % 300;
        const float level = list % 50 == 49 ? 40.0f : 0.01f * list;
        std::vector<float> a(n);
        for (float& x : a)
            x = level + std::normal_distribution<float>(0, 1)(rng);
        a[rng() % n] = std::numeric_limits<float>::quiet_NaN();
        std::vector<double> finite(a.begin(), a.end());
        std::erase_if(finite, [](double x) { return std::isnan(x); });
        guess = near(a.data(), n, guess);
        EXPECT_EQ(guess, sortedMedian(finite)) << list;
    }
}
