// Gain, delay and bandpass calibration: interpolation and reach of gain solutions, a simulated data set corrupted by known gains, delays and bandpasses that must read back as
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
};

Result toResult(const std::vector<float>& data, const int* flags, int n, float grms)
{
    Result r{{}, std::vector<int>(flags, flags + n), grms};
    for (int c = 0; c < n; c++)
        r.data.emplace_back(data[2 * c], data[2 * c + 1]);
    return r;
}

GainTable solutionsAt(int nants, int nfeeds, double interval, std::initializer_list<double> times)
{
    GainTable g(nants, nfeeds, 0, interval);
    for (double t : times)
        g.addSolution(t);
    return g;
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

Tables withGains(const GainTable& g)
{
    return [=](int tno) { kestrum::sim::writeGains(tno, g); };
}

Tables withBandpass(const BandpassTable& b)
{
    return [=](int tno) { kestrum::sim::writeBandpass(tno, b, true); };
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

// Every record the access layer delivers for the keywords (what it prints goes to stdout).
std::vector<Result> readAccess(const std::vector<std::string>& texts)
{
    keyinic();
    for (const std::string& t : texts)
        keyputc(t.c_str());
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    EXPECT_TRUE(uvdatopn(&tno));
    std::vector<Result> records;
    std::vector<float> data(128);
    int flags[64];
    double preamble[4];
    for (int nread; uvdatrd(preamble, data.data(), flags, 64, &nread), nread > 0;)
        records.push_back(toResult(data, flags, nread, 0));
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

// Two gain solutions, each reaching 0.08 days: antenna 1 turning through 180 degrees one way,
// antenna 3 the other (so baseline 2-3 sees the conjugate of its gain), antenna 5 zero in the
// first. Records at the solutions, a quarter, half and three quarters of the way along (through
// 180 degrees, not through 0), near the zero gain only (flagged: 0), near both (the other's)
// and of antennas beyond the table (flagged).
TEST(UvgnSimulated, InterpolationAndReachOfGainSolutions)
{
    TempDir dir;
    GainTable g = solutionsAt(5, 1, 0.08, {kT0, kT0 + 0.1});
    g.gain(0, 1, 1) = gainDeg(1, 170);
    g.gain(1, 1, 1) = gainDeg(3, -170);
    g.gain(0, 3, 1) = gainDeg(1, -170);
    g.gain(1, 3, 1) = gainDeg(3, 170);
    g.gain(0, 5, 1) = {0, 0};
    g.gain(1, 5, 1) = {3, 0};
    const struct {
        double t;
        int a1, a2;
        cplx want;
    } cases[] = {{kT0, 1, 2, polarDeg(1, 170)},
                 {kT0, 1, 1, 1.0},
                 {kT0, 4, 6, 0.0},
                 {kT0, 6, 6, 0.0},
                 {kT0 + 0.01, 1, 5, 0.0},
                 {kT0 + 0.01, 5, 5, 0.0},
                 {kT0 + 0.01, 2, 4, 1.0},
                 {kT0 + 0.025, 1, 2, polarDeg(1.5, 175)},
                 {kT0 + 0.05, 1, 2, polarDeg(2, 180)},
                 {kT0 + 0.05, 2, 3, polarDeg(2, 180)},
                 {kT0 + 0.05, 2, 5, 3.0},
                 {kT0 + 0.075, 2, 3, polarDeg(2.5, -175)},
                 {kT0 + 0.1, 1, 2, polarDeg(3, -170)}};
    std::vector<Record> records;
    for (const auto& c : cases)
        records.push_back(ones(c.t, 4, -5, c.a1, c.a2));
    const std::vector<Result> got = calibrateAll(dataSet(dir, withGains(g), records), 1, 0);
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); i++) {
        const auto& c = cases[i];
        EXPECT_EQ(got[i].flags, std::vector<int>(4, c.want != 0.0)) << i;
        if (c.want == 0.0)
            continue;
        EXPECT_NEAR(got[i].grms, std::abs(c.want), 1e-5) << i;
        for (int ch = 0; ch < 4; ch++)
            EXPECT_NEAR(std::abs(got[i].data[ch] - c.want), 0, 1e-5) << i;
    }
}

// Two bandpass solutions an hour apart, antenna 1's channel c being c + 1 times a phase turning
// through 180 degrees, antenna 2's channel 2 zero: a record halfway between them gets the
// amplitude mean and the phase halfway along the shorter arc; records before the first and
// after the last get theirs. Wide channels (at 0.10 ... 0.14 GHz, 0.01 wide) get the bandpass of
// the channels within their band, the last one none.
TEST(UvgnSimulated, BetweenAndBeyondBandpassSolutionsForChannelsAndWideChannels)
{
    TempDir dir;
    BandpassTable bp(2, 1, 0, kWindow);
    bp.addSolution(kT0, true);
    bp.addSolution(kT0 + 1.0 / 24, true);
    for (int c = 0; c < 4; c++) {
        bp.value(0, 1, 1, c) = gainDeg(c + 1, 160);
        bp.value(1, 1, 1, c) = gainDeg(2 * (c + 1), -140);
    }
    bp.value(0, 2, 1, 2) = bp.value(1, 2, 1, 2) = {0, 0};
    UvExtras extras;
    extras.nwide = 5;
    const std::string path =
        dataSet(dir, withBandpass(bp), {ones(kT0 - 1), ones(kT0 + 0.5 / 24), ones(kT0 + 1)}, kWindow, extras);
    const cplx want[] = {polarDeg(1, 160), polarDeg(1.5, 190), polarDeg(2, -140)};
    for (bool wide : {false, true}) {
        const std::vector<Result> got = calibrateAll(path, 0, 1, wide);
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(got[i].grms, 1.0f);
            EXPECT_EQ(got[i].flags, (wide ? std::vector<int>{1, 1, 0, 1, 0} : std::vector<int>{1, 1, 0, 1}));
            for (int c : {0, 1, 3})
                EXPECT_NEAR(std::abs(got[i].data[c] - double(c + 1) * want[i]), 0, 1e-5) << i << " " << wide;
        }
    }
}

