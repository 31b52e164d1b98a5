// The observation simulator: its scan plan, its determinism, the kestrum-sim program's
// parameters, and its calibration tables: read through the access layer (and announced by the
// viewer), a calibrator observation corrupted by gains, delays and bandpasses comes back as
// the flat spectrum of the calibrator, except where the tables leave records without a gain.
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/app/uvsets.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>

using kestrum::sim::ObserveConfig;
using kestrum::test::binary;
using kestrum::test::readFile;
using kestrum::test::TempDir;

namespace {

ObserveConfig config(const std::string& out)
{
    ObserveConfig c;
    c.out = out;
    c.nants = 5;
    c.nchan = 64;
    c.sources = {"cal", "t1", "t2"};
    c.pols = {-5};
    c.hours = 1.0;
    c.inttime = 20.0;
    c.scans = 5;
    return c;
}

// A calibrator observation of 5 antennas without noise or interference, with calibration tables.
ObserveConfig calibrator(const std::string& out)
{
    ObserveConfig c;
    c.out = out;
    c.nants = 5;
    c.nchan = 160;  // more than 64: the delay phase rotation restarts within the band
    c.sources = {"cal"};
    c.pols = {-5, -6};
    c.hours = 0.5;
    c.inttime = 30.0;
    c.scans = 1;
    c.noise = 0.0;
    c.rfi = false;
    c.cal = true;
    return c;
}

// The calibrator's spectrum: 10 Jy at the phase centre with spectral index -0.7.
double model(const ObserveConfig& c, int channel)
{
    return 10.0 * std::pow((c.sfreq + channel * c.bandwidth / c.nchan) / c.sfreq, -0.7);
}

// Whether the tables leave the record of this integration and second antenna without a gain.
bool unreachable(const kestrum::sim::CalibrationGaps& g, long integration, int ant2)
{
    return (integration >= g.gapFirst && integration < g.gapEnd) ||
        (ant2 == g.zeroAntenna && integration >= g.zeroFirst && integration < g.zeroEnd);
}

}  // namespace

TEST(Simulator, ScansAlternateCalibratorAndTargetsWithGapsBetween)
{
    const auto plan = kestrum::sim::schedule(config("unused"));
    ASSERT_FALSE(plan.empty());
    std::vector<int> scanSources{plan.front().source};
    int gaps = 0;
    for (size_t i = 1; i < plan.size(); ++i) {
        const double step = plan[i].seconds - plan[i - 1].seconds;
        ASSERT_GE(step, 20.0);
        if (step > 20.0) {
            ++gaps;
            scanSources.push_back(plan[i].source);
        } else {
            EXPECT_EQ(plan[i].source, plan[i - 1].source) << "source changed within a scan";
        }
    }
    EXPECT_EQ(gaps, 4);
    EXPECT_EQ(scanSources, (std::vector<int>{0, 1, 0, 2, 0}));
    EXPECT_LE(plan.back().seconds, 3600.0);
}

TEST(Simulator, SameSeedWritesTheSameBytesAndAnotherSeedDoesNot)
{
    TempDir dir;
    auto c = config(dir.file("a.uv"));
    kestrum::sim::observe(c);
    c.out = dir.file("b.uv");
    kestrum::sim::observe(c);
    c.out = dir.file("c.uv");
    c.seed = 2;
    kestrum::sim::observe(c);
    const std::string a = readFile(dir.file("a.uv/visdata"));
    EXPECT_EQ(a, readFile(dir.file("b.uv/visdata")));
    EXPECT_NE(a, readFile(dir.file("c.uv/visdata")));
    EXPECT_EQ(readFile(dir.file("a.uv/vartable")), readFile(dir.file("b.uv/vartable")));
}

