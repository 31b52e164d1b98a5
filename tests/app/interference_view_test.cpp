// What the view shows of a simulated observation with interference, through the same
// accessors and median modes that the drawing uses: the edge channels flagged, the
// transmitters standing out along time, the bursts across the band, and the median
// subtraction flattening the band around them.
#include "model/observation.h"
#include "params/krellparams.h"
#include "tests/support/support.h"
#include "tools/sim/observe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

TEST(InterferenceView, RidgesStandOutAndTheMedianModesFlattenTheBand)
{
    kestrum::test::TempDir dir;
    kestrum::sim::ObserveConfig c;
    c.out = dir.file("rfi.uv");
    c.nants = 5;
    c.nchan = 128;
    c.sources = {"cal"};
    c.pols = {-5};
    c.hours = 1.0;
    c.inttime = 30.0;
    c.scans = 1;
    const auto written = kestrum::sim::observe(c);
    const auto& rfi = written.rfi;
    ASSERT_EQ(rfi.channels.size(), 3u);
    ASSERT_FALSE(rfi.burstIntegrations.empty());

    KrellParams params(eAppView);
    params.vis = c.out;
    params.stokes = "xx";
    params.goodchGiven = true;
    params.goodch = 0;
    Observation obs(params, false);
    testing::internal::CaptureStdout();
    const bool loaded = obs.getObsParams() && obs.read();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(loaded);

    // A baseline without the misbehaving antenna.
    Baseline* bl = nullptr;
    for (auto& [number, baseline] : obs.sources.at("cal").baselines)
        if (baseline.ant1 != rfi.badAntenna && baseline.ant2 != rfi.badAntenna) {
            bl = &baseline;
            break;
        }
    ASSERT_NE(bl, nullptr);
    ASSERT_EQ(bl->vis.size(), static_cast<size_t>(written.integrations));

    // The edge channels are flagged in every record, the others in none.
    for (size_t i = 0; i < bl->vis.size(); ++i)
        for (int ch : {0, rfi.edgeChannels - 1, rfi.edgeChannels, c.nchan - rfi.edgeChannels - 1,
                       c.nchan - rfi.edgeChannels, c.nchan - 1})
            EXPECT_EQ(bl->Flagged(static_cast<unsigned>(i), ch) != 0,
                      ch < rfi.edgeChannels || ch >= c.nchan - rfi.edgeChannels)
                << "record " << i << " channel " << ch;

    auto isRfiChannel = [&](int ch) { return std::count(rfi.channels.begin(), rfi.channels.end(), ch) > 0; };
    auto isBurst = [&](size_t i) {
        return std::count(rfi.burstIntegrations.begin(), rfi.burstIntegrations.end(), static_cast<int>(i)) > 0;
    };
    const int lo = rfi.edgeChannels, hi = c.nchan - rfi.edgeChannels;

    // The spread across the band of the per-channel medians over the quiet records and channels.
    auto bandSpread = [&](bool tcal, bool sed) {
        std::vector<double> medians;
        for (int ch = lo; ch < hi; ++ch) {
            if (isRfiChannel(ch))
                continue;
            std::vector<double> v;
            for (size_t i = 0; i < bl->vis.size(); ++i)
                if (!isBurst(i))
                    v.push_back(bl->Amp(static_cast<unsigned>(i), ch, tcal, sed));
            medians.push_back(kestrum::test::sortedMedian(v));
        }
        const auto [mn, mx] = std::minmax_element(medians.begin(), medians.end());
        return *mx - *mn;
    };
    const double raw = bandSpread(false, false);
    bl->updateStats(true, true);
    const double flat = bandSpread(true, true);
    EXPECT_GT(raw, 1.0);  // the band's roll-off and ripple, in Jy
    EXPECT_LT(flat, 0.1 * raw);  // gone once both medians are subtracted

    // What is left at quiet points is noise; the transmitters and the bursts stand far above it.
    std::vector<double> quiet;
    for (size_t i = 0; i < bl->vis.size(); ++i)
        for (int ch = lo; ch < hi; ++ch)
            if (!isBurst(i) && !isRfiChannel(ch))
                quiet.push_back(std::fabs(bl->Amp(static_cast<unsigned>(i), ch, true, true)));
    const double noise = kestrum::test::sortedMedian(quiet);
    for (int ch : rfi.channels) {
        std::vector<double> along;
        for (size_t i = 0; i < bl->vis.size(); ++i)
            along.push_back(std::fabs(bl->Amp(static_cast<unsigned>(i), ch, true, true)));
        EXPECT_GT(kestrum::test::sortedMedian(along), 10 * noise) << "channel " << ch;  // a ridge along time
    }
    for (int i : rfi.burstIntegrations) {
        std::vector<double> across;
        for (int ch = lo; ch < hi; ++ch)
            across.push_back(std::fabs(bl->Amp(static_cast<unsigned>(i), ch, true, true)));
        EXPECT_GT(kestrum::test::sortedMedian(across), 10 * noise) << "integration " << i;  // a ridge across the band
    }
}
