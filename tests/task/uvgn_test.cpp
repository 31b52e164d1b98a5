// Gain, delay and bandpass calibration: interpolation and reach of gain solutions, feed pairs,
// a simulated data set corrupted by known gains, delays and bandpasses that must read back as
// its model, and every fatal message for a table that triggers it.
#include "task/uvgn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/basant.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/support/support.h"
#include "tools/sim/calwriter.h"

namespace {

using kestrum::sim::BandpassTable;
using kestrum::sim::BaselineGains;
using kestrum::sim::GainTable;
using kestrum::sim::SpectralWindow;
using kestrum::test::TempDir;
using cplx = std::complex<double>;
using Tables = std::function<void(int tno)>;

constexpr double kT0 = 2460000.5;
constexpr double kMinute = 1.0 / 1440.0;

cplx polarDeg(double amp, double deg)
{
    return std::polar(amp, deg * std::numbers::pi / 180);
}
kestrum::sim::Gain gainDeg(double amp, double deg)
{
    return kestrum::sim::Gain(polarDeg(amp, deg));
}

// What calibration made of one record.
struct Result {
    std::vector<cplx> data;
    std::vector<int> flags;
    float grms = 0;
    bool allFlagged() const
    {
        for (int f : flags)
            if (f)
                return false;
        return true;
    }
};

Result toResult(const std::vector<float>& data, const int* flags, int n, float grms)
{
    Result r{{}, std::vector<int>(flags, flags + n), grms};
    for (int c = 0; c < n; c++)
        r.data.emplace_back(data[2 * c], data[2 * c + 1]);
    return r;
}

// Calibrates `nchan` channels of value 1 (all good) on the data set calibration was set up for.
Result calibrateOnes(double time, int a1, int a2, int pol = -5, int nchan = 4)
{
    std::vector<float> data(2 * size_t(nchan));
    for (int c = 0; c < nchan; c++)
        data[2 * c] = 1;
    std::vector<int> flags(nchan, 1);
    float grms = 0;
    uvgnfac(time, antbas(a1, a2), pol, 0, data.data(), flags.data(), nchan, &grms);
    return toResult(data, flags.data(), nchan, grms);
}

// Gain tables set up on a data set holding nothing else, for the tests that need no records.
class GainsOnly : public ::testing::Test {
protected:
    void setUp(const GainTable& g)
    {
        int iostat;
        hopen_c(&tno, dir.file("gains.uv").c_str(), "new", &iostat);
        ASSERT_EQ(iostat, 0);
        kestrum::sim::writeGains(tno, g);
        uvgnini(tno, 1, 0);
    }
    void TearDown() override
    {
        if (tno)
            uvgnfin(), hclose_c(tno);
    }

