// Loading whole observations through the real kestrum program, without a display: the
// loading messages, progress bar, summary and debug lines for simulated and real data sets,
// checked against what the simulator wrote or against an independent count of the bytes;
// and every way a load can fail.
#include "dataset/uvio.h"
#include "tests/app/uvsets.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

using namespace kestrum::test;

namespace {

constexpr double kSecond = 1.0 / 86400;

// Runs kestrum with no display: it loads, prints the summary and stops at the device.
RunResult load(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{binary("app/kestrum")};
    argv.insert(argv.end(), args.begin(), args.end());
    return kestrum::test::run(argv, "", {"DISPLAY="}, 120.0);
}

bool hasLine(const std::string& text, const std::string& line)
{
    return ("\n" + text + "\n").find("\n" + line + "\n") != std::string::npos;
}

// The integration time as the summary prints it.
std::string tintLine(double tint)
{
    return "I am guessing that the integration time is " + std::to_string(static_cast<int>(tint + 0.5)) + " seconds";
}

// The text between "Reading <vis>" and the line after the bar: the bar's redraws end with
// backspaces and no line end; "Done!" and 24 spaces close it.
std::string progressPart(const std::string& out, const std::string& vis)
{
    const std::string start = "Reading " + vis + "\n";
    const size_t a = out.find(start);
    const size_t b = out.find("Done!");
    if (a == std::string::npos || b == std::string::npos)
        return {};
    return out.substr(a + start.size(), b - a - start.size());
}

kestrum::sim::ObserveConfig smallConfig(const std::string& out)
{
    kestrum::sim::ObserveConfig c;
    c.out = out;
    c.nants = 6;
    c.nchan = 33;
    c.corr16 = true;  // 16-bit correlations
    c.sources = {"zcal", "alpha", "beta"};
    c.pols = {-5, -6, -7, -8};
    c.hours = 0.5;
    c.inttime = 10.0;
    c.scans = 4;
    return c;
}

}  // namespace