// Per-baseline channel gains: each baseline's own values; channels beyond the table, baselines
// beyond it and zero entries flagged. "cgains" is for the channels, "wgains" for wide data.
TEST(UvgnSimulated, PerBaselineChannelGainsWithoutABandpass)
{
    TempDir dir;
    UvExtras extras;
    extras.nwide = 4;
    BaselineGains table(64, 3);  // 64 antennas assumed without a gain table
    for (int c = 0; c < 3; c++) {
        table.value(1, 2, c) = kestrum::sim::Gain(float(c + 1), 2);
        table.value(2, 3, c) = kestrum::sim::Gain(0, float(c + 5));
    }
    table.value(2, 3, 1) = {0, 0};
    const struct {
        int a1, a2;
        std::vector<cplx> data;
        std::vector<int> flags;
    } cases[] = {{1, 2, {{1, 2}, {2, 2}, {3, 2}}, {1, 1, 1, 0}},
                 {2, 3, {{0, 5}, {1, 0}, {0, 7}}, {1, 0, 1, 0}},
                 {3, 70, {}, {0, 0, 0, 0}}};
    for (bool wide : {false, true})
        for (const auto& c : cases) {
            const auto tables = [&](int tno) { kestrum::sim::writeBaselineGains(tno, table, wide); };
            const std::vector<Result> got =
                calibrateAll(dataSet(dir, tables, {ones(kT0, 4, -5, c.a1, c.a2)}, kWindow, extras), 0, 1, wide);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].flags, c.flags) << c.a2 << " " << wide;
            for (size_t ch = 0; ch < c.data.size(); ch++) {
                if (c.flags[ch]) {
                    EXPECT_EQ(got[0].data[ch], c.data[ch]) << c.a2 << " " << wide;
                }
            }
        }
}

