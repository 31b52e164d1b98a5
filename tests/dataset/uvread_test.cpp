// Record reading: written data sets read back record for record; channel and wide lines,
// averaging with the good-channel tolerance, amplitude and window clauses, 16-bit data,
// reference lines, the preamble, uvinfo_c, flags from the mask and written back.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

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

std::complex<float> valueOf(const UvRecord& r, int k)
{
    return {float(r.index * 10 + k), -0.5f * float(k)};
}
bool goodOf(const UvRecord& r, int k)
{
    return (r.index + k) % 5 != 0;
}

// A 64-channel data set: channel k of record i holds (k, i); record i has channel (i mod 64) bad.
UvDescription sixtyFour()
{
    UvDescription d;
    d.nants = 3;
    d.times = {2460000.1, 2460000.2};
    d.windows = {Window{64, 1.0, 0.001, 1.4204}};
    d.value = [](const UvRecord& r, int k) { return std::complex<float>(float(k), float(r.index)); };
    d.good = [](const UvRecord& r, int k) { return k != r.index % 64; };
    return d;
}

}  // namespace

TEST(UvRead, WrittenRecordsReadBackValueForValueAndFlagForFlag)
{
    for (char corrType : {'r', 'j'}) {
        TempDir dir;
        UvDescription d;
        d.nants = 3;
        d.autos = true;
        d.times = {2460000.1, 2460000.2, 2460000.3};
        d.pols = {-5, -6};
        d.corrType = corrType;
        d.windows = {Window{4, 1.0, 0.01, 1.4}, Window{4, 2.0, 0.01, 1.4}};
        d.value = valueOf;
        d.good = goodOf;
        d.coord = [](UvRecord& r) { r.u = 100.0 * r.timeIndex + r.ant1, r.v = -double(r.ant2); };
        const std::string path = dir.file("rt.uv");
        ASSERT_EQ(kestrum::sim::writeUv(path, d), 36);

        auto recs = readAll(path);
        ASSERT_EQ(recs.size(), 36u);
        auto pairs = kestrum::sim::baselinesOf(d);
        ASSERT_EQ(pairs.size(), 6u);
        int64_t i = 0;
        for (size_t t = 0; t < 3; ++t)
            for (auto [a1, a2] : pairs)
                for (int pol = 0; pol < 2; ++pol, ++i) {
                    const ReadRecord& r = recs[i];
                    EXPECT_EQ(r.visno, double(i + 1));
                    EXPECT_EQ(r.pre,
                              (std::vector<double>{100.0 * double(t) + a1, -double(a2), d.times[t], 256.0 * a1 + a2}));
                    ASSERT_EQ(r.flags.size(), 8u);
                    UvRecord w;
                    w.index = i;
                    for (int k = 0; k < 8; ++k) {
                        // 16-bit data are within half a step of the scale the writer chose.
                        double tol = corrType == 'j' ? (i * 10 + 7) / 32767.0 : 0;
                        EXPECT_NEAR(r.data[2 * k], valueOf(w, k).real(), tol);
                        EXPECT_NEAR(r.data[2 * k + 1], valueOf(w, k).imag(), tol);
                        EXPECT_EQ(r.flags[k], goodOf(w, k) ? 1 : 0) << "record " << i << " channel " << k;
                    }
                }
    }
}

TEST(UvRead, ChannelLinesSelectAndAverageChannels)
{
    TempDir dir;
    const std::string path = writeSim(dir, "c.uv", sixtyFour());

    auto all = readAll(path, [](int tno) { uvset_c(tno, "data", "channel", 0, 1, 1, 1); });
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0].flags.size(), 64u);
    EXPECT_EQ(std::vector<float>(all[2].data.begin() + 10, all[2].data.begin() + 12), (std::vector<float>{5, 2}));
    EXPECT_EQ(all[2].flags[2], 0);

    auto avg = readAll(path, [](int tno) { uvset_c(tno, "data", "channel", 0, 1, 4, 4); });
    ASSERT_EQ(avg[0].flags.size(), 16u);
    // Record 1 has channel 1 bad: output 0 averages channels 0, 2, 3.
    EXPECT_FLOAT_EQ(avg[1].data[0], (0 + 2 + 3) / 3.0f);
    EXPECT_FLOAT_EQ(avg[1].data[2], (4 + 5 + 6 + 7) / 4.0f);
    EXPECT_EQ(avg[1].flags[0], 1);

    auto shifted = readAll(path, [](int tno) { uvset_c(tno, "data", "channel", 0, 3, 4, 4); });
    ASSERT_EQ(shifted[0].flags.size(), 15u);
    EXPECT_FLOAT_EQ(shifted[0].data[0], (2 + 3 + 4 + 5) / 4.0f);

    // Steps wider than the width skip channels between output channels.
    auto sparse = readAll(path, [](int tno) { uvset_c(tno, "data", "channel", 3, 2, 2, 10); });
    ASSERT_EQ(sparse[0].flags.size(), 3u);
    EXPECT_FLOAT_EQ(sparse[0].data[4], (21 + 22) / 2.0f);
}