    TempDir dir;
    int tno = 0;
};

GainTable solutionsAt(int nants, int nfeeds, double interval, std::initializer_list<double> times)
{
    GainTable g(nants, nfeeds, 0, interval);
    for (double t : times)
        g.addSolution(t);
    return g;
}

TEST_F(GainsOnly, HalfwayRecordGetsAmplitudeMeanAndPhaseAlongTheShorterArc)
{
    // Antenna 1 turns through 180 degrees one way, antenna 3 the other (so baseline 2-3 sees
    // the conjugate of its gain).
    GainTable g = solutionsAt(3, 1, 0.1, {kT0, kT0 + 0.1});
    g.gain(0, 1, 1) = gainDeg(1, 170);
    g.gain(1, 1, 1) = gainDeg(3, -170);
    g.gain(0, 3, 1) = gainDeg(1, -170);
    g.gain(1, 3, 1) = gainDeg(3, 170);
    setUp(g);

    // Halfway: amplitude 2, phase 180 degrees (through 180, not through 0).
    for (auto [a1, a2] : {std::pair{1, 2}, std::pair{2, 3}}) {
        Result r = calibrateOnes(kT0 + 0.05, a1, a2);
        ASSERT_FALSE(r.allFlagged());
        EXPECT_NEAR(std::abs(r.data[0]), 2.0, 1e-5);
        EXPECT_NEAR(std::abs(std::arg(r.data[0])), std::numbers::pi, 1e-5) << a2;
        EXPECT_NEAR(r.grms, 2.0, 1e-5);
        for (int c = 1; c < 4; c++)
            EXPECT_EQ(r.data[c], r.data[0]);
    }

    // A quarter of the way along, at the solutions themselves (the second antenna enters
    // conjugated), and three quarters along.
    const struct {
        double t;
        int a1, a2;
        cplx want;
        double tol;
    } cases[] = {{kT0 + 0.025, 1, 2, polarDeg(1.5, 175), 1e-5},  {kT0, 1, 2, polarDeg(1, 170), 1e-6},
                 {kT0 + 0.1, 1, 2, polarDeg(3, -170), 1e-6},     {kT0, 1, 1, 1.0, 1e-6},
                 {kT0 + 0.075, 1, 2, polarDeg(2.5, -175), 1e-5}, {kT0 + 0.025, 2, 3, polarDeg(1.5, 175), 1e-5},
                 {kT0 + 0.075, 2, 3, polarDeg(2.5, -175), 1e-5}};
    for (const auto& c : cases)
        EXPECT_NEAR(std::abs(calibrateOnes(c.t, c.a1, c.a2).data[0] - c.want), 0, c.tol) << c.a1 << "-" << c.a2;
}

TEST_F(GainsOnly, ZeroGainsAndAntennasOutsideTheTableAreFlagged)
{
    GainTable g = solutionsAt(5, 1, 0.08, {kT0, kT0 + 0.1});
    g.gain(0, 5, 1) = {0, 0};
    g.gain(1, 5, 1) = {3, 0};
    setUp(g);

    EXPECT_TRUE(calibrateOnes(kT0 + 0.01, 1, 5).allFlagged());  // only the zero one is near
    EXPECT_TRUE(calibrateOnes(kT0 + 0.01, 5, 5).allFlagged());
    EXPECT_FALSE(calibrateOnes(kT0 + 0.01, 1, 4).allFlagged());  // other antennas unaffected
    Result r = calibrateOnes(kT0 + 0.05, 1, 5);  // both near: the later's gain
    ASSERT_FALSE(r.allFlagged());
    EXPECT_NEAR(std::abs(r.data[0] - cplx(3, 0)), 0, 1e-6);
    EXPECT_TRUE(calibrateOnes(kT0, 4, 6).allFlagged());
    EXPECT_TRUE(calibrateOnes(kT0, 6, 6).allFlagged());
}

TEST_F(GainsOnly, TwoFeedsPairTheFeedsByPolarisationAndFlagStokesRecords)
{
    GainTable g = solutionsAt(2, 2, 0.1, {kT0});
    g.gain(0, 1, 1) = {2, 0};
    g.gain(0, 1, 2) = {3, 0};
    g.gain(0, 2, 1) = {0, 5};
    g.gain(0, 2, 2) = {0, 7};
    setUp(g);
    struct Case {
        int pol;
        cplx expect;
    };
    // g1(feed) * conj(g2(feed)): feed 1 R/X, feed 2 L/Y.
    for (Case c : {Case{-1, {0, -10}}, Case{-5, {0, -10}}, Case{-2, {0, -21}}, Case{-6, {0, -21}}, Case{-3, {0, -14}},
                   Case{-7, {0, -14}}, Case{-4, {0, -15}}, Case{-8, {0, -15}}}) {
        Result r = calibrateOnes(kT0, 1, 2, c.pol);
        ASSERT_FALSE(r.allFlagged()) << c.pol;
        EXPECT_NEAR(std::abs(r.data[0] - c.expect), 0, 1e-5) << c.pol;
    }
    for (int pol : {1, 2, 3, 4})
        EXPECT_TRUE(calibrateOnes(kT0, 1, 2, pol).allFlagged()) << pol;
}

// ---------------------------------------------------------------------------------------------
// Simulated uv data sets.

// One record to write: time, antennas, polarisation, channel values and flags.
struct Record {
    double time;
    int a1, a2;
    int pol;
    std::vector<cplx> data;
    std::vector<int> flags;
    double sfreq = 0;  // when not 0: the first window starts here instead
};

// A record of `nchan` good channels of value 1.
Record ones(double time = kT0, int nchan = 4, int pol = -5, int a1 = 1, int a2 = 2)
{
    return {time, a1, a2, pol, std::vector<cplx>(size_t(nchan), 1.0), std::vector<int>(size_t(nchan), 1)};
}

// Extras of a simulated data set beyond its records and spectral windows.
struct UvExtras {
    int npol = 1;
    int nwide = 0;  // wide-band channels ("wcorr", "wfreq", "wwidth") in every record
};

const std::vector<SpectralWindow> kWindow{{4, 0.1, 0.01}};

// Writes records with the given spectral windows (none: no window variables at all) as a uv
// data set; `tables` then writes the calibration tables into it.
void writeUv(const std::string& path, const std::vector<SpectralWindow>& windows, const std::vector<Record>& records,
             const Tables& tables, const UvExtras& extras = {})
{
    int tno;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "preamble", "uv/time/baseline", 0, 0, 0, 0);
    std::vector<int> nschan;
    std::vector<double> sfreq, sdf;
    for (const SpectralWindow& w : windows) {
        nschan.push_back(w.nchan);
        sfreq.push_back(w.sfreq);
        sdf.push_back(w.sdf);
    }
    const int nspect = int(windows.size());
    std::vector<float> wfreq, wwidth, wdata;
    std::vector<int> wflags(size_t(extras.nwide), 1);
    for (int w = 0; w < extras.nwide; w++) {
        wfreq.push_back(0.1f + 0.01f * w);
        wwidth.push_back(0.01f);
        wdata.push_back(1), wdata.push_back(0);
    }
    for (const Record& r : records) {
        if (nspect > 0) {
            uvputvr_c(tno, IO_INT, "nspect", &nspect, 1);
            uvputvr_c(tno, IO_INT, "nschan", nschan.data(), nspect);
            std::vector<double> starts = sfreq;
            if (r.sfreq != 0)
                starts[0] = r.sfreq;
            uvputvr_c(tno, IO_DBLE, "sfreq", starts.data(), nspect);
            uvputvr_c(tno, IO_DBLE, "sdf", sdf.data(), nspect);
        }
        if (extras.nwide > 0) {
            uvputvr_c(tno, IO_INT, "nwide", &extras.nwide, 1);
            uvputvr_c(tno, IO_REAL, "wfreq", wfreq.data(), extras.nwide);
            uvputvr_c(tno, IO_REAL, "wwidth", wwidth.data(), extras.nwide);
            uvwwrite_c(tno, wdata.data(), wflags.data(), extras.nwide);
        }
        uvputvr_c(tno, IO_INT, "npol", &extras.npol, 1);
        uvputvr_c(tno, IO_INT, "pol", &r.pol, 1);
        std::vector<float> data;
        for (cplx v : r.data)
            data.push_back(float(v.real())), data.push_back(float(v.imag()));
        const double preamble[4] = {10.0 * r.a1, 20.0 * r.a2, r.time, antbas(r.a1, r.a2)};
        uvwrite_c(tno, preamble, data.data(), r.flags.data(), int(r.data.size()));
    }
    tables(tno);
    uvclose_c(tno);
}

