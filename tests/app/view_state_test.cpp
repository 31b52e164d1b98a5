// The view's state in-process, without a window: the world window for each state (including
// the degenerate ones), the title, and what each key does to the globals.
#include "app/kestrum.h"
#include "app/surveyorder.h"
#include "app/view.h"
#include "plot/plot.h"
#include "plot/session.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <set>

namespace {

constexpr double kDay = 86400.0;

// One source "src" with one baseline (1-2) whose record i is at t0 + times[i] seconds and has
// amplitude amps[i] in every channel, phase 0.1 rad per channel, channel flagged.second of
// record flagged.first flagged; and a second baseline (1-3).
void setUp(const std::vector<double>& times, const std::vector<float>& amps, int nchan = 4, double tint = 10.0,
           std::pair<size_t, int> flagged = {~size_t(0), 0})
{
    delete pobs;
    opts = KrellParams(eAppView);
    opts.bchan = 0;
    opts.echan = nchan - 1;
    pobs = new Observation(opts, false);
    pobs->nchan = nchan;
    pobs->tint = tint;
    std::vector<std::complex<float>> data(nchan);
    std::vector<int> flags(nchan, 0);
    for (size_t i = 0; i < times.size(); ++i) {
        for (int c = 0; c < nchan; ++c)
            data[c] = std::polar(amps[i], 0.1f * c);
        for (const double bl : {258.0, 259.0}) {
            flags.assign(nchan, 0);
            if (i == flagged.first)
                flags[flagged.second] = 1;
            pobs->allVis.emplace_back(static_cast<int>(i), 0.0, 0.0, 2459000.5 + times[i] / kDay, bl, 0.0, -5, nchan,
                                      data.data(), flags.data(), false, pobs->channels);
            pobs->add("src", static_cast<int>(pobs->allVis.size() - 1));
        }
    }
    s = pobs->sources.begin();
    b = s->second.baselines.begin();
    subMedian = 0;
    doAmp = true;
    doLine = 0;
    compressTime = false;
    fullRange = false;
    updateStatistics();
}

}  // namespace

TEST(ViewWindow, TimeAxisIsHoursSinceTheFirstRecordOrOneIntegrationPerRecord)
{
    setUp({0, 10, 20, 3600}, {1, 2, 3, 4});
    WorldWindow w = worldWindow();
    EXPECT_EQ(w.x1, 0);
    EXPECT_EQ(w.x2, 3);
    EXPECT_EQ(w.z1, 0);
    EXPECT_NEAR(w.z2, 1.0, 1e-6);
    compressTime = true;
    w = worldWindow();
    EXPECT_NEAR(w.z2, 3 * 10.0 / 3600, 1e-12);
}

TEST(ViewWindow, ValueRangeIsMedianPlusMinusScaledRmsOrTheExtremes)
{
    setUp({0, 10, 20, 30}, {1, 2, 3, 10});
    opts.scale = 2.0;
    WorldWindow w = worldWindow();
    EXPECT_NEAR(w.y1, astats.median - 2 * astats.rms, 1e-9);
    EXPECT_NEAR(w.y2, astats.median + 2 * astats.rms, 1e-9);
    opts.scale = -2.0;  // a negative scale turns the axis upside down
    w = worldWindow();
    EXPECT_NEAR(w.y1, astats.median + 2 * astats.rms, 1e-9);
    EXPECT_NEAR(w.y2, astats.median - 2 * astats.rms, 1e-9);
    fullRange = true;
    w = worldWindow();
    EXPECT_NEAR(w.y1, 1.0, 1e-6);
    EXPECT_NEAR(w.y2, 10.0, 1e-6);
    // Phases in degrees, from the phase statistics ("a" computes them).
    unsigned char a = 'a';
    kcb(&a);
    w = worldWindow();
    EXPECT_NEAR(w.y1, pstats.min * 180 / std::numbers::pi, 1e-9);
    EXPECT_NEAR(w.y2, pstats.max * 180 / std::numbers::pi, 1e-6);
    EXPECT_NEAR(w.y2, 0.3 * 180 / std::numbers::pi, 1e-4);
}

TEST(ViewWindow, WindowsWithoutHeightDepthOrWidthAreWidened)
{
    // One record: no depth; equal values: no height; one channel: no width.
    setUp({0}, {5}, 1);
    WorldWindow w = worldWindow();
    EXPECT_LT(w.x1, w.x2);
    EXPECT_LT(w.y1, w.y2);
    EXPECT_LT(w.z1, w.z2);
    EXPECT_NEAR(w.z2, 10.0 / 3600, 1e-12);
    EXPECT_LT(w.y1, 5.0);
    EXPECT_GT(w.y2, 5.0);
    compressTime = true;
    fullRange = true;
    w = worldWindow();
    EXPECT_LT(w.y1, w.y2);
    EXPECT_LT(w.z1, w.z2);
    // All values zero (phases of a one-channel record).
    doAmp = false;
    w = worldWindow();
    EXPECT_TRUE(std::isfinite(w.y1) && std::isfinite(w.y2));
    EXPECT_LT(w.y1, w.y2);
}

TEST(ViewTitle, ShowsSourceModeBaselineAmplitudeRmsAndSwitches)
{
    setUp({0, 10, 20, 30}, {1, 2, 3, 10});
    char rms[64];
    std::snprintf(rms, sizeof rms, "%f", astats.rms);
    EXPECT_EQ(viewTitle(),
              std::string("Source: src (Amplitudes); Baseline (1-2); RMS: ") + rms +
                  "\nMedian tcal OFF; Median SED OFF; Time compression OFF");
    unsigned char k = 'a';
    kcb(&k);
    k = 'C';
    kcb(&k);
    EXPECT_EQ(viewTitle(),
              std::string("Source: src (Phases); Baseline (1-2); RMS: ") + rms +
                  "\nMedian tcal OFF; Median SED OFF; Time compression ON");
    // An absurd rms is cut at the title's 255 characters, never written past them.
    astats.rms = 1e300;
    EXPECT_EQ(viewTitle().size(), 255u);
}