TEST(UvRead, GoodChannelToleranceDecidesTheAveragedFlag)
{
    TempDir dir;
    UvDescription d = sixtyFour();
    d.good = [](const UvRecord&, int k) { return k == 2 || k >= 4; };  // one good channel of the first four
    const std::string path = writeSim(dir, "g.uv", d);
    auto one = readAll(path, [](int tno) { uvset_c(tno, "data", "channel", 1, 1, 4, 4); });
    EXPECT_EQ(one[0].data[0], 2.0f);
    EXPECT_EQ(one[0].flags[0], 1);
    auto two = readAll(path, [](int tno) {
        uvset_c(tno, "data", "channel", 1, 1, 4, 4);
        uvset_c(tno, "gflag", "", 2, 0, 0, 0);
    });
    EXPECT_EQ(two[0].data[0], 2.0f);
    EXPECT_EQ(two[0].flags[0], 0);
}

TEST(UvRead, AmplitudeClauseFlagsChannels)
{
    TempDir dir;
    UvDescription d = sixtyFour();
    d.good = {};
    d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), 0); };
    const std::string path = writeSim(dir, "a.uv", d);
    double range[3] = {0, 0, 0};
    auto inc = readAll(path, [&](int tno) {
        uvselect_c(tno, "amplitude", 10, 20, 1);
        uvinfo_c(tno, "amprange", range);
    });
    EXPECT_EQ(std::vector<double>(range, range + 3), (std::vector<double>{1, 10, 20}));
    auto exc = readAll(path, [](int tno) { uvselect_c(tno, "amplitude", 10, 20, 0); });
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(inc[0].flags[k], k >= 10 && k <= 20 ? 1 : 0);
        EXPECT_EQ(exc[0].flags[k], k >= 10 && k <= 20 ? 0 : 1);
    }
    auto off = readAll(path, [](int tno) {
        uvselect_c(tno, "amplitude", 10, 20, 1);
        uvset_c(tno, "selection", "amplitude", 0, 0, 0, 0);
    });
    EXPECT_EQ(off[0].flags, std::vector<int>(64, 1));
}

TEST(UvRead, WindowClauseRestrictsTheChannels)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{4, 1.0, 0.01, 1.4}, Window{4, 2.0, 0.01, 1.4}, Window{4, 3.0, 0.01, 1.4}};
    d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), 0); };
    const std::string path = writeSim(dir, "w.uv", d);
    auto second = readAll(path, [](int tno) { uvselect_c(tno, "window", 2, 0, 1); });
    ASSERT_EQ(second[0].flags.size(), 4u);
    EXPECT_EQ(second[0].data[0], 4.0f);
    auto two = readAll(path, [](int tno) {
        uvselect_c(tno, "window", 2, 0, 1);
        uvselect_c(tno, "window", 3, 0, 1);
    });
    ASSERT_EQ(two[0].flags.size(), 8u);
    EXPECT_EQ(two[0].data[14], 11.0f);
    auto notFirst = readAll(path, [](int tno) { uvselect_c(tno, "window", 1, 0, 0); });
    ASSERT_EQ(notFirst[0].flags.size(), 8u);
    EXPECT_EQ(notFirst[0].data[0], 4.0f);
}