// A new data set in `dir` of the records, windows and extras, with the tables `tables` writes.
std::string dataSet(const TempDir& dir, const Tables& tables, const std::vector<Record>& recs = {ones()},
                    const std::vector<SpectralWindow>& windows = kWindow, const UvExtras& extras = {})
{
    static int count = 0;
    const std::string path = dir.file("set" + std::to_string(++count) + ".uv");
    writeUv(path, windows, recs, tables, extras);
    return path;
}

Tables withGains(
    const GainTable& g, const Tables& tweak = [](int) {})
{
    return [=](int tno) { kestrum::sim::writeGains(tno, g), tweak(tno); };
}

Tables withBandpass(
    const BandpassTable& b, const Tables& tweak = [](int) {})
{
    return [=](int tno) { kestrum::sim::writeBandpass(tno, b, true), tweak(tno); };
}

// One bandpass solution for two antennas over `windows`, antenna 1's channel c being c + 1.
BandpassTable ramp(const std::vector<SpectralWindow>& windows = kWindow)
{
    BandpassTable bp(2, 1, 0, windows);
    bp.addSolution();
    for (int c = 0; c < bp.nchan(); c++)
        bp.value(0, 1, 1, c) = kestrum::sim::Gain(float(c + 1), 0);
    return bp;
}