TEST(ViewTitle, EndsWithTheSurveyRankWhichWWalksThroughWrappingRound)
{
    setUp({0, 10, 20, 30}, {1, 2, 3, 10});
    EXPECT_EQ(viewTitle().find("rank"), std::string::npos);
    // Equal scores rank by baseline number: 1-2, then 1-3.
    surveyOrder.set(survey(*pobs, SurveyThresholds{}));
    for (const int ant2 : {2, 2, 3, 2}) {
        EXPECT_EQ(b->second.ant2, ant2);
        const std::string title = viewTitle(), rank = ant2 == 2 ? "; rank 1/2" : "; rank 2/2";
        EXPECT_EQ(title.substr(title.size() - rank.size()), rank) << title;
        unsigned char k = 'w';
        kcb(&k);
    }
    surveyOrder.set(Survey{});
}

TEST(ViewKeys, KeysChangeTheStateInEitherCaseAndPassTheRestOn)
{
    setUp({0, 10, 20, 30}, {1, 2, 3, 10});
    auto press = [](unsigned char key) {
        const int r = kcb(&key);
        return std::make_pair(r, key);
    };
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(press(i % 2 ? 'l' : 'L').first, 1);
        EXPECT_EQ(doLine, i % 4);
    }
    EXPECT_EQ(press('m').first, 1);
    EXPECT_EQ(subMedian, 1);
    press('M');
    EXPECT_EQ(subMedian, 2);
    EXPECT_NEAR(astats.median, 0.0, 1e-6);  // tcal and SED both removed
    press('m');
    EXPECT_EQ(subMedian, 0);
    EXPECT_NEAR(astats.median, 2.5, 1e-6);

    // (Stepping through baselines and sources is the window test's, which sees them wrap.)
    EXPECT_EQ(press('q'), std::make_pair(0, static_cast<unsigned char>('Q')));
    EXPECT_EQ(press('Q'), std::make_pair(0, static_cast<unsigned char>('Q')));
    EXPECT_EQ(press('h'), std::make_pair(0, static_cast<unsigned char>('h')));
    EXPECT_EQ(press('F').first, 1);
    EXPECT_TRUE(fullRange);
}

// What cb hands to the plotting library for each style: points, lines across the band per
// record, lines in time per channel, or both; the flagged channel is left out (the lines join
// its neighbours), and compressed time puts the records one integration apart.
TEST(ViewDraw, EachStyleHandsItsPointsAndLinesToThePlottingLibrary)
{
    // Records at 0, 10 and 3600 s of amplitude 1, 2, 3; channel 2 of the middle one flagged.
    setUp({0, 10, 3600}, {1, 2, 3}, 4, 10.0, {1, 2});
    s2svp(0, 1, 0, 1, 0, 1);  // device coordinates are world coordinates
    s2swin(0, 1, 0, 1, 0, 1);
    auto& scene = kestrum::plot::session().scene;
    const std::multiset<std::string> points = {"0@0", "1@0", "2@0", "3@0", "0@1", "1@1",
                                               "3@1", "0@2", "1@2", "2@2", "3@2"};
    const std::multiset<std::string> across = {"0@0-1@0", "1@0-2@0", "2@0-3@0", "0@1-1@1",
                                               "1@1-3@1", "0@2-1@2", "1@2-2@2", "2@2-3@2"};
    const std::multiset<std::string> inTime = {"0@0-0@1", "0@1-0@2", "1@0-1@1", "1@1-1@2",
                                               "2@0-2@2", "3@0-3@1", "3@1-3@2"};
    std::multiset<std::string> both = across;
    both.insert(inTime.begin(), inTime.end());
    const struct {
        int line;
        bool compress;
        std::multiset<std::string> points, lines;
    } cases[] = {
        {0, false, points, {}}, {1, false, {}, across}, {2, false, {}, inTime},
        {3, false, {}, both},   {0, true, points, {}},  {3, true, {}, both},
    };
    for (const auto& c : cases) {
        doLine = c.line;
        compressTime = c.compress;
        // "c@r": channel c of record r, at its amplitude and time (hours, or integrations).
        const double hours[3] = {0, 10 / 3600.0, c.compress ? 20 / 3600.0 : 1.0};
        auto id = [&](const kestrum::plot::Vertex& v) {
            for (int r = 0; r < 3; ++r)
                if (std::fabs(v.z - hours[r]) < 1e-6 && v.y == r + 1.0f && v.x == std::round(v.x))
                    return std::to_string(int(v.x)) + "@" + std::to_string(r);
            return std::string("?");
        };
        scene.beginFrame();
        cb(nullptr, nullptr);
        std::multiset<std::string> gotPoints, gotLines;
        for (const auto& v : scene.points())
            gotPoints.insert(id(v));
        for (size_t i = 0; i + 1 < scene.lines().size(); i += 2)
            gotLines.insert(id(scene.lines()[i]) + "-" + id(scene.lines()[i + 1]));
        EXPECT_EQ(gotPoints, c.points) << "style " << c.line << (c.compress ? " compressed" : "");
        EXPECT_EQ(gotLines, c.lines) << "style " << c.line << (c.compress ? " compressed" : "");
    }
}
