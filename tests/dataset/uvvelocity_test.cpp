// Velocity lines: Doppler arithmetic, resampling weights, the default grid, felocity, and the fatal
// messages of data sets whose spectral set-up allows no velocity line.

#include <cmath>
#include <complex>

#include "tests/dataset/uvtest.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;
using kestrum::sim::UvRecord;
using kestrum::sim::Window;

namespace {

constexpr double C = 299792.458;
constexpr double kSfreq = 1.4200, kSdf = -0.0001, kRest = 1.42040575;

// One window of 64 channels with a narrow line of 100 at channel 20 over a level of 1.
UvDescription lineData(double sdf = kSdf)
{
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{64, kSfreq, sdf, kRest}};
    d.veldop = 20;
    d.vsource = 5;
    d.value = [](const UvRecord&, int k) { return std::complex<float>(k == 20 ? 100.0f : 1.0f, 0); };
    return d;
}

double dopplerOf(double veldop, double vsource)
{
    double beta = (veldop - vsource) / C;
    return std::sqrt(1 - beta * beta) / (1 - beta);
}

// Velocity of input channel k: the first channel's Doppler-corrected velocity, then steps of
// -c sdf / restfreq.
double channelVelocity(int k, double sdf = kSdf)
{
    return (1 - dopplerOf(20, 5) * kSfreq / kRest) * C - k * C * sdf / kRest;
}

}  // namespace

TEST(UvVelocity, NarrowLineLandsWhereTheDopplerArithmeticPutsIt)
{
    TempDir dir;
    const std::string path = writeSim(dir, "v.uv", lineData());
    const double dv = channelVelocity(1) - channelVelocity(0);  // positive: sdf is negative
    // A grid of input-channel spacing whose channel 7 lies on the line.
    const double start = channelVelocity(20) - 7 * dv;
    auto recs = readAll(path, [&](int tno) { uvset_c(tno, "data", "velocity", 30, start, dv, dv); });
    ASSERT_EQ(recs[0].flags.size(), 30u);
    for (int j = 0; j < 30; ++j) {
        EXPECT_NEAR(recs[0].data[2 * j], j == 7 ? 100.0 : 1.0, 1e-4) << j;
        EXPECT_EQ(recs[0].flags[j], 1);
    }
    // Half a channel off: the line splits between channels 7 and 8; a flat level stays flat.
    auto half = readAll(path, [&](int tno) { uvset_c(tno, "data", "velocity", 30, start - 0.5 * dv, dv, dv); });
    EXPECT_NEAR(half[0].data[2 * 7], (100.0 + 1.0) / 2, 1e-3);
    EXPECT_NEAR(half[0].data[2 * 8], (100.0 + 1.0) / 2, 1e-3);
    EXPECT_NEAR(half[0].data[2 * 20], 1.0, 1e-5);
    // A coarser grid of three input channels per output channel keeps the flat level and the line's
    // flux (100 + 2 over 3 channels) in the output channel that covers it.
    auto wide = readAll(
        path, [&](int tno) { uvset_c(tno, "data", "velocity", 10, channelVelocity(20) - 3 * 3 * dv, 3 * dv, 3 * dv); });
    EXPECT_NEAR(wide[0].data[2 * 3], (100.0 + 2.0) / 3, 1e-3);
    EXPECT_NEAR(wide[0].data[2 * 1], 1.0, 1e-5);
    // Output channels beyond the data are bad.
    auto beyond = readAll(path, [&](int tno) { uvset_c(tno, "data", "velocity", 10, channelVelocity(60), dv, dv); });
    EXPECT_EQ(beyond[0].flags[2], 1);
    EXPECT_EQ(beyond[0].flags[9], 0);
    EXPECT_EQ(beyond[0].data[18], 0.0f);
}