// Every record of the data set (its wide channels with `wide`) as uvgnfac calibrates it.
std::vector<Result> calibrateAll(const std::string& path, int dogains, int dopass, bool wide = false)
{
    int tno;
    uvopen_c(&tno, path.c_str(), "old");
    uvgnini(tno, dogains, dopass);
    std::vector<Result> out;
    std::vector<float> data(128);
    int flags[64];
    double preamble[4];
    for (int nread;;) {
        uvread_c(tno, preamble, data.data(), flags, 64, &nread);
        if (nread == 0)
            break;
        if (wide)
            uvwread_c(tno, data.data(), flags, 64, &nread);
        float grms;
        uvgnfac(preamble[2], preamble[3], 0, wide, data.data(), flags, nread, &grms);
        out.push_back(toResult(data, flags, nread, grms));
    }
    uvgnfin();
    uvclose_c(tno);
    return out;
}

// Every record the access layer delivers for the keywords, with what it printed in `notices`.
std::vector<Result> readAccess(const std::vector<std::string>& texts, std::string* notices = nullptr)
{
    keyinic();
    for (const std::string& t : texts)
        keyputc(t.c_str());
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    testing::internal::CaptureStdout();
    const bool opened = uvdatopn(&tno);
    const std::string out = testing::internal::GetCapturedStdout();
    if (notices)
        *notices = out;
    EXPECT_TRUE(opened);
    std::vector<Result> records;
    std::vector<float> data(128);
    int flags[64];
    double preamble[4];
    for (int nread; opened;) {
        uvdatrd(preamble, data.data(), flags, 64, &nread);
        if (nread == 0)
            break;
        records.push_back(toResult(data, flags, nread, 0));
    }
    if (opened)
        uvdatcls();
    return records;
}

// The simulation: 6 antennas, two windows (the second with falling frequency), gain solutions
// every 10 minutes valid for 4.5 minutes with the sixth missing, antenna 4 without a gain in the
// eighth solution, delay terms, and two bandpass solutions (one up to 60 minutes, one after),
// with no bandpass for antenna 2 in channel 3.
struct Simulation {
    static constexpr int nants = 6;
    std::vector<SpectralWindow> windows{{8, 0.150, 0.001}, {8, 0.175, -0.0005}};
    GainTable gains{nants, 1, 1, 4.5 * kMinute};
    BandpassTable bandpass{nants, 1, 1, windows};
    std::vector<Record> model;  // what calibration must give back
    std::vector<Record> observed;  // what the data set holds
    std::vector<bool> reachable;  // whether calibration can reach each record at all

    Simulation()
    {
        gains.freq0 = 0.16;
        for (int k = 0; k <= 10; k++) {
            if (k == 5)
                continue;
            int s = gains.addSolution(kT0 + k * 10 * kMinute);
            for (int a = 1; a <= nants; a++) {
                gains.gain(s, a, 1) = gainDeg(1 + 0.1 * a + 0.05 * k, 17.0 * a - 11.0 * k);
                gains.delay(s, a) = kestrum::sim::Gain(float(0.05 * (a - 3)), float(3.0 * (a - 3) + 0.5 * k));
            }
        }
        gains.gain(7, 4, 1) = {0, 0};  // solution at 80 minutes
        for (int s = 0; s < 2; s++) {
            bandpass.addSolution(kT0 + (60 + s * 0.5) * kMinute, true);
            for (int a = 1; a <= nants; a++)
                for (int c = 0; c < bandpass.nchan(); c++)
                    bandpass.value(s, a, 1, c) =
                        gainDeg(1 + 0.02 * c * a / 6.0 + 0.1 * s, 3.0 * c - 6.0 * a + 12.0 * s);
            bandpass.value(s, 2, 1, 3) = {0, 0};
        }

        const int nchan = bandpass.nchan();
        for (int j = -5; j <= 55; j++) {
            const double t = kT0 + 2 * j * kMinute;
            const int bps = j <= 30 ? 0 : 1;
            for (int a1 = 1; a1 <= nants; a1++)
                for (int a2 = a1; a2 <= nants; a2++) {
                    Record m{t, a1, a2, -5, {}, std::vector<int>(nchan, 1)};
                    Record o = m;
                    cplx G, T;
                    bool ok = kestrum::sim::gainProduct(gains, t, a1, 1, a2, 1, &G, &T);
                    for (int c = 0; c < nchan; c++) {
                        cplx v = std::polar(2.0 + a1 - 0.1 * a2 + 0.05 * c, 0.2 * a1 - 0.3 * a2 + 0.01 * c + 5 * j);
                        m.data.push_back(v);
                        cplx f = ok ? G * kestrum::sim::bandpassProduct(bandpass, bps, a1, 1, a2, 1, c) *
                                kestrum::sim::delayFactor(T, bandpass.frequency(c), gains.freq0)
                                    : 1.0;
                        bool bad = std::abs(f) == 0;
                        o.data.push_back(bad ? v : v / f);
                        if (bad)
                            m.flags[c] = 0;
                    }
                    if (a1 == 1 && a2 == 2)
                        o.flags[5] = m.flags[5] = 0;  // flagged in the data
                    if (!ok)
                        m.flags.assign(nchan, 0);
                    reachable.push_back(ok);
                    model.push_back(std::move(m));
                    observed.push_back(std::move(o));
                }
        }
    }