// ---------------------------------------------------------------------------------------------
// Through the access layer, as the viewer reads.

TEST(UvgnAccessLayer, DeliversTheModelAndAnnouncesTheCorrections)
{
    TempDir dir;
    Simulation sim;
    const std::string path = dir.file("sim.uv");
    sim.write(path);
    testing::internal::CaptureStdout();
    sim.expectModel(readAccess({"vis=" + path}));
    const std::string out = testing::internal::GetCapturedStdout();
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

// A bandpass of six channels at 0.10 ... 0.15 GHz (antenna 1's channel c being c + 1) and
// XX and YY records of four channels whose window starts at 0.10 or at 0.12 GHz from time to
// time, read as Stokes I: the set-up changes with the first product of a group, and each group
// must get the bandpass of its own channels once the whole group has been read.
TEST(UvgnAccessLayer, BandpassFollowsTheSetUpOfRecordGroups)
{
    TempDir dir;
    std::vector<Record> records;
    for (int i = 0; i < 12; i++)
        for (int pol : {-5, -6}) {
            records.push_back(ones(kT0 + i * kMinute, 4, pol));
            records.back().sfreq = i % 3 == 1 ? 0.12 : 0.10;
        }
    UvExtras extras;
    extras.npol = 2;
    const std::vector<Result> got = readAccess(
        {"vis=" + dataSet(dir, withBandpass(ramp({{6, 0.10, 0.01}})), records, kWindow, extras), "stokes=i"});
    ASSERT_EQ(got.size(), 12u);
    for (size_t i = 0; i < got.size(); i++)
        for (int c = 0; c < 4; c++)
            ASSERT_NEAR(got[i].data[c].real(), c + 1 + (i % 3 == 1 ? 2 : 0), 1e-6) << i << " " << c;
}

// ---------------------------------------------------------------------------------------------
// Fatal messages: each for a table that triggers it.

GainTable oneSolution(int nants = 2, int nfeeds = 1)
{
    return solutionsAt(nants, nfeeds, 0.1, {kT0});
}

// Damage done to the tables after they are written: a header value set, or an item with a byte
// appended (value -1), truncated to 20 bytes (-2) or deleted (-3).
Tables damage(const Tables& tables, const char* item, int value)
{
    return [=](int tno) {
        tables(tno);
        int ih, iostat;
        if (value >= 0)
            return wrhdi_c(tno, item, value);
        if (value == -3)
            return hdelete_c(tno, item, &iostat);
        std::vector<char> bytes(20);
        haccess_c(tno, &ih, item, value == -1 ? "append" : "read", &iostat);
        if (value == -2) {
            hreadb_c(ih, bytes.data(), 0, 20, &iostat);
            hdaccess_c(ih, &iostat);
            haccess_c(tno, &ih, item, "write", &iostat);
        }
        hwriteb_c(ih, bytes.data(), value == -1 ? hsize_c(ih) : 0, value == -1 ? 1 : 20, &iostat);
        hdaccess_c(ih, &iostat);
    };
}

// Gain tables (set up with dogains) and bandpass and per-baseline tables (with dopass).
TEST(UvgnDeathTest, HeaderValuesAndTableSizes)
{
    TempDir dir;
    BandpassTable seventeen(2, 1, 0, std::vector<SpectralWindow>(17, {1, 0.1, 0.01}));
    seventeen.addSolution();
    const Tables g = withGains(oneSolution()), bp = withBandpass(ramp()), none = [](int) {};
    const char* badSize =
        "Bandpass table size is incorrect\\. This happens when the inputs for tovak and renul are inconsistent";
    const char* badCounts = "Invalid value for nchan, ngains or nspect, in uvDat";
    const char* noFile =
        "I/O error when accessing (gains|freqs) table, in Gains routines\\.\n.*No such file or directory";
    const struct {
        Tables tables;
        bool gains;
        const char* message;
    } cases[] = {
        {damage(g, "ngains", 0), true, "Number of gains is missing or bad, in uvGnIni\n"},
        {damage(g, "nfeeds", 3), true, "Number of feeds is bad\n"},
        {damage(g, "ntau", 2), true, "Number of delay terms is bad\n"},
        {damage(withGains(oneSolution(2, 2)), "ngains", 5), true, "Bad number of gains or feeds\n"},
        {withGains(oneSolution(65)), true, "Too many antennae for me to handle, in uvGnIni\n"},
        {damage(g, "nsols", 0), true, "Number of gain solutions is missing or bad, in uvGnIni\n"},
        {damage(g, "interval", 0), true, "The time interval increment is missing or bad, in uvGnIni\n"},
        {damage(g, "gains", -1), true, "Gain table size is incorrect\n"},
        {damage(g, "nsols", 2), true, "Gain table size is incorrect\n"},
        {damage(g, "gains", -3), true, noFile},  // the item missing while its header values are there
        {damage(bp, "nchan0", 0), false, badCounts},
        {damage(bp, "nspect0", 0), false, badCounts},
        {damage(bp, "nchan0", 5), false, badCounts},
        {withBandpass(seventeen), false, "Too many spectral windows for me to handle, in uvDat"},
        {damage(bp, "nbpsols", 1025), false, "Too many bandpass solutions for me too handle, in uvGn"},
        {damage(bp, "bandpass", -1), false, badSize},
        {damage(bp, "nbpsols", 1), false, badSize},
        {damage(bp, "ngains", 0), false, "Number of gains is missing or bad, in uvGnIni"},
        {damage(bp, "freqs", -3), false, noFile},
        {damage(bp, "freqs", -2), false, "I/O error when reading freqs table, in Gains routines\\.\n.*End of file"},
        {damage(damage(none, "ncgains", 0), "ncbase", 3), false, "Number of gains is missing or bad, in uvGnInic"},
        {damage(none, "ncgains", 4), false, "Number of baselines is missing or bad, in uvGnInic"},
        {damage(none, "nwbase", 3), false, "Number of gains is missing or bad, in uvGnIniw"},
        {damage(none, "nwgains", 4), false, "Number of baselines is missing or bad, in uvGnIniw"},
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
    const std::vector<SpectralWindow> none, many(17, {1, 0.1, 0.01}), negative{{-2, 0.1, 0.01}, {4, 0.1, 0.01}};
    const Tables bp = withBandpass(ramp());
    const struct {
        Tables tables;
        int nchan;
        const std::vector<SpectralWindow>& windows;
        const UvExtras& extras;
        const char* message;
    } cases[] = {
        {bp, 4, none, {}, "Bad value for variable nspect, in uvGn\\(pass-get\\)"},
        {bp, 17, many, {}, "nchan\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {bp, 6, kWindow, {}, "Inconsistent number of channels, in uvGn\\(pass-get\\)"},
        {bp, 4, negative, {}, "Inconsistent number of channels, in uvGn\\(pass-get\\)"},  // a window of -2 channels
        {bp, 4, kWindow, wide17, "nwide\\.gt\\.maxspect, in uvGn\\(pass-get\\)"},
        {withBandpass(timed), 4, kWindow, {}, "uvGn: corrupted bp table\\?"},
    };
    for (const auto& c : cases) {
        const std::string path = dataSet(dir, c.tables, {ones(kT0, c.nchan)}, c.windows, c.extras);
        EXPECT_EXIT(calibrateAll(path, 0, 1, c.extras.nwide > 0), ::testing::ExitedWithCode(1),
                    std::string("### Fatal Error:  ") + c.message + "\n")
            << c.message;
    }
}

}  // namespace