TEST(UvRead, ReferenceLineDividesTheData)
{
    TempDir dir;
    UvDescription d = sixtyFour();
    d.good = [](const UvRecord& r, int k) { return !(r.index == 1 && k == 10); };
    d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), float(k)); };
    const std::string path = writeSim(dir, "r.uv", d);
    auto recs = readAll(path, [](int tno) {
        uvset_c(tno, "data", "channel", 4, 1, 1, 1);
        uvset_c(tno, "reference", "channel", 1, 11, 1, 0);
    });
    ASSERT_EQ(recs.size(), 6u);
    // (k + ik) / (10 + 10i) = k / 10
    for (int k = 0; k < 4; ++k) {
        EXPECT_FLOAT_EQ(recs[0].data[2 * k], k / 10.0f);
        EXPECT_NEAR(recs[0].data[2 * k + 1], 0, 1e-7);
    }
    EXPECT_EQ(recs[0].flags[3], 1);
    EXPECT_EQ(recs[1].flags, (std::vector<int>{0, 0, 0, 0}));  // reference channel bad
}

TEST(UvRead, PreambleEntriesAndWavelengths)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{4, 1.5, 0.1, 1.4}};
    d.coord = [](UvRecord& r) { r.u = 10, r.v = 20, r.w = 30; };
    const std::string two = writeSim(dir, "two.uv", d);
    d.uvw = true;
    const std::string three = writeSim(dir, "three.uv", d);

    testing::internal::CaptureStderr();
    auto noW = readAll(
        two, [](int tno) { uvset_c(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0); }, 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  Unable to compute w coordinate -- setting this to zero\n");
    EXPECT_EQ(noW[0].pre, (std::vector<double>{10, 20, 0, 2460000.5, 258}));

    auto withW = readAll(
        three, [](int tno) { uvset_c(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0); }, 5);
    EXPECT_EQ(withW[0].pre, (std::vector<double>{10, 20, 30, 2460000.5, 258}));

    // Wavelengths: nanoseconds times the mean sky frequency (GHz) of the first output channel.
    auto wave = readAll(
        three,
        [](int tno) {
            uvset_c(tno, "preamble", "uv/pol/nothing/nschan", 0, 0, 0, 0);
            uvset_c(tno, "coord", "wavelength", 0, 0, 0, 0);
            uvset_c(tno, "data", "channel", 0, 2, 2, 2);
        },
        5);
    double f = (1.6 + 1.7) / 2;
    EXPECT_NEAR(wave[0].pre[0], 10 * f, 1e-9);
    EXPECT_NEAR(wave[0].pre[1], 20 * f, 1e-9);
    EXPECT_EQ(std::vector<double>(wave[0].pre.begin() + 2, wave[0].pre.end()), (std::vector<double>{-5, 0, 4}));
}

TEST(UvRead, InfoDescribesTheLineAndItsChannels)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{4, 1.0, 0.01, 1.2}, Window{4, 2.0, -0.02, 2.5}};
    const std::string path = writeSim(dir, "i.uv", d);
    UvReader reader(path, [](int tno) { uvset_c(tno, "data", "channel", 3, 3, 2, 2); });
    ASSERT_EQ(reader.next(4, 8).flags.size(), 3u);
    EXPECT_EQ(reader.info("line", 6), (std::vector<double>{1, 3, 3, 2, 2, 0}));
    const auto sfreq = reader.info("sfreq", 3), bw = reader.info("bandwidth", 3);
    const auto rest = reader.info("restfreq", 3), vel = reader.info("velocity", 3);
    // Output channels over input channels 2-3, 4-5 (crossing into window 2), 6-7.
    const double f[8] = {1.0, 1.01, 1.02, 1.03, 2.0, 1.98, 1.96, 1.94};
    const double r[8] = {1.2, 1.2, 1.2, 1.2, 2.5, 2.5, 2.5, 2.5};
    const double c = 299792.458;
    for (int j = 0; j < 3; ++j) {
        int k = 2 + 2 * j;
        EXPECT_NEAR(sfreq[j], (f[k] + f[k + 1]) / 2, 1e-12);
        EXPECT_NEAR(bw[j], (k < 4 ? 0.01 : 0.02) + (k + 1 < 4 ? 0.01 : 0.02), 1e-12);
        EXPECT_NEAR(rest[j], (r[k] + r[k + 1]) / 2, 1e-12);
        EXPECT_NEAR(vel[j], ((1 - f[k] / r[k]) * c + (1 - f[k + 1] / r[k + 1]) * c) / 2, 1e-6);
    }
}