    void write(const std::string& path) const
    {
        writeUv(path, windows, observed, [this](int tno) {
            kestrum::sim::writeGains(tno, gains);
            kestrum::sim::writeBandpass(tno, bandpass, false);
        });
    }

    // Calibrated records must equal the model to single-precision rounding, with its flags.
    void expectModel(const std::vector<Result>& got) const
    {
        ASSERT_EQ(got.size(), model.size());
        for (size_t i = 0; i < got.size(); i++) {
            const Record& m = model[i];
            ASSERT_EQ(got[i].flags, m.flags) << "record " << i;
            for (size_t c = 0; c < m.data.size(); c++) {
                if (!m.flags[c])
                    continue;
                ASSERT_LE(std::abs(got[i].data[c] - m.data[c]), 4e-6 * std::abs(m.data[c]))
                    << "record " << i << " channel " << c;
            }
        }
    }
};

// Two bandpass solutions an hour apart, antenna 1 only differing: a record halfway between
// them gets the amplitude mean and the phase halfway along the shorter arc; records before
// the first and after the last get theirs.
TEST(UvgnSimulated, BetweenAndBeyondBandpassSolutions)
{
    TempDir dir;
    BandpassTable bp(2, 1, 0, kWindow);
    bp.addSolution(kT0, true);
    bp.addSolution(kT0 + 1.0 / 24, true);
    for (int c = 0; c < 4; c++) {
        bp.value(0, 1, 1, c) = gainDeg(1, 160);
        bp.value(1, 1, 1, c) = gainDeg(2, -140);
    }
    const std::vector<Result> got =
        calibrateAll(dataSet(dir, withBandpass(bp), {ones(kT0 - 1), ones(kT0 + 0.5 / 24), ones(kT0 + 1)}), 0, 1);
    const cplx want[] = {polarDeg(1, 160), polarDeg(1.5, 190), polarDeg(2, -140)};
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(got[i].grms, 1.0f);
        EXPECT_EQ(got[i].flags, std::vector<int>(4, 1));
        for (int c = 0; c < 4; c++)
            EXPECT_NEAR(std::abs(got[i].data[c] - want[i]), 0, 1e-5) << i;
    }
}

