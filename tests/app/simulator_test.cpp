// The observation simulator: its scan plan, its determinism, the interference it promises
// (read back through the dataset layer), the kestrum-sim program's parameters, and its
// calibration tables: read through the access layer, and by the viewer's loader after the
// viewer has announced the corrections, a calibrator observation corrupted by gains, delays
// and bandpasses comes back as the flat spectrum of the calibrator, except where the tables
// leave records without a gain.
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "model/observation.h"
#include "params/krellparams.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/app/uvsets.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(Simulator, InterferenceAndFlagsAreWhereThePlanSays)
{
    TempDir dir;
    auto c = config(dir.file("rfi.uv"));
    c.sources = {"cal"};
    c.scans = 1;
    const auto summary = kestrum::sim::observe(c);
    const auto& rfi = summary.rfi;
    ASSERT_EQ(rfi.channels.size(), 3u);
    ASSERT_FALSE(rfi.burstIntegrations.empty());
    ASSERT_GE(rfi.badAntenna, 2);
    EXPECT_EQ(rfi.edgeChannels, 3);

    // Mean amplitude per channel over the records, and per integration over the band.
    const int nbl = 10;
    std::vector<double> perChannel(c.nchan, 0.0), perIntegration(summary.integrations, 0.0);
    std::vector<int> flagged(c.nchan, 0);
    int tno = 0, nread = 0;
    uvopen_c(&tno, c.out.c_str(), "old");
    std::vector<float> data(2 * c.nchan);
    std::vector<int> flags(c.nchan);
    double preamble[4];
    int64_t record = 0;
    for (;;) {
        uvread_c(tno, preamble, data.data(), flags.data(), c.nchan, &nread);
        if (nread == 0)
            break;
        ASSERT_EQ(nread, c.nchan);
        for (int ch = 0; ch < c.nchan; ++ch) {
            const double amp = std::hypot(data[2 * ch], data[2 * ch + 1]);
            perChannel[ch] += amp;
            perIntegration[record / nbl] += amp / c.nchan;
            flagged[ch] += flags[ch] == 0;
        }
        ++record;
    }
    uvclose_c(tno);
    ASSERT_EQ(record, summary.records);

    std::vector<double> sorted = perChannel;
    std::sort(sorted.begin(), sorted.end());
    const double typical = sorted[sorted.size() / 2];
    for (int ch : rfi.channels)
        EXPECT_GT(perChannel[ch], 1.5 * typical) << "channel " << ch;
    for (int ch = 0; ch < c.nchan; ++ch) {
        const bool edge = ch < 3 || ch >= c.nchan - 3;
        EXPECT_EQ(flagged[ch], edge ? record : 0) << "channel " << ch;
    }
    std::vector<double> quiet;
    for (int64_t i = 0; i < summary.integrations; ++i)
        if (!std::count(rfi.burstIntegrations.begin(), rfi.burstIntegrations.end(), i))
            quiet.push_back(perIntegration[i]);
    const double quietMax = *std::max_element(quiet.begin(), quiet.end());
    for (int i : rfi.burstIntegrations)
        EXPECT_GT(perIntegration[i], 1.5 * quietMax) << "integration " << i;
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

    // The header items a real data set has.
    int tno = 0, iostat = 0;
    hopen_c(&tno, dir.file("s.uv").c_str(), "old", &iostat);
    ASSERT_EQ(iostat, 0);
    int64_t ncorr = -1, nwcorr = -1, vislen = -1;
    char obstype[32];
    rdhdl_c(tno, "ncorr", &ncorr, -1);
    rdhdl_c(tno, "nwcorr", &nwcorr, -1);
    rdhdl_c(tno, "vislen", &vislen, -1);
    rdhda_c(tno, "obstype", obstype, "", sizeof obstype);
    hclose_c(tno);
    EXPECT_EQ(ncorr, counted.records * 16);
    EXPECT_EQ(nwcorr, 0);
    EXPECT_EQ(vislen, static_cast<int64_t>(readFile(dir.file("s.uv/visdata")).size()));
    EXPECT_STREQ(obstype, "crosscorrelation");

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

    KrellParams params(eAppView);
    params.vis = c.out;
    params.stokes = "xx";
    Observation obs(params, false);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(obs.getObsParams());
    ASSERT_TRUE(obs.read());
    testing::internal::GetCapturedStdout();
    ASSERT_FALSE(obs.allVis.empty());
    const double first = obs.allVis.front().time;
    int loaded = 0;
    for (const Visibility& v : obs.allVis) {
        const long integration = std::lround((v.time - first) * 86400.0 / c.inttime);
        const int a2 = static_cast<int>(std::lround(v.bl)) % 256;
        for (int ch = edges; ch < c.nchan - edges; ch++) {
            ASSERT_EQ(v.Flagged(ch) != 0, unreachable(gaps, integration, a2)) << integration << " " << ch;
            if (v.Flagged(ch))
                continue;
            ASSERT_NEAR(v.Amp(ch, false), model(c, ch), 2e-5 * model(c, ch));
            ASSERT_NEAR(v.Phase(ch, false), 0.0, 2e-5);
            loaded++;
        }
    }
    EXPECT_GT(loaded, 1000);
}
