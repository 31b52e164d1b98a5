// The interactive view end to end: the real kestrum under a private X server, real key
// presses, the console output and screenshots of what is drawn.
#include "model/colourmap.h"
#include "tests/app/uvsets.h"
#include "tests/support/support.h"
#include "tests/support/xsession.h"
#include "tools/sim/observe.h"
#include "tools/sim/uvwriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

using namespace kestrum::test;

namespace {

constexpr double kSecond = 1.0 / 86400;

const char* const kHelp = "kestrum key-stroke help:\n"
                          "?          : show help.\n"
                          "a          : toggle between showing amplitudes and showing phases.\n"
                          "c          : compress time to take out blank periods between scans.\n"
                          "h          : go back to the home position.\n"
                          "l          : toggle between drawing points, lines across band, lines in time or\n"
                          "             a cross-hatch surface.\n"
                          "m          : toggle between three median subtraction modes:\n"
                          "                1). None.\n"
                          "                2). Subtract visibility median for each time stamp (Median tcal).\n"
                          "                3). Additionally subtract channel median (median SED).\n"
                          "n          : show next baseline pair.\n"
                          "p          : show previous baseline pair.\n"
                          "q          : exit\n"
                          "arrow keys : rotate the view in the direction of the arrow key\n";

std::string simulate(const TempDir& dir)
{
    kestrum::sim::ObserveConfig c;
    c.out = dir.file("view.uv");
    c.nants = 4;
    c.nchan = 48;
    c.sources = {"cal", "target"};
    c.hours = 0.3;
    c.inttime = 30.0;
    c.scans = 3;
    kestrum::sim::observe(c);
    return c.out;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The viewer on one data set in a 640 x 480 window under its own X server.
struct ViewerSession {
    ViewerSession(const std::string& dir, const std::vector<std::string>& args)
        : viewer(
              [&] {
                  std::vector<std::string> argv{binary("app/kestrum")};
                  argv.insert(argv.end(), args.begin(), args.end());
                  return argv;
              }(),
              {x.env(), kNoGlLeakCheck, "S2GL_WIDTH=640", "S2GL_HEIGHT=480", "LIBGL_ALWAYS_SOFTWARE=1"}, dir, "viewer"),
          windowFound(x.ok() && waitForWindow(x, 60.0))
    {}
    template <typename... Names>
    void key(const Names&... names)
    {
        pressKeys(x, {names...});
    }
    // The first frame that satisfies `want`, waiting for it for at most 20 seconds.
    template <typename Pred>
    Image shotWhen(Pred want)
    {
        return screenshotWhen(x, 20.0, want);
    }
    bool waitForOutput(const std::string& text) { return viewer.waitForOutput(text); }
    std::string out() { return viewer.out(); }
    std::string err() { return viewer.err(); }
    // The viewer's exit status, or -1 when it did not end within 20 seconds.
    int waitExit()
    {
        int status = -1;
        return viewer.wait(20.0, status) ? status : -1;
    }

    XServer x;
    Background viewer;
    const bool windowFound;
};

// A frame with the box and labels in it; the window is black before the first frame.
bool drawn(const Image& shot)
{
    return shot.lit() > 1000;
}
auto differsFrom(const Image& before)
{
    return [&before](const Image& s) { return !(s == before); };
}
auto same(const Image& want)
{
    return [&want](const Image& s) { return s == want; };
}

std::uint32_t pixel(Rgb c)
{
    return static_cast<std::uint32_t>(c.r << 16 | c.g << 8 | c.b);
}
// How many pixels have a colour of the colour map, and how many the flag colour.
size_t mapColoured(const Image& shot)
{
    std::set<std::uint32_t> map;
    for (const Rgb& c : kColourMap)
        map.insert(pixel(c));
    return std::count_if(shot.pixels.begin(), shot.pixels.end(), [&](std::uint32_t p) { return map.count(p) > 0; });
}
size_t flagColoured(const Image& shot)
{
    return std::count(shot.pixels.begin(), shot.pixels.end(), pixel(kFlagColour));
}

// Presses the keys in turn: each but the last changes the picture (away from `from` too), the last
// brings `from` back. The pictures on the way, `from` first.
std::vector<Image> cycle(ViewerSession& v, const Image& from, const std::vector<std::string>& keys)
{
    std::vector<Image> seen{from};
    for (const std::string& k : keys) {
        const bool last = &k == &keys.back();
        v.key(k);
        const Image before = seen.back();
        seen.push_back(v.shotWhen([&](const Image& s) { return last ? s == from : !(s == before); }));
        EXPECT_TRUE(last ? seen.back() == from : !(seen.back() == before || seen.back() == from))
            << "key " << k << " of " << keys.size();
    }
    return seen;
}

}  // namespace

TEST(View, BaselinesStepWithWrapAroundWithinTheSourceAndSourcesWrapToo)
{
    TempDir dir;
    // Source "a" has baselines 1-2 and 1-3 and 2-3; source "b" only 1-4.
    std::vector<CraftRecord> recs;
    for (int i = 0; i < 4; ++i) {
        const double t = 2459000.5 + i * 10 * kSecond;
        recs.push_back({t, 1, 2, 8, -5, "a"});
        recs.push_back({t, 1, 3, 8, -5, "a"});
        recs.push_back({t, 2, 3, 8, -5, "a"});
    }
    for (int i = 4; i < 8; ++i)
        recs.push_back({2459000.5 + i * 10 * kSecond, 1, 4, 8, -5, "b"});
    kestrum::test::writeCrafted(dir.file("bl.uv"), recs);

    ViewerSession v(dir.path(), {"vis=" + dir.file("bl.uv"), "stokes=xx", "options=debug1"});
    ASSERT_TRUE(v.windowFound) << v.out() << v.err();
    const std::string start = "Using stokes xx for analysis.\n";
    ASSERT_TRUE(v.waitForOutput(start));

    const char* const presses[] = {"p", "n", "n", "n", "n", "s", "n", "p", "s", "N", "P"};
    const char* const shown[] = {"2-3", "1-2", "1-3", "2-3", "1-2", "1-4", "1-4", "1-4", "1-2", "1-3", "1-2"};
    std::string expected;
    for (size_t i = 0; i < std::size(presses); ++i) {
        v.key(presses[i]);
        expected += std::string("Baseline::updateStats(notcal, nosed) BL=(") + shown[i] + ")\n";
        ASSERT_TRUE(v.waitForOutput(start + expected)) << "after " << presses[i] << ":\n" << v.out();
    }
    v.key("shift+q");
    EXPECT_EQ(v.waitExit(), 0);
}

TEST(View, RealDataSetsOpenOnTheirFirstBaseline)
{
    for (const char* name :
         {"PAPER_point_source_sim.uv", "zen.2458042.12552.xx.HH.uvXA", "zen.2457698.40355.xx.HH.uvcA"}) {
        TempDir dir;
        ViewerSession v(dir.path(), {"vis=" + sharedData(name), "stokes=xx", "options=debug1"});
        ASSERT_TRUE(v.windowFound) << name << v.out() << v.err();
        EXPECT_GT(v.shotWhen(drawn).lit(), 1000u) << name;
        EXPECT_NE(v.out().find("Baseline::updateStats(notcal, nosed) BL=("), std::string::npos);
        v.key("q");
        EXPECT_EQ(v.waitExit(), 0) << name;
    }
}

TEST(View, DegenerateWindowsStillDraw)
{
    // One record on one channel: no width, no height, no depth in the data.
    TempDir dir;
    kestrum::test::writeCrafted(dir.file("one.uv"), {{2459000.5, 1, 2, 8, -5, "solo"}});
    ViewerSession v(dir.path(), {"vis=" + dir.file("one.uv"), "stokes=xx", "bchan=4", "echan=4"});
    ASSERT_TRUE(v.windowFound) << v.out() << v.err();
    const Image points = v.shotWhen(drawn);
    EXPECT_GT(points.lit(), 1000u);  // at least the box and the labels
    v.key("l", "l", "l", "l", "a", "c", "f", "m", "m", "m");
    EXPECT_GT(v.shotWhen(drawn).lit(), 1000u);  // phases, compressed, full range: still drawn
    v.key("a", "c", "f");
    EXPECT_EQ(v.shotWhen(same(points)), points);
    v.key("q");
    EXPECT_EQ(v.waitExit(), 0) << v.err();
}

// Each key's cycle changes the picture and comes back to it: the same state draws the same picture.
TEST(View, KeysChangeWhatIsDrawnAndTheirCyclesComeBackToThePicture)
{
    TempDir dir;
    ViewerSession v(dir.path(), {"vis=" + simulate(dir), "options=debug1"});
    ASSERT_TRUE(v.windowFound) << v.out() << v.err();
    const Image white = v.shotWhen(drawn);
    ASSERT_GT(white.lit(), 1000u) << "nothing drawn";
    EXPECT_EQ(mapColoured(white) + flagColoured(white), 0u) << "white points by default, flagged ones left out";

    // Amplitude/phase, time compression, full range; the median modes tcal, SED, none.
    for (const std::vector<std::string>& keys : {std::vector<std::string>{"a", "a"}, {"c", "c"}, {"f", "f"}})
        cycle(v, white, keys);
    cycle(v, white, {"m", "m", "m"});
    EXPECT_TRUE(
        v.waitForOutput("analysis.\nBaseline::updateStats(tcal, nosed) BL=(1-2)\n"
                        "Baseline::updateStats(tcal, sed) BL=(1-2)\nBaseline::updateStats(notcal, nosed) BL=(1-2)\n"))
        << v.out();
    // Colour by value, by time (points and a colour bar of 20 x 288 pixels), white again; flagged shown.
    const auto colours = cycle(v, white, {"k", "k", "k"});
    EXPECT_GT(mapColoured(colours[1]), 6000u);
    EXPECT_GT(mapColoured(colours[2]), 6000u);
    EXPECT_GT(flagColoured(cycle(v, white, {"g", "g"})[1]), 20u) << "the simulated band edges are flagged";
    // Keys the viewer passes on leave its state alone: "h" homes the camera that never moved.
    v.key("h");
    EXPECT_EQ(v.shotWhen(same(white)), white);
    EXPECT_EQ(count(v.out(), "Baseline::updateStats"), 4u);

    // The waterfall from a turned view; the keys work in it; back to the turned view.
    v.key("Right");
    const Image turned = v.shotWhen(differsFrom(white));
    v.key("v");
    const Image fall = v.shotWhen(differsFrom(turned));
    EXPECT_GT(mapColoured(fall), 50000u);
    for (const std::vector<std::string>& keys :
         {std::vector<std::string>{"a", "a"}, {"c", "c"}, {"f", "f"}, {"n", "p"}, {"g", "g"}})
        cycle(v, fall, keys);
    v.key("v");
    EXPECT_EQ(v.shotWhen(same(turned)), turned) << "v twice: the 3-D view as it was, camera included";
    v.key("Q");
    EXPECT_EQ(v.waitExit(), 0) << v.err();
}

TEST(View, WaterfallCellsHaveTheColourOfTheirValueAndFlaggedCellsShowOnlyWithG)
{
    // One baseline, 4 channels x 3 integrations 10 s apart; amplitude 1 + channel + 4 x integration,
    // so the full vertical range is 1 .. 12 without the flagged cell (channel 2, integration 1).
    TempDir dir;
    kestrum::sim::UvDescription d;
    d.nants = 2;
    d.windows = {kestrum::sim::Window{4}};
    d.times = {2459000.5, 2459000.5 + 10 * kSecond, 2459000.5 + 20 * kSecond};
    d.value = [](const kestrum::sim::UvRecord& r, int c) { return std::complex<float>(1 + c + 4 * r.timeIndex, 0); };
    d.good = [](const kestrum::sim::UvRecord& r, int c) { return r.timeIndex != 1 || c != 2; };
    kestrum::sim::writeUv(dir.file("cells.uv"), d);
    ViewerSession v(dir.path(), {"vis=" + dir.file("cells.uv"), "stokes=xx"});
    ASSERT_TRUE(v.windowFound) << v.out() << v.err();
    const Image initial = v.shotWhen(drawn);
    v.key("f", "v");
    const Image hidden = v.shotWhen([&](const Image& s) { return drawn(s) && mapColoured(s) > 50000; });
    v.key("g");
    const Image shown = v.shotWhen(differsFrom(hidden));

    // The picture spans device -1 .. 1 both ways, seen straight on from 3.3 with a 45-degree field.
    const double f = 1.0 / std::tan(22.5 * M_PI / 180.0) / 3.3;
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 4; ++i) {
            const int col = static_cast<int>(std::lround((f * 0.75 * (-0.75 + 0.5 * i) + 1.0) * 320.0));
            const int row = 479 - static_cast<int>(std::lround((f * (-2.0 / 3 + 2.0 / 3 * j) + 1.0) * 240.0));
            const int amp = 1 + i + 4 * j;
            const Rgb want = kColourMap[std::min(255, (amp - 1) * 256 / 11)];
            SCOPED_TRACE("cell " + std::to_string(i) + "," + std::to_string(j));
            if (i == 2 && j == 1) {
                EXPECT_EQ(hidden.at(col, row), 0u) << "flagged: left out";
                EXPECT_EQ(shown.at(col, row), pixel(kFlagColour)) << "flagged, with g";
            } else {
                EXPECT_EQ(hidden.at(col, row), pixel(want));
                EXPECT_EQ(shown.at(col, row), pixel(want));
            }
        }
    v.key("g");
    EXPECT_EQ(v.shotWhen(same(hidden)), hidden);
    v.key("v", "f");
    EXPECT_EQ(v.shotWhen(same(initial)), initial);
    v.key("q");
    EXPECT_EQ(v.waitExit(), 0) << v.err();
}

