// Velocity lines (Doppler arithmetic, resampling weights, the default grid, felocity), the
// variance, w and shadowing from antenna positions, and planet scaling.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <set>

#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;
using kestrum::sim::UvRecord;
using kestrum::sim::Window;

namespace {

constexpr double C = 299792.458;
constexpr double kSfreq = 1.4200, kSdf = -0.0001, kRest = 1.42040575;

// One window of 64 channels with a narrow line of 100 at channel 20 over a level of 1.
UvDescription lineData()
{
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{64, kSfreq, kSdf, kRest}};
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
double channelVelocity(int k)
{
    return (1 - dopplerOf(20, 5) * kSfreq / kRest) * C - k * C * kSdf / kRest;
}

}  // namespace

TEST(UvVelocity, NarrowLineLandsWhereTheDopplerArithmeticPutsIt)
{
    TempDir dir;
    std::string path = dir.file("v.uv");
    kestrum::sim::writeUv(path, lineData());
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
    // A coarser grid of three input channels per output channel keeps the flat level and the
    // line's flux (100 + 2 over 3 channels) in the output channel that covers it.
    auto wide = readAll(path, [&](int tno) { uvset_c(tno, "data", "velocity", 10, channelVelocity(20) - 3 * 3 * dv, 3 * dv, 3 * dv); });
    EXPECT_NEAR(wide[0].data[2 * 3], (100.0 + 2.0) / 3, 1e-3);
    EXPECT_NEAR(wide[0].data[2 * 1], 1.0, 1e-5);
    // Output channels beyond the data are bad.
    auto beyond = readAll(path, [&](int tno) { uvset_c(tno, "data", "velocity", 10, channelVelocity(60), dv, dv); });
    EXPECT_EQ(beyond[0].flags[2], 1);
    EXPECT_EQ(beyond[0].flags[9], 0);
    EXPECT_EQ(beyond[0].data[18], 0.0f);
}

TEST(UvVelocity, DefaultGridReproducesTheInputChannels)
{
    TempDir dir;
    UvDescription d = lineData();
    d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), 1); };
    std::string path = dir.file("d.uv");
    kestrum::sim::writeUv(path, d);
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    uvset_c(tno, "data", "velocity", 0, 0, 0, 0);
    std::vector<double> pre(4);
    std::vector<float> data(128);
    std::vector<int> flags(64);
    int nread = 0;
    uvread_c(tno, pre.data(), data.data(), flags.data(), 64, &nread);
    ASSERT_EQ(nread, 64);
    for (int k = 0; k < 64; ++k) EXPECT_NEAR(data[2 * k], k, 1e-4);
    double line[6], vel[64], freq[64], sfreq[64], bw[64];
    uvinfo_c(tno, "line", line);
    EXPECT_EQ(line[0], 3);
    EXPECT_EQ(line[1], 64);
    EXPECT_NEAR(line[2], channelVelocity(0), 1e-6);
    EXPECT_NEAR(line[3], -C * kSdf / kRest, 1e-9);
    EXPECT_EQ(line[5], 1);
    uvinfo_c(tno, "velocity", vel);
    uvinfo_c(tno, "frequency", freq);
    uvinfo_c(tno, "sfreq", sfreq);
    uvinfo_c(tno, "bandwidth", bw);
    for (int k = 0; k < 64; k += 9) {
        EXPECT_NEAR(vel[k], channelVelocity(k), 1e-6);
        EXPECT_NEAR(freq[k], (1 - vel[k] / C) * kRest, 1e-12);
        EXPECT_NEAR(sfreq[k], kSfreq + k * kSdf / dopplerOf(20, 5), 1e-9);
        EXPECT_NEAR(bw[k], std::fabs(kSdf), 1e-8);
    }
    uvclose_c(tno);
}

TEST(UvVelocity, FelocityIsConvertedAtTheFirstRead)
{
    TempDir dir;
    std::string path = dir.file("f.uv");
    kestrum::sim::writeUv(path, lineData());
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    uvset_c(tno, "data", "felocity", 8, 100, 2, 3);
    std::vector<double> pre(4);
    std::vector<float> data(64);
    std::vector<int> flags(32);
    int nread = 0;
    uvread_c(tno, pre.data(), data.data(), flags.data(), 32, &nread);
    ASSERT_EQ(nread, 8);
    double line[6];
    uvinfo_c(tno, "line", line);
    double f = C / (C + 100);
    EXPECT_EQ(line[0], 3);
    EXPECT_NEAR(line[2], 100 * f, 1e-9);
    EXPECT_NEAR(line[3], 2 * f * f, 1e-12);
    EXPECT_NEAR(line[4], 3 * f * f, 1e-12);
    uvclose_c(tno);
}

