// Baseline statistics: tcal and SED medians and the summary statistics, each checked against
// values computed here independently with full sorts, including flagged records and channels.
#include "model/baseline.h"

#include "params/params.h"

#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using kestrum::test::sortedMedian;

using cf = std::complex<float>;

ChannelStore store;  // the channel data of every record made here

float amplitude(cf x)
{
    return static_cast<float>(std::sqrt(double(x.real()) * x.real() + double(x.imag()) * x.imag()));
}
float phase(cf x)
{
    return std::atan2(x.imag(), x.real());
}

// An observation of one baseline with noisy records: channel `deadChan` is flagged in every
// record, record `deadRec` in every channel, and about a tenth of the other points at random.
struct Fixture {
    static constexpr int nchan = 24;
    static constexpr int nrec = 15;
    static constexpr int deadChan = 5;
    static constexpr int deadRec = 4;
    std::vector<Visibility> records;
    std::vector<std::vector<cf>> data;
    std::vector<std::vector<int>> flags;
    Baseline base;

    Fixture()
    {
        std::mt19937 rng(11);
        std::normal_distribution<float> normal(0, 1);
        std::uniform_int_distribution<int> tenth(0, 9);
        // A record of another baseline first, so that indices and positions differ.
        std::vector<cf> other(nchan, cf{1, 1});
        std::vector<int> good(nchan, 0);
        records.emplace_back(0, 0, 0, 0, 259, 0, 1, nchan, other.data(), good.data(), false, store);
        base = Baseline(258.0, &records, nchan, 0);
        for (int r = 0; r < nrec; ++r) {
            std::vector<cf> d(nchan);
            std::vector<int> f(nchan);
            for (int c = 0; c < nchan; ++c) {
                d[c] = cf{3.0f + c * 0.1f + normal(rng), 1.0f + normal(rng)};
                f[c] = (c == deadChan || r == deadRec || tenth(rng) == 0) ? 3 : 0;
            }
            records.emplace_back(r + 1, 0, 0, 2460000.0 + r / 1440.0, 258, 0, 1, nchan, d.data(), f.data(), false,
                                 store);
            base.add(static_cast<int>(records.size()) - 1);
            data.push_back(d);
            flags.push_back(f);
        }
    }

    // The amplitude or phase of a point, less its record's median with tcal, from the raw inputs.
    float value(int r, int c, bool tcal, bool amp) const
    {
        std::vector<double> v;
        for (cf x : data[r])
            v.push_back(amp ? amplitude(x) : phase(x));
        return static_cast<float>(v[c] - (tcal ? sortedMedian(v) : 0.0));
    }

    std::vector<double> column(int c, bool tcal, bool amp) const
    {
        std::vector<double> v;
        for (int r = 0; r < nrec; ++r)
            if (flags[r][c] == 0)
                v.push_back(value(r, c, tcal, amp));
        return v;
    }
};

}  // namespace

// The per-channel medians (with SED) and the summary statistics over every unflagged point, in
// each of the four modes.
TEST(Baseline, ChannelAndSummaryStatisticsMatchSortBasedComputationsInEveryMode)
{
    for (int mode = 0; mode < 4; ++mode) {
        const bool tcal = mode & 1, sed = mode & 2;
        Fixture fx;
        fx.base.updateStats(tcal, sed);
        std::vector<double> amps, phases;
        for (int c = 0; c < Fixture::nchan; ++c) {
            const std::vector<double> ac = fx.column(c, tcal, true), pc = fx.column(c, tcal, false);
            if (sed) {  // the flagged channel has none: count and median 0
                const stats& a = fx.base.chanAmpStats[c];
                ASSERT_EQ(a.count, static_cast<int>(ac.size())) << c;
                EXPECT_NEAR(a.median, sortedMedian(ac), 1e-6) << "mode " << mode << " chan " << c;
                EXPECT_NEAR(fx.base.chanPhaseStats[c].median, sortedMedian(pc), 1e-6)
                    << "mode " << mode << " chan " << c;
            }
            for (int r = 0; r < Fixture::nrec; ++r)
                if (fx.flags[r][c] == 0) {
                    amps.push_back(static_cast<float>(fx.value(r, c, tcal, true) - (sed ? sortedMedian(ac) : 0.0)));
                    phases.push_back(static_cast<float>(fx.value(r, c, tcal, false) - (sed ? sortedMedian(pc) : 0.0)));
                }
        }
        const stats a = fx.base.ampStats(tcal, sed);
        const stats p = fx.base.phaseStats(tcal, sed);
        EXPECT_EQ(a.count, static_cast<int>(amps.size()));
        EXPECT_NEAR(a.median, sortedMedian(amps), 1e-5) << mode;
        EXPECT_NEAR(p.median, sortedMedian(phases), 1e-5) << mode;
        EXPECT_NEAR(a.max, *std::max_element(amps.begin(), amps.end()), 1e-5);
        EXPECT_NEAR(p.min, *std::min_element(phases.begin(), phases.end()), 1e-5);
        // A record flagged in every channel still gets its own medians.
        if (tcal) {
            std::vector<double> own;
            for (cf x : fx.data[Fixture::deadRec])
                own.push_back(amplitude(x));
            EXPECT_NEAR(fx.records[Fixture::deadRec + 1].ampMedian, sortedMedian(own), 1e-6);
        }
    }
}