TEST(UvRead, MissingFlagsMeanGoodDataAfterOneWarning)
{
    TempDir dir;
    UvDescription d = sixtyFour();
    d.flags = false;
    const std::string path = writeSim(dir, "nf.uv", d);
    testing::internal::CaptureStderr();
    auto recs = readAll(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  No flags found for corr -- assuming data are good\n");
    ASSERT_EQ(recs.size(), 6u);
    for (const auto& r : recs)
        EXPECT_EQ(r.flags, std::vector<int>(64, 1));
}

TEST(UvRead, FlagsWrittenBackReachTheMask)
{
    TempDir dir;
    const std::string path = writeSim(dir, "fw.uv", sixtyFour());
    int records = 0;
    {
        UvReader reader(path, [](int tno) { uvset_c(tno, "data", "channel", 8, 9, 1, 2); });
        while (!reader.next(4, 64).flags.empty()) {
            std::vector<int> out(8, 1);
            out[++records % 8] = 0;
            uvflgwr_c(reader.tno, out.data());
        }
    }
    ASSERT_EQ(records, 6);
    auto recs = readAll(path);
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < 64; ++k) {
            bool rewritten = k >= 8 && k < 24 && (k - 8) % 2 == 0;
            int expect = rewritten ? ((k - 8) / 2 != (i + 1) % 8) : k != i % 64;
            EXPECT_EQ(recs[i].flags[k], expect) << "record " << i << " channel " << k;
        }
}

TEST(UvRead, WideChannels)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.times = {2460000.1, 2460000.2};
    d.wideChannels = 3;
    const std::string path = writeSim(dir, "wide.uv", d);
    {
        UvReader reader(path);
        EXPECT_EQ(reader.next(4, 8).flags.size(), 8u);
        float wdata[6];
        int wflags[3], nwide = 0;
        uvwread_c(reader.tno, wdata, wflags, 3, &nwide);
        ASSERT_EQ(nwide, 3);
        EXPECT_EQ(wdata[2], 1.0f);
        EXPECT_EQ(wdata[3], -1.0f);
        EXPECT_EQ(wflags[2], 1);
    }

    auto wide = readAll(path, [](int tno) { uvset_c(tno, "data", "wide", 0, 1, 1, 1); });
    ASSERT_EQ(wide.size(), 2u);
    ASSERT_EQ(wide[1].flags.size(), 3u);
    EXPECT_EQ(wide[1].data[4], 3.0f);  // record 1, channel 2: 1 + 2
}

TEST(UvRead, FlagsWrittenAsRunsAndReadAfterRewind)
{
    TempDir dir;
    std::string path = dir.file("runs.uv");
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "new");
    uvset_c(tno, "flags", "runs", 0, 0, 0, 0);
    std::vector<float> data(16, 1.0f);
    const int runs[][5] = {{1, 3, 6, 8, 0}, {2, 2, 0, 0, 0}};
    for (int r = 0; r < 2; ++r) {
        double pre[4] = {1, 2, 2460000.5 + r, 258};
        uvwrite_c(tno, pre, data.data(), runs[r], 8);
    }
    uvclose_c(tno);

    UvReader reader(path);
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(reader.next(4, 8).flags, (std::vector<int>{1, 1, 1, 0, 0, 1, 1, 1}));
        EXPECT_EQ(reader.next(4, 8).flags, (std::vector<int>{0, 1, 0, 0, 0, 0, 0, 0}));
        EXPECT_TRUE(reader.next(4, 8).flags.empty());
        uvrewind_c(reader.tno);
        uvselect_c(reader.tno, "amplitude", 0.5, 2, 0);  // second pass: every channel flagged by amplitude
        if (pass == 0) {
            EXPECT_EQ(reader.next(4, 8).flags, std::vector<int>(8, 0));
            uvselect_c(reader.tno, "clear", 0, 0, 1);
            uvrewind_c(reader.tno);
        }
    }
}