// Per-baseline channel gains: each baseline's own values; channels beyond the table, baselines
// beyond it and zero entries flagged. "cgains" is for the channels, "wgains" for wide data.
TEST(UvgnSimulated, PerBaselineChannelGainsWithoutABandpass)
{
    TempDir dir;
    UvExtras extras;
    extras.nwide = 4;
    for (bool wide : {false, true}) {
        BaselineGains table(64, 3);  // 64 antennas assumed without a gain table
        for (int c = 0; c < 3; c++) {
            table.value(1, 2, c) = kestrum::sim::Gain(float(c + 1), 2);
            table.value(2, 3, c) = kestrum::sim::Gain(0, float(c + 5));
        }
        table.value(2, 3, 1) = {0, 0};
        for (auto [a1, a2] : {std::pair{1, 2}, std::pair{2, 3}, std::pair{3, 70}}) {
            const auto tables = [&](int tno) { kestrum::sim::writeBaselineGains(tno, table, wide); };
            const std::vector<Result> got =
                calibrateAll(dataSet(dir, tables, {ones(kT0, 4, -5, a1, a2)}, kWindow, extras), 0, 1, wide);
            ASSERT_EQ(got.size(), 1u);
            const Result& r = got[0];
            ASSERT_EQ(r.flags.size(), 4u);
            EXPECT_EQ(r.flags[3], 0) << "beyond the table's channels";
            if (a2 == 70) {
                EXPECT_TRUE(r.allFlagged());
            } else if (a1 == 1) {
                for (int c = 0; c < 3; c++)
                    EXPECT_EQ(r.data[c], cplx(c + 1, 2)) << wide;
                EXPECT_EQ(r.flags, (std::vector<int>{1, 1, 1, 0}));
            } else {
                EXPECT_EQ(r.data[0], cplx(0, 5));
                EXPECT_EQ(r.data[2], cplx(0, 7));
                EXPECT_EQ(r.flags, (std::vector<int>{1, 0, 1, 0}));
            }
        }
    }
}

// Wide channels get the bandpass of the channels within their band.
TEST(UvgnSimulated, WideChannelsGetTheBandpassWithinTheirBand)
{
    TempDir dir;
    BandpassTable bp = ramp();
    bp.value(0, 2, 1, 2) = {0, 0};
    UvExtras extras;
    extras.nwide = 5;  // at 0.10 ... 0.14 GHz, 0.01 wide: the last one has no bandpass
    const std::vector<Result> got = calibrateAll(dataSet(dir, withBandpass(bp), {ones()}, kWindow, extras), 0, 1, true);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].data.size(), 5u);
    EXPECT_EQ(got[0].flags, (std::vector<int>{1, 1, 0, 1, 0}));
    for (int c : {0, 1, 3})
        EXPECT_NEAR(std::abs(got[0].data[c] - cplx(c + 1, 0)), 0, 1e-6) << c;
}

// A bandpass of six channels at 0.10 ... 0.15 GHz, antenna 1's channel c being c + 1, and
// records of four channels whose window starts at 0.10 or at 0.12 GHz from record to record
// (for every `group` records), all values 1: each must get the bandpass of its own channels.
struct MovingWindow {
    BandpassTable bp = ramp({{6, 0.10, 0.01}});
    std::vector<Record> records;
    MovingWindow(int group, const std::vector<int>& pols)
    {
        for (int i = 0; i < 12; i++)
            for (int pol : pols) {
                records.push_back(ones(kT0 + i * kMinute, 4, pol));
                records.back().sfreq = (i / group) % 3 == 1 ? 0.12 : 0.10;
            }
    }
    // What channel c of time i must become.
    static double expected(size_t i, int c, int group) { return c + 1 + ((i / size_t(group)) % 3 == 1 ? 2 : 0); }
};

// ---------------------------------------------------------------------------------------------
// Through the access layer, as the viewer reads.

