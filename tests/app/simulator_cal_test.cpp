// The simulator's calibration tables: read through the access layer, and by the viewer's loader
// after the viewer has announced the corrections, a calibrator observation corrupted by gains,
// delays and bandpasses comes back as the flat spectrum of the calibrator, except where the
// tables leave records without a gain.
#include "app/krellparams.h"
#include "model/observation.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

using kestrum::sim::ObserveConfig;
using kestrum::test::TempDir;

namespace {

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

TEST(SimulatorCalibration, CalibratedCalibratorIsFlatWhereTheTablesReach)
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
}

TEST(SimulatorCalibration, ProgramWritesTheTablesWhenAsked)
{
    TempDir dir;
    const auto r = kestrum::test::run({kestrum::test::binary("tools/kestrum-sim"), "out=" + dir.file("p.uv"),
                                       "nants=4", "nchan=16", "hours=0.1", "cal=yes"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Wrote gains, delays and bandpasses; no gain solution in integrations "), std::string::npos)
        << r.out;
    const auto big = kestrum::test::run({kestrum::test::binary("tools/kestrum-sim"), "out=" + dir.file("q.uv"),
                                         "nants=65", "cal=yes"});
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("cal=yes allows at most 64 antennas"), std::string::npos) << big.err;
}

// The viewer announces the calibration and loads the calibrated values.
TEST(SimulatorCalibration, ViewerAnnouncesTheCorrectionsAndLoadsCalibratedValues)
{
    TempDir dir;
    const ObserveConfig c = calibrator(dir.file("view.uv"));
    const auto summary = kestrum::sim::observe(c);

    const auto r = kestrum::test::run({kestrum::test::binary("app/kestrum"), "vis=" + c.out, "stokes=xx"}, "",
                                      {"DISPLAY="}, 120.0);
    EXPECT_NE(r.out.find("Applying bandpass corrections to " + c.out + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Applying gain corrections to " + c.out + "\n"), std::string::npos) << r.out;

    KrellParams params(eAppView);
    params.vis = c.out;
    params.stokes = "xx";
    Observation obs(params, false);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(obs.getObsParams());
    ASSERT_TRUE(obs.read());
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(obs.allVis.empty());
    const double t0 = obs.allVis.front().time;
    const int edges = c.nchan / 20;
    int flat = 0;
    for (const Visibility& v : obs.allVis) {
        const long integration = std::lround((v.time - t0) * 86400.0 / c.inttime);
        const int a2 = static_cast<int>(std::lround(v.bl)) % 256;
        for (int ch = edges; ch < c.nchan - edges; ch++) {
            ASSERT_EQ(v.Flagged(ch) != 0, unreachable(summary.cal, integration, a2)) << integration << " " << ch;
            if (v.Flagged(ch))
                continue;
            ASSERT_NEAR(v.Amp(ch, false), model(c, ch), 2e-5 * model(c, ch));
            ASSERT_NEAR(v.Phase(ch, false), 0.0, 2e-5);
            flat++;
        }
    }
    EXPECT_GT(flat, 1000);
}