TEST(Baseline, AccessorsSubtractInOrderAndSedCentresEachChannel)
{
    Fixture fx;
    // Before any statistics the SED subtraction takes away nothing.
    EXPECT_EQ(fx.base.Amp(2, 3, false, true), fx.base.Amp(2, 3, false, false));
    fx.base.updateStats(true, true);
    for (int c = 0; c < Fixture::nchan; ++c) {
        std::vector<double> centred;
        for (int r = 0; r < Fixture::nrec; ++r) {
            EXPECT_NEAR(fx.base.Amp(r, c, true, false), fx.value(r, c, true, true), 1e-5);
            EXPECT_EQ(fx.base.Flagged(r, c), fx.flags[r][c]);
            if (fx.flags[r][c] == 0)
                centred.push_back(fx.base.Amp(r, c, true, true));
        }
        EXPECT_NEAR(sortedMedian(centred), 0.0, 1e-6) << c;
    }
    // Phases are not wrapped after subtraction.
    std::vector<cf> d{std::polar(1.0f, 3.0f)};
    std::vector<int> f{0};
    std::vector<Visibility> recs{Visibility(1, 0, 0, 0, 258, 0, 1, 1, d.data(), f.data(), false, store)};
    Baseline b(258, &recs, 1, 0);
    b.add(0);
    b.chanPhaseStats[0].median = -3.0;
    EXPECT_NEAR(b.Phase(0, 0, false, true), 6.0, 1e-6);
}

TEST(Baseline, AllFlaggedBaselineGivesZeroStatistics)
{
    std::vector<cf> d(6, cf{2, 1});
    std::vector<int> f(6, 3);
    std::vector<Visibility> recs;
    for (int r = 0; r < 3; ++r)
        recs.emplace_back(r, 0, 0, r, 258, 0, 1, 6, d.data(), f.data(), false, store);
    Baseline b(258, &recs, 6, 0);
    for (int r = 0; r < 3; ++r)
        b.add(r);
    b.updateStats(true, true);
    for (const stats& s : b.chanAmpStats) {
        EXPECT_EQ(s.count, 0);
        EXPECT_EQ(s.median, 0);
    }
    const stats a = b.ampStats(true, true);
    const stats p = b.phaseStats(true, true);
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.median, 0);
    EXPECT_EQ(a.max, 0);
    EXPECT_EQ(p.count, 0);
    EXPECT_EQ(p.rms, 0);
    EXPECT_NEAR(recs[0].ampMedian, std::sqrt(5.0), 1e-6);
}

TEST(Baseline, RecordsShorterThanTheBaselineContributeTheirOwnChannels)
{
    std::vector<cf> d(4, cf{1, 0});
    std::vector<int> f(4, 0);
    std::vector<Visibility> recs;
    recs.emplace_back(0, 0, 0, 0, 258, 0, 1, 4, d.data(), f.data(), false, store);
    recs.emplace_back(1, 0, 0, 1, 258, 0, 1, 2, d.data(), f.data(), false, store);
    Baseline b(258, &recs, 4, 0);
    b.add(0);
    b.add(1);
    b.updateStats(true, true);
    EXPECT_EQ(b.chanAmpStats[1].count, 2);
    EXPECT_EQ(b.chanAmpStats[3].count, 1);
    EXPECT_EQ(b.ampStats(false, false).count, 6);
}

// Statistics that leave the point values for the caller (a baseline long enough to be shared out
// to threads, whose records end in flagged channels) give the same statistics as those that do
// not, and the values are what Amp and Phase return, in every mode and for both quantities.
TEST(Baseline, StatisticsLeaveEveryPointsValueWhenAskedAndStayTheSame)
{
    constexpr int nrec = 300, nchan = 256;
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0, 1);
    std::vector<Visibility> recs;
    std::vector<cf> d(nchan);
    std::vector<int> f(nchan);
    for (int r = 0; r < nrec; ++r) {
        for (int c = 0; c < nchan; ++c) {
            d[c] = cf{4.0f + normal(rng), normal(rng)};
            f[c] = c >= nchan - 1 - r % 3 || normal(rng) > 1.5f;
        }
        recs.emplace_back(r, 0, 0, r, 258, 0, 1, nchan, d.data(), f.data(), false, store);
    }
    for (int mode = 0; mode < 8; ++mode) {
        const bool tcal = mode & 1, sed = mode & 2, amp = mode & 4;
        Baseline plain(258, &recs, nchan, 0), asked(258, &recs, nchan, 0);
        for (int r = 0; r < nrec; ++r) {
            plain.add(r);
            asked.add(r);
        }
        PointRows rows;
        rows.amp = amp;
        asked.updateStats(tcal, sed, true, true, &rows);
        plain.updateStats(tcal, sed);
        const stats want = amp ? plain.ampStats(tcal, sed) : plain.phaseStats(tcal, sed);
        const stats got = amp ? asked.ampStats(tcal, sed, &rows) : asked.phaseStats(tcal, sed, &rows);
        ASSERT_TRUE(rows.filled && rows.tcal == tcal) << mode;
        EXPECT_TRUE(got.count == want.count && got.median == want.median && got.mad == want.mad &&
                    got.mean == want.mean && got.min == want.min && got.max == want.max)
            << mode;
        for (int r = 0; r < nrec; ++r)
            for (int c = 0; c < nchan; ++c)
                ASSERT_EQ(rows.values[size_t(r) * nchan + c],
                          amp ? plain.Amp(r, c, tcal, false) : plain.Phase(r, c, tcal, false))
                    << mode << " " << r << " " << c;
    }
}