TEST(ObservationLoad, SimulatedDataSetGivesEveryLoadingAndSummaryLineInXxAndI)
{
    TempDir dir;
    const auto config = smallConfig(dir.file("sim.uv"));
    const auto written = kestrum::sim::observe(config);
    const int64_t perPol = written.records / 4;

    const RunResult r = load({"vis=" + config.out, "stokes=xx", "options=debug1,debug2"});
    EXPECT_EQ(r.status, 1);  // no display to open
    const std::string v = config.out, ncorr = std::to_string(written.records * 33);
    const std::string expectedHead = "kestrum version 0.1.2\n First level debugging requested\n Second level debugging "
                                     "requested\nvis=" +
        v + "\nstokes [in]=xx\nstokes [flag]=\nnants=6\nncorr=" + ncorr +
        "\nnchan=33\nnif=1\nPolarizations: xx xy yx yy\nReading " + v + "\n";
    ASSERT_EQ(r.out.substr(0, expectedHead.size()), expectedHead) << r.out;

    // The bar starts drawing at once and ends at 100 %.
    const std::string bar = progressPart(r.out, config.out);
    const std::string empty = "|" + std::string(20, '-') + "|   0%" + std::string(28, '\b');
    EXPECT_EQ(bar.substr(0, empty.size()), empty);
    EXPECT_NE(bar.find("|##########----------|   50%" + std::string(28, '\b')), std::string::npos);
    EXPECT_NE(r.out.find("Done!" + std::string(24, ' ') + "\n"), std::string::npos);

    EXPECT_TRUE(hasLine(r.out, "Read " + std::to_string(perPol) + " visibilities")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Guessing integration time from first baseline and channel."));
    // One kept interval per step of the first baseline of each source, by name order; Julian
    // dates carry about 40 microseconds of rounding.
    const std::regex interval("\n(alpha|beta|zcal)\\[[0-9]+\\]=(9\\.9999[0-9]*|10(\\.0000[0-9]*)?)(?=\n)");
    const std::string text = "\n" + r.out;
    EXPECT_GT(std::distance(std::sregex_iterator(text.begin(), text.end(), interval), std::sregex_iterator()), 100);
    EXPECT_NE(r.out.find("alpha[1]="), std::string::npos);
    EXPECT_LT(r.out.find("alpha[1]="), r.out.find("beta[1]="));
    EXPECT_LT(r.out.find("beta[1]="), r.out.find("zcal[1]="));
    EXPECT_TRUE(hasLine(r.out, "tint = 10") || hasLine(r.out, "tint = 9.99999")) << r.out;
    const std::string summary = "Read data for the following sources:\n  alpha\n  beta\n  zcal\nDetected a total of 15 "
                                "baselines:\n";
    EXPECT_NE(r.out.find(summary), std::string::npos) << r.out;
    std::string pairs;
    for (int a1 = 1; a1 <= 6; ++a1)
        for (int a2 = a1 + 1; a2 <= 6; ++a2)
            pairs += "  (" + std::to_string(a1) + "," + std::to_string(a2) + ")\n";
    EXPECT_NE(r.out.find(pairs + "Number of channels: 33\n" + tintLine(10) + "\nUsing stokes xx for analysis.\n"),
              std::string::npos)
        << r.out;
    // The first baseline's statistics are computed, without median subtraction, before the summary.
    const size_t statsAt = r.out.find("Updating baseline statistics\n"
                                      "Baseline::updateStats(notcal, nosed) BL=(1-2)\n");
    EXPECT_NE(statsAt, std::string::npos) << r.out;
    EXPECT_LT(r.out.find("Updating amplitude statistics\n"), r.out.find("Read data for the following sources:"));

    // Stokes i is formed from the parallel hands; without debug1 no baseline list.
    const RunResult i = load({"vis=" + config.out});
    EXPECT_TRUE(hasLine(i.out, "Read " + std::to_string(perPol) + " visibilities")) << i.out;
    EXPECT_TRUE(hasLine(i.out, "Using stokes i for analysis."));
    EXPECT_EQ(i.out.find("Detected a total of"), std::string::npos);
}

// The three real data sets, counted from their bytes independently of the reader.
// The independent count agrees with the records and baselines the data sets are described with.
struct RealSet {
    const char* name;
    int64_t records;  // of every polarisation
    size_t baselines;
};
class RealDataSet : public ::testing::TestWithParam<RealSet> {};

TEST_P(RealDataSet, LoadsWhatItsBytesHold)
{
    const std::string vis = sharedData(GetParam().name);
    const auto all = countStream(vis);
    EXPECT_EQ(all.records, GetParam().records);
    EXPECT_EQ(all.baselines.size(), GetParam().baselines);
    const auto counted = countStream(vis, -5);
    ASSERT_GT(counted.records, 0);
    const RunResult r = load({"vis=" + vis, "stokes=xx", "options=debug1,debug2"});
    EXPECT_TRUE(hasLine(r.out, "nchan=" + std::to_string(counted.nchan))) << r.out;
    EXPECT_TRUE(hasLine(r.out, "nif=1"));
    EXPECT_TRUE(hasLine(r.out, "Polarizations: xx"));
    EXPECT_TRUE(hasLine(r.out, "Reading " + vis));
    EXPECT_TRUE(hasLine(r.out, "Guessing integration time from first baseline and channel."));
    EXPECT_TRUE(hasLine(r.out, "Read " + std::to_string(counted.records) + " visibilities")) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Detected a total of " + std::to_string(counted.baselines.size()) + " baselines:"));
    std::string sources = "Read data for the following sources:\n";
    for (const std::string& name : counted.sources)
        sources += "  " + name + "\n";
    EXPECT_NE(r.out.find(sources), std::string::npos) << r.out;
    EXPECT_TRUE(hasLine(r.out, "Number of channels: " + std::to_string(counted.nchan)));
    if (counted.tint > 0) {
        EXPECT_TRUE(hasLine(r.out, tintLine(counted.tint))) << r.out;
        EXPECT_NE(r.out.find("\ntint = "), std::string::npos);
    } else
        EXPECT_NE(r.out.find("no two records of a first baseline lie more than 2.4 seconds apart"), std::string::npos);
    EXPECT_TRUE(hasLine(r.out, "Using stokes xx for analysis."));
}

INSTANTIATE_TEST_SUITE_P(SharedData, RealDataSet,
                         ::testing::Values(RealSet{"PAPER_point_source_sim.uv", 600, 6},
                                           RealSet{"zen.2458042.12552.xx.HH.uvXA", 1680, 28},
                                           RealSet{"zen.2457698.40355.xx.HH.uvcA", 190, 190}));

TEST(ObservationLoad, IntegrationTimeIsTheMedianOfIntervalsAboveTwoPointFourSeconds)
{
    // Ten-second steps with an occasional 1 s pair (the short ones never count; two records of one
    // time stamp in a row are accepted); 9.6 s prints as 10, 9.4 s as 9; without any interval the
    // integration time is a fallback, said so.
    const double t0 = 2459000.5;
    std::vector<CraftRecord> tens, steps96, steps94;
    for (int i = 0; i < 12; ++i) {
        const double t = t0 + (10.0 * i - 9.0 * (i / 4)) * kSecond;
        tens.insert(tens.end(), {{t, 1, 2}, {t, 1, 3}});
    }
    for (int i = 0; i < 5; ++i) {
        steps96.push_back({t0 + i * 9.6 * kSecond, 1, 2});
        steps94.push_back({t0 + i * 9.4 * kSecond, 1, 2});
    }
    const std::pair<std::vector<CraftRecord>, std::string> cases[] = {
        {tens, tintLine(10)},
        {steps96, tintLine(10)},
        {steps94, tintLine(9)},
        {{{t0, 1, 2}, {t0, 1, 3}, {t0, 2, 3}},
         tintLine(1) +
             "\n  (no two records of a first baseline lie more than 2.4 seconds apart and the data set has no "
             "\"inttime\": 1 second assumed)"},
    };
    for (const auto& [records, line] : cases) {
        TempDir dir;
        writeCrafted(dir.file("a.uv"), records);
        const RunResult r = load({"vis=" + dir.file("a.uv"), "stokes=xx"});
        EXPECT_TRUE(hasLine(r.out, line)) << r.out;
    }
}

TEST(ObservationLoad, EveryFailureOfTheLoaderStopsWithItsMessage)
{
    struct Case {
        std::vector<CraftRecord> records;
        CraftOptions options;
        std::string stokes, message;
        std::string absent;  // what the run never gets to print
    };
    const double t = 2459000.5;
    const std::string err = "##### ERROR\n", holds = "This data set holds xx; try stokes=xx.\n";
    const Case cases[] = {
        // Time going back by one second.
        {{{t, 1, 2}, {t + 10 * kSecond, 1, 2}, {t + 9 * kSecond, 1, 2}},
         {},
         "xx",
         err + "Data set is not in time order. Aborting!\n",
         "Read data for"},
        // 128 channels, then 64.
        {{{t, 1, 2, 128}, {t + 0.1, 1, 2, 64}},
         {},
         "xx",
         err + "Inconsistent number of channels between visibilities (previously=128, now=64). Aborting!\n",
         "Read data for"},
        // Two spectral windows.
        {{{t, 1, 2}}, {2, 1}, "xx", err + "Can't deal with 2 IFs, run tessfen before proceeding.\n", "Reading"},
        // No data of the requested polarisation, nor of the default i: the products it holds.
        {{{t, 1, 2}, {t + 0.1, 1, 2}},
         {},
         "rr",
         "Read 0 visibilities\n" + err + "Couldn't find any stokes rr data to analyse.\n" + holds,
         "Read data for"},
        {{{t, 1, 2}, {t + 0.1, 1, 2}},
         {},
         "i",
         err + "Couldn't find any stokes i data to analyse.\n" + holds,
         "Read data"},
        // Records without source names: nothing to show.
        {{{t, 1, 2, 8, -5, ""}, {t + 0.1, 1, 2, 8, -5, ""}},
         {},
         "xx",
         "Read 2 visibilities\n" + err + "No record of VIS names its source, so there is nothing to show. Aborting!\n",
         "Read data"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string vis = dir.file("bad.uv");
        writeCrafted(vis, c.records, c.options);
        const RunResult r = load({"vis=" + vis, "stokes=" + c.stokes});
        const std::string message = std::regex_replace(c.message, std::regex("VIS"), vis);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.out.find(message), std::string::npos) << r.out << r.err;
        EXPECT_EQ(r.out.find(c.absent), std::string::npos) << r.out;
    }

    TempDir dir;
    // A data set that does not exist: the storage layer's fatal error.
    const RunResult r = load({"vis=" + dir.file("missing.uv")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("missing.uv"), std::string::npos) << r.err;
}

TEST(ObservationLoad, DataSetWithoutChannelDataIsRefusedWithAMessage)
{
    TempDir dir;
    const std::string vis = dir.file("wide.uv");
    int tno = 0;
    uvopen_c(&tno, vis.c_str(), "new");
    const int one = 1;
    const float wide[4] = {1.0f, 0.0f, 2.0f, 0.0f};
    const int flags[2] = {1, 1};
    const double coord[2] = {0.0, 0.0}, time = 2459000.5;
    const float baseline = 258.0f;
    uvputvr_c(tno, 2, "nants", &one, 1);
    uvputvr_c(tno, 5, "coord", coord, 2);
    uvputvr_c(tno, 5, "time", &time, 1);
    uvputvr_c(tno, 4, "baseline", &baseline, 1);
    uvwwrite_c(tno, wide, flags, 2);
    uvnext_c(tno);
    uvclose_c(tno);

    const RunResult r = load({"vis=" + vis});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("##### ERROR\nNo channel data (variable \"corr\") in " + vis + ".\n"), std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(r.out.find("Reading"), std::string::npos);
}

TEST(ObservationLoad, OddPolarisationListsAreReportedAndStillGiveAProgressTotal)
{
    TempDir dir;
    // A polarisation code without a name is left out of the list.
    writeCrafted(dir.file("p0.uv"), {{2459000.5, 1, 2, 8, 0}, {2459000.5, 1, 2, 8, -5}}, {1, 2});
    RunResult r = load({"vis=" + dir.file("p0.uv"), "stokes=xx", "options=debug2"});
    EXPECT_TRUE(hasLine(r.out, "WARNING: polarisation code 0 has no name and is left out of the polarisation list."))
        << r.out;
    EXPECT_TRUE(hasLine(r.out, "Polarizations: xx"));
    EXPECT_LT(r.status, 128);  // ended, not killed by a signal

    // "npol" 0: no polarisation is listed, and the bar's total counts every record as one.
    writeCrafted(dir.file("np.uv"), {{2459000.5, 1, 2}, {2459000.6, 1, 2}}, {1, 0});
    r = load({"vis=" + dir.file("np.uv"), "stokes=xx", "options=debug2"});
    EXPECT_TRUE(hasLine(r.out, "Polarizations:")) << r.out;
    EXPECT_NE(progressPart(r.out, dir.file("np.uv")).find("|   0%"), std::string::npos);
    EXPECT_TRUE(hasLine(r.out, "Read 2 visibilities"));
    EXPECT_LT(r.status, 128);
}