TEST(UvgnAccessLayer, DeliversTheModelAndAnnouncesTheCorrections)
{
    TempDir dir;
    Simulation sim;
    const std::string path = dir.file("sim.uv");
    sim.write(path);
    std::string out;
    sim.expectModel(readAccess({"vis=" + path}, &out));
    EXPECT_NE(out.find("Applying bandpass corrections to " + path + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Applying gain corrections to " + path + "\n"), std::string::npos) << out;
    // The simulation leaves records out of reach (before the first solution, around the
    // missing one, after the last, antenna 4 near its zero gain) and records partly flagged.
    int unreachable = 0, partial = 0;
    for (size_t i = 0; i < sim.model.size(); i++) {
        unreachable += !sim.reachable[i];
        partial += sim.reachable[i] && sim.model[i].flags != std::vector<int>(16, 1);
    }
    EXPECT_GT(unreachable, 100);
    EXPECT_GT(partial, 100);
}

// The moving window through Stokes I from XX and YY groups: the set-up changes with the first
// product of a group, and calibration is applied after the whole group has been read.
TEST(UvgnAccessLayer, BandpassFollowsTheSetUpOfRecordGroups)
{
    TempDir dir;
    MovingWindow mw(1, {-5, -6});
    UvExtras extras;
    extras.npol = 2;
    const std::vector<Result> got =
        readAccess({"vis=" + dataSet(dir, withBandpass(mw.bp), mw.records, kWindow, extras), "stokes=i"});
    ASSERT_EQ(got.size(), 12u);
    for (size_t i = 0; i < got.size(); i++)
        for (int c = 0; c < 4; c++)
            ASSERT_NEAR(got[i].data[c].real(), mw.expected(i, c, 1), 1e-6) << i << " " << c;
}

// ---------------------------------------------------------------------------------------------
// Fatal messages: each for a table that triggers it.

GainTable oneSolution(int nants = 2, int nfeeds = 1)
{
    return solutionsAt(nants, nfeeds, 0.1, {kT0});
}

void appendByte(int tno, const char* item)
{
    int ih, iostat;
    haccess_c(tno, &ih, item, "append", &iostat);
    ASSERT_EQ(iostat, 0);
    const char b = 0;
    hwriteb_c(ih, &b, hsize_c(ih), 1, &iostat);
    hdaccess_c(ih, &iostat);
}

void truncateItem(int tno, const char* item, int keep)
{
    std::vector<char> bytes(static_cast<size_t>(keep));
    int ih, iostat;
    haccess_c(tno, &ih, item, "read", &iostat);
    hreadb_c(ih, bytes.data(), 0, keep, &iostat);
    hdaccess_c(ih, &iostat);
    haccess_c(tno, &ih, item, "write", &iostat);
    hwriteb_c(ih, bytes.data(), 0, keep, &iostat);
    hdaccess_c(ih, &iostat);
}

void deleteItem(int tno, const char* item)
{
    int iostat;
    hdelete_c(tno, item, &iostat);
}

// Gain tables (set up with dogains) and bandpass and per-baseline tables (with dopass).
TEST(UvgnDeathTest, HeaderValuesAndTableSizes)
{
    TempDir dir;
    BandpassTable seventeen(2, 1, 0, std::vector<SpectralWindow>(17, {1, 0.1, 0.01}));
    seventeen.addSolution();
    const char* badSize =
        "Bandpass table size is incorrect\\. This happens when the inputs for tovak and renul are inconsistent";
    const char* badCounts = "Invalid value for nchan, ngains or nspect, in uvDat";
    const struct {
        Tables tables;
        bool gains;
        const char* message;
    } cases[] = {
        {withGains(oneSolution(), [](int t) { wrhdi_c(t, "ngains", 0); }), true,
         "### Fatal Error:  Number of gains is missing or bad, in uvGnIni\n"},
        {withGains(oneSolution(), [](int t) { wrhdi_c(t, "nfeeds", 3); }), true,
         "### Fatal Error:  Number of feeds is bad\n"},
        {withGains(oneSolution(), [](int t) { wrhdi_c(t, "ntau", 2); }), true,
         "### Fatal Error:  Number of delay terms is bad\n"},
        {withGains(oneSolution(2, 2), [](int t) { wrhdi_c(t, "ngains", 5); }), true,
         "### Fatal Error:  Bad number of gains or feeds\n"},
        {withGains(oneSolution(65)), true, "### Fatal Error:  Too many antennae for me to handle, in uvGnIni\n"},
        {withGains(oneSolution(), [](int t) { wrhdi_c(t, "nsols", 0); }), true,
         "### Fatal Error:  Number of gain solutions is missing or bad, in uvGnIni\n"},
        {withGains(oneSolution(), [](int t) { wrhdd_c(t, "interval", 0.0); }), true,
         "### Fatal Error:  The time interval increment is missing or bad, in uvGnIni\n"},
        {withGains(oneSolution(), [](int t) { appendByte(t, "gains"); }), true,
         "### Fatal Error:  Gain table size is incorrect\n"},
        {withGains(oneSolution(), [](int t) { wrhdi_c(t, "nsols", 2); }), true,
         "### Fatal Error:  Gain table size is incorrect\n"},
        // The gains item missing while its header values are there.
        {withGains(oneSolution(), [](int t) { deleteItem(t, "gains"); }), true,
         "### Warning:  I/O error when accessing gains table, in Gains routines\\.\n### Fatal Error:  No such file or "
         "directory\n"},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "nchan0", 0); }), false, badCounts},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "nspect0", 0); }), false, badCounts},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "nchan0", 5); }), false, badCounts},
        {withBandpass(seventeen), false, "Too many spectral windows for me to handle, in uvDat"},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "nbpsols", 1025); }), false,
         "Too many bandpass solutions for me too handle, in uvGn"},
        {withBandpass(ramp(), [](int t) { appendByte(t, "bandpass"); }), false, badSize},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "nbpsols", 1); }), false, badSize},
        {withBandpass(ramp(), [](int t) { wrhdi_c(t, "ngains", 0); }), false,
         "Number of gains is missing or bad, in uvGnIni"},
        {withBandpass(ramp(), [](int t) { deleteItem(t, "freqs"); }), false,
         "### Warning:  I/O error when accessing freqs table, in Gains routines\\.\n### Fatal Error:  No such file or "
         "directory"},
        {withBandpass(ramp(), [](int t) { truncateItem(t, "freqs", 20); }), false,
         "### Warning:  I/O error when reading freqs table, in Gains routines\\.\n### Fatal Error:  End of file "
         "detected"},
        {[](int t) {
             wrhdi_c(t, "ncgains", 0);
             wrhdi_c(t, "ncbase", 3);
         },
         false, "Number of gains is missing or bad, in uvGnInic"},
        {[](int t) { wrhdi_c(t, "ncgains", 4); }, false, "Number of baselines is missing or bad, in uvGnInic"},
        {[](int t) { wrhdi_c(t, "nwbase", 3); }, false, "Number of gains is missing or bad, in uvGnIniw"},
        {[](int t) { wrhdi_c(t, "nwgains", 4); }, false, "Number of baselines is missing or bad, in uvGnIniw"},
    };
    for (const auto& c : cases) {
        const std::string path = dataSet(dir, [&](int tno) {
            c.tables(tno);
            // Table items the header values above refer to, for the per-baseline cases.
            if (!hexists_c(tno, "bandpass") && !hexists_c(tno, "ngains")) {
                int ih, iostat;
                const char head[8] = {};
                haccess_c(tno, &ih, hexists_c(tno, "nwgains") || hexists_c(tno, "nwbase") ? "wgains" : "cgains",
                          "write", &iostat);
                hwriteb_c(ih, head, 0, 8, &iostat);
                hdaccess_c(ih, &iostat);
            }
        });
        EXPECT_EXIT(calibrateAll(path, c.gains, !c.gains), ::testing::ExitedWithCode(1), c.message) << c.message;
    }
}