TEST(Simulator, ProgramTakesKeyValueParametersAndRefusesBadOnes)
{
    TempDir dir;
    const std::string sim = binary("tools/kestrum-sim");
    auto r = kestrum::test::run({sim});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("kestrum-sim out=dataset"), std::string::npos);

    r = kestrum::test::run({sim, "out=" + dir.file("s.uv"), "nants=4", "nchan=16", "hours=0.1", "inttime=30",
                            "sources=a,b", "pols=rr,ll", "scans=2", "corr=j", "seed=9", "colour=red"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("WARNING: Undefined parameters specified, the following will be ignored:\n   colour=red\n"),
              std::string::npos);
    const auto counted = kestrum::test::countStream(dir.file("s.uv"));
    EXPECT_NE(r.out.find("Wrote " + std::to_string(counted.records) + " records: "), std::string::npos) << r.out;
    EXPECT_EQ(counted.baselines.size(), 6u);
    EXPECT_EQ(counted.nchan, 16);
    EXPECT_EQ(readFile(dir.file("s.uv/vartable")).find("j corr") != std::string::npos, true);

    // The output is never overwritten, and bad values are refused before anything is written.
    r = kestrum::test::run({sim, "out=" + dir.file("s.uv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos);
    for (const char* bad : {"nants=1", "nchan=zero", "corr=x", "rfi=maybe", "inttime=0", "hours=-1"}) {
        r = kestrum::test::run({sim, "out=" + dir.file("bad.uv"), bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
    r = kestrum::test::run({sim, "out=" + dir.file("bad.uv"), "stray"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(kestrum::test::run({"/usr/bin/test", "-e", dir.file("bad.uv")}).status, 1);

    // Calibration tables when asked, for at most 64 antennas.
    r = kestrum::test::run({sim, "out=" + dir.file("p.uv"), "nants=4", "nchan=16", "hours=0.1", "cal=yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Wrote gains, delays and bandpasses; no gain solution in integrations "), std::string::npos)
        << r.out;
    r = kestrum::test::run({sim, "out=" + dir.file("q.uv"), "nants=65", "cal=yes"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cal=yes allows at most 64 antennas"), std::string::npos) << r.err;
}

TEST(SimulatorCalibration, CalibratedCalibratorIsFlatWhereTheTablesReachThroughTheAccessLayerAndTheViewer)
{
    TempDir dir;
    const ObserveConfig c = calibrator(dir.file("cal.uv"));
    const auto summary = kestrum::sim::observe(c);
    const auto& gaps = summary.cal;
    ASSERT_LT(gaps.gapFirst, gaps.gapEnd);
    ASSERT_EQ(gaps.zeroAntenna, 5);
    ASSERT_LT(gaps.zeroFirst, gaps.zeroEnd);

    keyinic();
    keyputc(("vis=" + c.out).c_str());
    keyputc("stokes=yy");
    uvdatinp("vis", "sdlwbcef");
    int tno = 0;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(uvdatopn(&tno));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Applying bandpass corrections to " + c.out), std::string::npos);
    EXPECT_NE(out.find("Applying gain corrections to " + c.out), std::string::npos);

    const int edges = c.nchan / 20;
    std::vector<float> data(2 * c.nchan);
    std::vector<int> flags(c.nchan);
    double preamble[4];
    int nread = 0, flat = 0, flagged = 0;
    double t0 = 0;
    for (int r = 0;; r++) {
        uvdatrd(preamble, data.data(), flags.data(), c.nchan, &nread);
        if (nread == 0)
            break;
        ASSERT_EQ(nread, c.nchan);
        if (r == 0)
            t0 = preamble[2];
        const auto integration = std::lround((preamble[2] - t0) * 86400.0 / c.inttime);
        const int a2 = static_cast<int>(std::lround(preamble[3])) % 256;
        const bool none = unreachable(gaps, integration, a2);
        for (int ch = 0; ch < c.nchan; ch++) {
            const bool edge = ch < edges || ch >= c.nchan - edges;
            ASSERT_EQ(flags[ch], none || edge ? 0 : 1) << "integration " << integration << " channel " << ch;
            if (!flags[ch])
                continue;
            ASSERT_NEAR(std::abs(std::complex<double>(data[2 * ch], data[2 * ch + 1]) - model(c, ch)), 0.0,
                        2e-5 * model(c, ch))
                << "integration " << integration << " channel " << ch;
        }
        (none ? flagged : flat)++;
    }
    uvdatcls();
    EXPECT_GT(flat, 100);
    EXPECT_GT(flagged, 10);

    // The viewer announces the calibration and loads the calibrated values.
    const auto r = kestrum::test::run({kestrum::test::binary("app/kestrum"), "vis=" + c.out, "stokes=xx"}, "",
                                      {"DISPLAY="}, 120.0);
    EXPECT_NE(r.out.find("Applying bandpass corrections to " + c.out + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Applying gain corrections to " + c.out + "\n"), std::string::npos) << r.out;
}