TEST(UvVelocity, VarianceFollowsSystemTemperaturesPerPair)
{
    TempDir dir;
    for (int pol : {-5, 1}) {
        UvDescription d;
        d.nants = 3;
        d.pols = {pol};
        d.inttime = 8;
        d.windows = {Window{16, 1.0, 0.002, 1.4}, Window{16, 2.0, -0.004, 1.4}};
        d.perRecord = [](int tno, const UvRecord&) {
            float tsys[3] = {50, 60, 80}, jyperk = 12;
            uvputvr_c(tno, IO_REAL, "systemp", tsys, 3);
            uvputvr_c(tno, IO_REAL, "jyperk", &jyperk, 1);
        };
        std::string path = dir.file("var" + std::to_string(pol) + ".uv");
        kestrum::sim::writeUv(path, d);
        int tno = 0;
        uvopen_c(&tno, path.c_str(), "old");
        uvset_c(tno, "data", "channel", 2, 19, 4, 4);  // starts in the second window
        std::vector<double> pre(4);
        std::vector<float> data(64);
        std::vector<int> flags(32);
        int nread = 0;
        const double tsys[3] = {50, 60, 80};
        for (int r = 0; r < 3; ++r) {
            uvread_c(tno, pre.data(), data.data(), flags.data(), 32, &nread);
            ASSERT_EQ(nread, 2);
            int a1 = int(pre[3]) / 256, a2 = int(pre[3]) % 256;
            double var = 0;
            uvinfo_c(tno, "variance", &var);
            double expect = 12.0 * 12.0 / 8 / (4 * 0.004 * 2e9) * tsys[a1 - 1] * tsys[a2 - 1];
            if (pol > 0) expect /= 2;
            EXPECT_NEAR(var, expect, expect * 1e-6);
        }
        uvclose_c(tno);
    }
    // Without "systemp" the variance is 0.
    std::string plain = dir.file("novar.uv");
    kestrum::sim::writeUv(plain, UvDescription{});
    auto recs = readAll(plain, [](int) {});
    int tno = 0;
    uvopen_c(&tno, plain.c_str(), "old");
    std::vector<double> pre(4);
    std::vector<float> data(16);
    std::vector<int> flags(8);
    int nread = 0;
    uvread_c(tno, pre.data(), data.data(), flags.data(), 8, &nread);
    double var = -1;
    uvinfo_c(tno, "variance", &var);
    EXPECT_EQ(var, 0);
    uvclose_c(tno);
}

namespace {

// An east-west array: antenna i at Y = 100 (i - 1) ns (antenna 2 only 10 ns from antenna 1),
// hour angles 0.3, 1.4 and -1.2 rad, declination -0.4 rad.
constexpr int kAnts = 4;
const double kY[kAnts] = {0, 10, 200, 300};
const double kHa[3] = {0.3, 1.4, -1.2};
constexpr double kDec = -0.4, kObsra = 1.0;

UvDescription eastWest()
{
    UvDescription d;
    d.nants = kAnts;
    d.times = {2460000.6, 2460000.7, 2460000.8};
    d.perRecord = [](int tno, const UvRecord& r) {
        double antpos[3 * kAnts] = {};
        for (int i = 0; i < kAnts; ++i) antpos[kAnts + i] = kY[i];
        double lst = kObsra + kHa[r.timeIndex], obsra = kObsra, obsdec = kDec;
        uvputvr_c(tno, IO_DBLE, "antpos", antpos, 3 * kAnts);
        uvputvr_c(tno, IO_DBLE, "lst", &lst, 1);
        uvputvr_c(tno, IO_DBLE, "obsra", &obsra, 1);
        uvputvr_c(tno, IO_DBLE, "obsdec", &obsdec, 1);
    };
    return d;
}

}  // namespace