TEST(View, WWalksTheSurveyOrderWorstFirstAcrossSourcesAndWrapsRound)
{
    TempDir dir;
    const std::string vis = simulate(dir);
    const RunResult r = run({binary("tools/kestrum-survey"), "vis=" + vis, "out=" + dir.file("b.csv")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The baselines of out= in rank order; each source has its own, so the walk crosses them.
    std::vector<std::string> order;
    std::set<std::string> sources;
    for (const auto& f : readCsv(dir.file("b.csv")))
        if (f[0] != "rank") {
            order.push_back(f[2] + "-" + f[3]);
            sources.insert(f[1]);
        }
    ASSERT_EQ(order.size(), 12u);
    ASSERT_EQ(sources.size(), 2u);

    ViewerSession v(dir.path(), {"vis=" + vis, "options=debug1"});
    ASSERT_TRUE(v.windowFound) << v.out() << v.err();
    const std::string start = "Using stokes i for analysis.\n";
    ASSERT_TRUE(v.waitForOutput(start));
    std::string expected;
    for (size_t i = 0; i <= order.size(); ++i) {
        v.key(i % 2 ? "w" : "W");
        expected += "Baseline::updateStats(notcal, nosed) BL=(" + order[i % order.size()] + ")\n";
        ASSERT_TRUE(v.waitForOutput(start + expected)) << "press " << i + 1 << ":\n" << v.out();
    }
    // The help: the keys' lines, then a line for each key added to them.
    v.key("question");
    ASSERT_TRUE(v.waitForOutput("arrow keys : rotate the view in the direction of the arrow key\n")) << v.out();
    const std::string out = v.out();
    EXPECT_NE(out.find(start + expected + kHelp), std::string::npos) << out;
    for (const char* line : {"\nk          : ", "\nv          : ", "\ng          : ",
                             "\nw          : show the next baseline in survey order, worst first (wrapping round).\n"})
        EXPECT_GT(out.find(line), out.find(kHelp)) << "a line for the new key after the others: " << line;
    v.key("q");
    EXPECT_EQ(v.waitExit(), 0) << v.err();
}