// Whichever way frequency runs with channel: a channel's width, a step that follows the channels.
TEST(UvVelocity, DefaultGridReproducesTheInputChannels)
{
    TempDir dir;
    for (const double sdf : {kSdf, -kSdf}) {
        UvDescription d = lineData(sdf);
        d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), 1); };
        UvReader reader(writeSim(dir, sdf < 0 ? "falling.uv" : "rising.uv", d),
                        [](int tno) { uvset_c(tno, "data", "velocity", 0, 0, 0, 0); });
        const ReadRecord r = reader.next(4, 64);
        ASSERT_EQ(r.flags.size(), 64u);
        const auto line = reader.info("line", 6);
        EXPECT_EQ(line, (std::vector<double>{3, 64, line[2], line[3], line[4], 1}));
        EXPECT_NEAR(line[2], channelVelocity(0, sdf), 1e-6);
        EXPECT_NEAR(line[3], C * std::fabs(sdf) / kRest, 1e-9);
        EXPECT_NEAR(line[4], -C * sdf / kRest, 1e-9);
        const auto vel = reader.info("velocity", 64), freq = reader.info("frequency", 64);
        const auto sfreq = reader.info("sfreq", 64), bw = reader.info("bandwidth", 64);
        for (int k = 0; k < 64; ++k) {
            EXPECT_EQ(r.flags[k], 1) << sdf << " " << k;
            EXPECT_NEAR(r.data[2 * k], k, 1e-4) << sdf;
            EXPECT_NEAR(vel[k], channelVelocity(k, sdf), 1e-6);
            EXPECT_NEAR(freq[k], (1 - vel[k] / C) * kRest, 1e-12);
            EXPECT_NEAR(sfreq[k], kSfreq + k * sdf / dopplerOf(20, 5), 1e-9);
            EXPECT_NEAR(bw[k], std::fabs(sdf), 1e-8);
        }
    }
}

TEST(UvVelocity, FelocityIsConvertedAtTheFirstRead)
{
    TempDir dir;
    UvReader reader(writeSim(dir, "f.uv", lineData()), [](int tno) { uvset_c(tno, "data", "felocity", 8, 100, 2, 3); });
    ASSERT_EQ(reader.next(4, 32).flags.size(), 8u);
    const auto line = reader.info("line", 6);
    const double f = C / (C + 100);
    EXPECT_EQ(line[0], 3);
    EXPECT_NEAR(line[2], 100 * f, 1e-9);
    EXPECT_NEAR(line[3], 2 * f * f, 1e-12);
    EXPECT_NEAR(line[4], 3 * f * f, 1e-12);
}

TEST(UvVelocityFatal, MessagesOfVelocityLines)
{
    TempDir dir;
    auto variant = [&](const char* name, const std::vector<Window>& windows) {
        UvDescription d = lineData();
        d.windows = windows;
        return writeSim(dir, name, d);
    };
    const std::string line = writeSim(dir, "line.uv", lineData());
    const std::string noRest = variant("norest.uv", {Window{64, kSfreq, kSdf, 0}});
    auto velocity = [](int n, double start) { return [=](int t) { uvset_c(t, "data", "velocity", n, start, 1, 1); }; };
    struct Fatal {
        std::string path;
        std::function<void(int)> setup;
        const char* message;
        const char* info = nullptr;  // asked of uvinfo_c after the read
    };
    const Fatal cases[] = {
        {line, velocity(100, 0), "Callers buffer too small for velocity data, in UVREAD(velocity)"},
        {noRest, [](int t) { uvset_c(t, "data", "velocity", 0, 0, 0, 0); },
         "Invalid rest frequency when setting default linetype"},
        {noRest, [](int) {}, "Cannot determine velocity as rest frequency is 0", "velocity"},
        {variant("empty.uv", {Window{0, 1.4, 0.001, 1.42}, Window{8, 1.4, 0.001, 1.42}}),
         [](int t) { uvset_c(t, "data", "velocity", 0, 0, 0, 0); }, "Bad number of channels, in UVREAD(velocity)"},
        {variant("flat.uv", {Window{64, kSfreq, 0, kRest}}), velocity(8, 0),
         "File velocity increment is zero, in UVREAD(velocity)."},
        {variant("many.uv", std::vector<Window>(17, Window{2, 1.4, 0.001, 1.42})), velocity(8, 0),
         "Too many windows, in UVREAD(velocity)"},
    };
    for (const Fatal& f : cases)
        EXPECT_EXIT(
            {
                UvReader reader(f.path, f.setup);
                reader.next(8, 64);
                if (f.info)
                    reader.info(f.info, 64);
            },
            testing::ExitedWithCode(1), fatalRe(f.message));
}