TEST(UvGeometry, WFromAntennaPositions)
{
    TempDir dir;
    std::string path = dir.file("ew.uv");
    kestrum::sim::writeUv(path, eastWest());
    testing::internal::CaptureStderr();
    auto recs = readAll(path, [](int tno) { uvset_c(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0); }, 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(recs.size(), 18u);
    for (const auto& r : recs) {
        int a1 = int(r.pre[4]) / 256, a2 = int(r.pre[4]) % 256;
        int t = r.pre[3] < 2460000.65 ? 0 : r.pre[3] < 2460000.75 ? 1 : 2;
        // For antennas on the east-west line, w = -Y sin(H) cos(dec).
        double expect = -(kY[a2 - 1] - kY[a1 - 1]) * std::sin(kHa[t]) * std::cos(kDec);
        EXPECT_NEAR(r.pre[2], expect, 1e-9) << a1 << "-" << a2 << " at " << t;
    }
}

TEST(UvGeometry, ShadowingFlagsThePairsTheGeometryShadows)
{
    TempDir dir;
    UvDescription d = eastWest();
    auto base = d.perRecord;
    d.perRecord = [base](int tno, const UvRecord& r) {
        base(tno, r);
        float diam = 14;
        uvputvr_c(tno, IO_REAL, "antdiam", &diam, 1);
    };
    std::string path = dir.file("sh.uv");
    kestrum::sim::writeUv(path, d);

    for (double diam : {14.0, 0.0, 40.0}) {
        // Expected from the projected positions: u = Y cos H, v = Y sin(dec) sin H, w = -Y sin H cos(dec).
        const double dns = (diam == 0 ? 14.0 : diam) / 0.299792458;
        std::multiset<std::pair<int, int>> expect;
        for (int t = 0; t < 3; ++t) {
            auto shadowed = [&](int a) {
                for (int k = 1; k <= kAnts; ++k) {
                    if (k == a) continue;
                    double dy = kY[k - 1] - kY[a - 1];
                    double du = dy * std::cos(kHa[t]), dv = dy * std::sin(kDec) * std::sin(kHa[t]);
                    double dw = -dy * std::sin(kHa[t]) * std::cos(kDec);
                    if (du * du + dv * dv <= dns * dns && dw >= 0) return true;
                }
                return false;
            };
            for (int a = 1; a <= kAnts; ++a)
                for (int b = a + 1; b <= kAnts; ++b)
                    if (!shadowed(a) && !shadowed(b)) expect.insert({t, a * 256 + b});
        }
        std::multiset<std::pair<int, int>> got;
        for (const auto& r : readAll(path, [&](int tno) { uvselect_c(tno, "shadow", 0, diam, 0); })) {
            int t = r.pre[2] < 2460000.65 ? 0 : r.pre[2] < 2460000.75 ? 1 : 2;
            got.insert({t, int(r.pre[3])});
        }
        EXPECT_EQ(got, expect) << "diameter " << diam;
        EXPECT_LT(expect.size(), 18u) << "the geometry shadows some pair";
    }
}

TEST(UvGeometry, PlanetScalingOfFluxAndCoordinates)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.times = {2460000.6, 2460000.7};
    d.coord = [](UvRecord& r) {
        r.u = 10;
        r.v = 0;
    };
    d.value = [](const UvRecord&, int) { return std::complex<float>(8, 0); };
    d.perRecord = [](int tno, const UvRecord& r) {
        float maj = r.timeIndex == 0 ? 10.0f : 20.0f, min = 5, ang = r.timeIndex == 0 ? 0.0f : 90.0f;
        uvputvr_c(tno, IO_REAL, "plmaj", &maj, 1);
        uvputvr_c(tno, IO_REAL, "plmin", &min, 1);
        uvputvr_c(tno, IO_REAL, "plangle", &ang, 1);
    };
    std::string path = dir.file("pl.uv");
    kestrum::sim::writeUv(path, d);
    auto recs = readAll(path, [](int tno) { uvset_c(tno, "planet", "", 0, 0, 0, 0); });
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_FLOAT_EQ(recs[0].data[0], 8);
    EXPECT_NEAR(recs[0].pre[0], 10, 1e-12);
    // Major axis doubled: flux scale 1/4; rotation by 90 degrees with factor 2.
    EXPECT_FLOAT_EQ(recs[1].data[0], 2);
    EXPECT_NEAR(recs[1].pre[0], 0, 1e-9);
    EXPECT_NEAR(recs[1].pre[1], 20, 1e-9);
}


namespace {

// Opens `path`, applies `setup`, reads one record into buffers of 64 channels.
void readOnce(const std::string& path, const std::function<void(int)>& setup)
{
    int t = 0;
    uvopen_c(&t, path.c_str(), "old");
    setup(t);
    std::vector<double> pre(8);
    std::vector<float> data(128);
    std::vector<int> flags(64);
    int n = 0;
    uvread_c(t, pre.data(), data.data(), flags.data(), 64, &n);
}

// Reads one record and then asks uvinfo_c for `object`.
void infoAfterRead(const std::string& path, const char* object)
{
    int t = 0;
    uvopen_c(&t, path.c_str(), "old");
    std::vector<double> pre(8), info(64);
    std::vector<float> data(128);
    std::vector<int> flags(64);
    int n = 0;
    uvread_c(t, pre.data(), data.data(), flags.data(), 64, &n);
    uvinfo_c(t, object, info.data());
}

}  // namespace