TEST(UvgnDeathTest, RecordSetUpsTheBandpassCannotBeMatchedTo)
{
    TempDir dir;
    UvExtras wide17;
    wide17.nwide = 17;
    // A bandpass solution time that is no number leaves no interval for any record.
    BandpassTable timed = ramp();
    timed.addSolution(NAN, true);
    timed.times.insert(timed.times.begin(), kT0 - 1);
    const Tables bp = withBandpass(ramp());
    const struct {
        Tables tables;
        Record record;
        std::vector<SpectralWindow> windows;
        UvExtras extras;
        bool wide;
        const char* message;
    } cases[] = {
        {bp, ones(), {}, {}, false, "Bad value for variable nspect, in uvGn\\(pass-get\\)"},
        {bp,
         ones(kT0, 17),
         std::vector<SpectralWindow>(17, {1, 0.1, 0.01}),
         {},
         false,
         "nchan\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {bp, ones(kT0, 6), kWindow, {}, false, "Inconsistent number of channels, in uvGn\\(pass-get\\)"},
        {bp,
         ones(),
         {{-2, 0.1, 0.01}, {4, 0.1, 0.01}},
         {},
         false,  // a window of -2 channels
         "Inconsistent number of channels, in uvGn\\(pass-get\\)"},
        {bp, ones(), kWindow, wide17, true, "nwide\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {withBandpass(timed), ones(), kWindow, {}, false, "uvGn: corrupted bp table\\?"},
    };
    for (const auto& c : cases) {
        const std::string path = dataSet(dir, c.tables, {c.record}, c.windows, c.extras);
        EXPECT_EXIT(calibrateAll(path, 0, 1, c.wide), ::testing::ExitedWithCode(1),
                    std::string("### Fatal Error:  ") + c.message + "\n")
            << c.message;
    }
}

}  // namespace
