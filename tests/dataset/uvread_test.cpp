// Record reading: written data sets read back record for record; channel and wide lines, averaging,
// amplitude and window clauses, 16-bit data, the preamble, flags from the mask or none, and
// polarisations selected where antennas go above 64.

#include <cmath>
#include <complex>
#include <set>

#include "tests/dataset/uvtest.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;
using kestrum::sim::UvRecord;
using kestrum::sim::Window;

namespace {

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

// The antenna pairs of the records read after `select`, one per record.
std::multiset<std::pair<int, int>> pick(const std::string& path, const std::function<void(int)>& select)
{
    std::multiset<std::pair<int, int>> pairs;
    for (const auto& r : readAll(path, select)) {
        const int b = static_cast<int>(r.pre[3]);
        pairs.insert(b > 65536 ? std::pair((b - 65536) / 2048, (b - 65536) % 2048) : std::pair(b / 256, b % 256));
    }
    return pairs;
}

}  // namespace

TEST(UvRead, WrittenRecordsReadBackValueForValueAndFlagForFlag)
{
    auto valueOf = [](const UvRecord& r, int k) {
        return std::complex<float>(float(r.index * 10 + k), -0.5f * float(k));
    };
    auto goodOf = [](const UvRecord& r, int k) { return (r.index + k) % 5 != 0; };
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

// Channel k of three windows of four holds k.
TEST(UvRead, AmplitudeAndWindowClausesAndThePreambleInWavelengths)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.windows = {Window{4, 1.0, 0.01, 1.4}, Window{4, 2.0, 0.01, 1.4}, Window{4, 3.0, 0.01, 1.4}};
    d.value = [](const UvRecord&, int k) { return std::complex<float>(float(k), 0); };
    d.coord = [](UvRecord& r) { r.u = 10, r.v = 20, r.w = 30; };
    d.uvw = true;
    const std::string path = writeSim(dir, "w.uv", d);
    // Wavelengths: nanoseconds times the mean sky frequency (GHz) of the first output channel.
    auto wave = readAll(
        path,
        [](int tno) {
            uvset_c(tno, "preamble", "uvw/time/baseline", 0, 0, 0, 0);
            uvset_c(tno, "coord", "wavelength", 0, 0, 0, 0);
            uvset_c(tno, "data", "channel", 0, 2, 2, 2);
        },
        5);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(wave[0].pre[i], 10 * (i + 1) * (1.01 + 1.02) / 2, 1e-9);
    EXPECT_EQ(wave[0].pre[4], 258);

    double range[3] = {0, 0, 0};
    auto inc = readAll(path, [&](int tno) {
        uvselect_c(tno, "amplitude", 5, 9, 1);
        uvinfo_c(tno, "amprange", range);
    });
    EXPECT_EQ(std::vector<double>(range, range + 3), (std::vector<double>{1, 5, 9}));
    auto exc = readAll(path, [](int tno) { uvselect_c(tno, "amplitude", 5, 9, 0); });
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(inc[0].flags[k], k >= 5 && k <= 9 ? 1 : 0);
        EXPECT_EQ(exc[0].flags[k], k >= 5 && k <= 9 ? 0 : 1);
    }

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

TEST(UvRead, WideChannelsAndMissingFlags)
{
    TempDir dir;
    UvDescription d;
    d.nants = 2;
    d.times = {2460000.1, 2460000.2};
    d.wideChannels = 3;
    d.flags = false;
    const std::string path = writeSim(dir, "wide.uv", d);
    testing::internal::CaptureStderr();
    auto recs = readAll(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  No flags found for corr -- assuming data are "
              "good\n");  // once
    ASSERT_EQ(recs.size(), 2u);
    for (const auto& r : recs)
        EXPECT_EQ(r.flags, std::vector<int>(r.flags.size(), 1));
    auto wide = readAll(path, [](int tno) { uvset_c(tno, "data", "wide", 0, 1, 1, 1); });
    ASSERT_EQ(wide.size(), 2u);
    ASSERT_EQ(wide[1].flags.size(), 3u);
    EXPECT_EQ(wide[1].data[4], 3.0f);  // record 1, channel 2: 1 + 2
}

// Polarisations selected on data with antennas above 64: their baselines pass groups without
// antenna clauses (the clauses themselves are checked through the "select" keyword in the task
// tests).
TEST(UvSelectAntennas, AntennasAbove64PassGroupsWithoutAntennaClauses)
{
    TempDir dir;
    UvDescription d;
    d.nants = 120;
    d.baselines = {{1, 2}, {3, 100}, {70, 113}, {113, 113}, {2, 300}};
    d.pols = {-5, -6, -7, -8};
    const std::string path = writeSim(dir, "big.uv", d);
    auto xx = pick(path, [](int tno) { uvselect_c(tno, "polarization", -5, 0, 1); });
    EXPECT_EQ(xx.size(), 5u);
    EXPECT_EQ(xx.count({113, 113}) + xx.count({2, 300}), 2u);

    // Where an antenna clause is in use, pairs beyond its table are discarded with a warning.
    testing::internal::CaptureStderr();
    auto one = pick(path, [](int tno) {
        uvselect_c(tno, "polarization", -5, 0, 1);
        uvselect_c(tno, "antennae", 1, 0, 1);
    });
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(one, (std::multiset<std::pair<int, int>>{{1, 2}}));
    EXPECT_NE(err.find("### Warning:  Discarded data with bad antenna numbers "
                       "when selecting: baseline number is 868\n"),
              std::string::npos);
    // Only the groups with a table discard: an "or" group without one still passes them.
    auto orGroup = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "or", 0, 0, 1);
        uvselect_c(tno, "polarization", -6, 0, 1);
    });
    EXPECT_EQ(orGroup.size(), 4u + 4);
}