TEST(UvVelocityFatal, MessagesOfVelocityLinesAndGeometry)
{
    TempDir dir;
    std::string line = dir.file("line.uv");
    kestrum::sim::writeUv(line, lineData());
    EXPECT_EXIT(readOnce(line, [](int t) { uvset_c(t, "data", "velocity", 100, 0, 1, 1); }),
        testing::ExitedWithCode(1), fatalRe("Callers buffer too small for velocity data, in UVREAD(velocity)"));

    auto variant = [&](const char* name, const std::function<void(UvDescription&)>& change) {
        UvDescription d = lineData();
        change(d);
        std::string path = dir.file(name);
        kestrum::sim::writeUv(path, d);
        return path;
    };
    std::string noRest = variant("norest.uv", [](UvDescription& d) { d.windows[0].restfreq = 0; });
    EXPECT_EXIT(readOnce(noRest, [](int t) { uvset_c(t, "data", "velocity", 0, 0, 0, 0); }),
                testing::ExitedWithCode(1), fatalRe("Invalid rest frequency when setting default linetype"));
    EXPECT_EXIT(infoAfterRead(noRest, "velocity"),
                testing::ExitedWithCode(1), fatalRe("Cannot determine velocity as rest frequency is 0"));
    std::string empty = variant("empty.uv", [](UvDescription& d) { d.windows = {Window{0, 1.4, 0.001, 1.42}, Window{8, 1.4, 0.001, 1.42}}; });
    EXPECT_EXIT(readOnce(empty, [](int t) { uvset_c(t, "data", "velocity", 0, 0, 0, 0); }),
                testing::ExitedWithCode(1), fatalRe("Bad number of channels, in UVREAD(velocity)"));
    std::string flat = variant("flat.uv", [](UvDescription& d) { d.windows[0].sdf = 0; });
    EXPECT_EXIT(readOnce(flat, [](int t) { uvset_c(t, "data", "velocity", 8, 0, 1, 1); }),
                testing::ExitedWithCode(1), fatalRe("File velocity increment is zero, in UVREAD(velocity)."));
    std::string many = variant("many.uv", [](UvDescription& d) { d.windows.assign(17, Window{2, 1.4, 0.001, 1.42}); });
    EXPECT_EXIT(readOnce(many, [](int t) { uvset_c(t, "data", "velocity", 8, 0, 1, 1); }),
                testing::ExitedWithCode(1), fatalRe("Too many windows, in UVREAD(velocity)"));

    std::string ew = dir.file("ew.uv");
    kestrum::sim::writeUv(ew, eastWest());
    EXPECT_EXIT(readOnce(ew, [](int t) { uvselect_c(t, "shadow", 1, 0, 0); }),
                testing::ExitedWithCode(1), fatalRe("Bad antenna diameter, in UVSELECT."));
    EXPECT_EXIT(readOnce(ew, [](int t) { uvselect_c(t, "shadow", 0, 0, 0); }),
                testing::ExitedWithCode(1), fatalRe("No antenna diameter info available, in UVREAD(shadow_select)"));
    UvDescription outside = eastWest();
    outside.nants = 5;
    outside.baselines = {{1, 5}};
    std::string out = dir.file("out.uv");
    kestrum::sim::writeUv(out, outside);
    EXPECT_EXIT(readOnce(out, [](int t) { uvselect_c(t, "shadow", 0, 10, 0); }),
                testing::ExitedWithCode(1), fatalRe("Bad antenna numbers when checking shadowing, in UVREAD(select)"));
    UvDescription big = eastWest();
    big.perRecord = [](int tno, const UvRecord&) {
        std::vector<double> antpos(3 * 65, 1.0);
        double zero = 0;
        uvputvr_c(tno, IO_DBLE, "antpos", antpos.data(), 3 * 65);
        uvputvr_c(tno, IO_DBLE, "lst", &zero, 1);
        uvputvr_c(tno, IO_DBLE, "obsra", &zero, 1);
        uvputvr_c(tno, IO_DBLE, "obsdec", &zero, 1);
    };
    std::string bigPath = dir.file("big.uv");
    kestrum::sim::writeUv(bigPath, big);
    EXPECT_EXIT(readOnce(bigPath, [](int t) { uvset_c(t, "preamble", "uvw/time/baseline", 0, 0, 0, 0); }),
                testing::ExitedWithCode(1), fatalRe("Too many antennas in uvread_updated_uvw"));
}
