// Visibility records: storage, accessors with and without median subtraction, and the
// per-record medians against a sort-based computation.
#include "model/visibility.h"

#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using kestrum::test::sortedMedian;

using cf = std::complex<float>;

ChannelStore store;  // the channel data of every record made here

Visibility record(const std::vector<cf>& data, const std::vector<int>& flags)
{
    return Visibility(17, 1.5, -2.5, 2460000.25, 258.0, 0.75, -5, static_cast<int>(data.size()), data.data(),
                      flags.data(), false, store);
}

}  // namespace

// (The amplitude-only storage is never asked for by the programs.)
TEST(Visibility, KeepsDataAndFlags)
{
    const std::vector<cf> data{{3, 4}, {0, -2}};
    const Visibility full = record(data, {0, 3});
    EXPECT_TRUE(std::ranges::equal(full.data, data));
    EXPECT_TRUE(full.amp.empty());
    EXPECT_FLOAT_EQ(full.Amp(0, false), 5.0f);
    EXPECT_FLOAT_EQ(full.Phase(1, false), static_cast<float>(-M_PI / 2));
    EXPECT_EQ(full.Flagged(0), 0);
    EXPECT_EQ(full.Flagged(1), 3);
}

TEST(Visibility, SubtractionUsesMediansOnlyOnceComputed)
{
    const std::vector<cf> data{{1, 0}, {0, 2}, {-3, 0}, {0, -10}};
    Visibility v = record(data, {0, 0, 0, 0});
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(v.Amp(c, true), v.Amp(c, false));
        EXPECT_EQ(v.Phase(c, true), v.Phase(c, false));
    }
    v.calcMedian();
    EXPECT_DOUBLE_EQ(v.ampMedian, 2.5);  // amplitudes 1, 2, 3, 10
    EXPECT_FLOAT_EQ(v.Amp(3, true), 7.5f);
    // Phases 0, pi/2, pi, -pi/2: median pi/4; not wrapped after subtraction.
    EXPECT_NEAR(v.phaseMedian, M_PI / 4, 1e-6);
    EXPECT_NEAR(v.Phase(2, true), 3 * M_PI / 4, 1e-6);
}

TEST(Visibility, MediansUseEveryChannelFlaggedOrNot)
{
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0, 4);
    for (int n : {1, 2, 7, 64, 65}) {
        std::vector<cf> data(n);
        for (cf& x : data)
            x = cf{normal(rng), normal(rng)};
        Visibility v = record(data, std::vector<int>(n, 3));
        v.calcMedian();
        std::vector<double> amps, phases;
        for (int c = 0; c < n; ++c) {
            amps.push_back(
                std::sqrt(double(data[c].real()) * data[c].real() + double(data[c].imag()) * data[c].imag()));
            phases.push_back(std::atan2(data[c].imag(), data[c].real()));
        }
        EXPECT_NEAR(v.ampMedian, sortedMedian(amps), 1e-6) << n;
        EXPECT_NEAR(v.phaseMedian, sortedMedian(phases), 1e-6) << n;
    }
}

// The amplitudes go in chunks while the next record is fetched: every length, the last chunk
// short or not, gives each channel's own amplitude (squares in double, so nothing overflows).
TEST(Visibility, AmplitudesOfEveryLength)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> exponent(-30, 38);
    for (int n : {1, 7, 8, 9, 63, 1025}) {
        std::vector<cf> data(n);
        for (cf& x : data)
            x = cf{std::pow(10.0f, exponent(rng)), -std::pow(10.0f, exponent(rng))};
        const Visibility v = record(data, std::vector<int>(n, 0));
        const Visibility next = record(std::vector<cf>(n + 5, cf{1, 1}), std::vector<int>(n + 5, 0));
        for (const Visibility* ahead : {&next, static_cast<const Visibility*>(nullptr)}) {
            std::vector<float> out(n + 1, -1.0f);
            v.rawAmps(out.data(), n, ahead);
            for (int c = 0; c < n; ++c) {
                const double re = data[c].real(), im = data[c].imag();
                EXPECT_EQ(out[c], static_cast<float>(std::sqrt(re * re + im * im))) << n << " " << c;
            }
            EXPECT_EQ(out[n], -1.0f) << n;
        }
    }
}

TEST(Visibility, EdgeMedians)
{
    Visibility empty = record({}, {});
    empty.calcMedian();
    EXPECT_EQ(empty.ampMedian, 0);
    EXPECT_EQ(empty.phaseMedian, 0);

    // +3.1 and -3.1 radians: the plain median of the numbers, not the circular one.
    const float r = 2;
    Visibility opposite = record({std::polar(r, 3.1f), std::polar(r, -3.1f)}, {0, 0});
    opposite.calcMedian();
    EXPECT_NEAR(opposite.phaseMedian, 0.0, 1e-6);
}

TEST(Visibility, NegativeChannelCountGivesAnEmptyRecord)
{
    const Visibility v(1, 0, 0, 0, 258, 0, 1, -4, nullptr, nullptr, false, store);
    EXPECT_EQ(v.nchan, 0u);
    EXPECT_TRUE(v.flags.empty());
}

// Records across several of the store's blocks (64 MiB each), one larger than a block, in both
// storage modes, keep their own values and flags.
TEST(Visibility, StoreKeepsRecordsAcrossBlocks)
{
    ChannelStore own;
    const int big = 4 << 20;  // 36 MiB of complex values and flags
    const std::vector<std::pair<int, bool>> shapes{{5, false},   {big, false},     {1, true}, {big / 2, true},
                                                   {big, false}, {2 * big, false}, {7, true}};
    std::vector<cf> data(2 * big);
    std::vector<int> flags(2 * big);
    std::vector<Visibility> recs;
    for (size_t i = 0; i < shapes.size(); ++i) {
        std::fill_n(data.begin(), shapes[i].first, cf(float(i), 0.0f));
        std::fill_n(flags.begin(), shapes[i].first, int(i));
        recs.emplace_back(int(i), 0, 0, 0, 258, 0, -5, shapes[i].first, data.data(), flags.data(), shapes[i].second,
                          own);
    }
    for (size_t i = 0; i < shapes.size(); ++i) {
        const auto [n, ampOnly] = shapes[i];
        const Visibility& r = recs[i];
        EXPECT_EQ(std::ranges::count(r.flags, uint8_t(i)), n) << i;
        EXPECT_EQ(ampOnly ? std::ranges::count(r.amp, float(i)) : std::ranges::count(r.data, cf(float(i), 0.0f)), n)
            << i;
    }
}
