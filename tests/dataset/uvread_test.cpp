// Record reading: written data sets read back record for record; channel and wide lines,
// averaging, amplitude and window clauses, 16-bit data, the preamble, and flags from the mask
// or none.
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

TEST(UvRead, PreambleEntriesAndWavelengths)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{4, 1.5, 0.1, 1.4}};
    d.coord = [](UvRecord& r) { r.u = 10, r.v = 20, r.w = 30; };
    d.uvw = true;
    const std::string three = writeSim(dir, "three.uv", d);
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

TEST(UvRead, WideChannels)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.times = {2460000.1, 2460000.2};
    d.wideChannels = 3;
    const std::string path = writeSim(dir, "wide.uv", d);
    auto wide = readAll(path, [](int tno) { uvset_c(tno, "data", "wide", 0, 1, 1, 1); });
    ASSERT_EQ(wide.size(), 2u);
    ASSERT_EQ(wide[1].flags.size(), 3u);
    EXPECT_EQ(wide[1].data[4], 3.0f);  // record 1, channel 2: 1 + 2
}
