// Edges of uv reading: a data set cut short of its valid length, and the default velocity grid
// on channels whose frequency falls or rises.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "dataset/headio.h"
#include "tests/dataset/uvtest.h"

using namespace kestrum::test;

TEST(UvCutShort, RecordsUpToTheEndOfTheItemAreReadWithOneWarning)
{
    TempDir dir;
    const std::string record = Bytes().value(1).i32(7).eor().s, head = Bytes().size(1, 4).s;
    // (visdata, records read): whole records, a record cut in its value, in an entry's header,
    // and one whose end-of-record entry stops after its header.
    const std::pair<std::string, int> cases[] = {{head + record + record, 2},
                                                 {head + record + record + record.substr(0, 6), 2},
                                                 {head + record + record + record.substr(0, 2), 2},
                                                 {head + record + record + record.substr(0, 12), 3}};
    int k = 0;
    for (const auto& [visdata, records] : cases) {
        const std::string path = handMadeUv(dir, "d time\ni n\n", visdata, "cut" + std::to_string(k++) + ".uv");
        const int tno = openTree(path, "old");
        wrhdl_c(tno, "vislen", 64);
        hclose_c(tno);
        testing::internal::CaptureStderr();
        int t = 0, n = 0;
        uvopen_c(&t, path.c_str(), "old");
        while (uvscan_c(t, "") == 0)
            ++n;
        EXPECT_EQ(uvscan_c(t, ""), -1);  // and stays at the end
        uvclose_c(t);
        EXPECT_EQ(n, records) << path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "### Warning:  visdata of " + path + " holds " + std::to_string(visdata.size()) +
                      " bytes, fewer than its valid length 64: reading the records it holds, in UVOPEN\n");
    }
}

TEST(UvVelocity, DefaultGridReproducesTheInputChannelsWhicheverWayFrequencyRuns)
{
    constexpr double C = 299792.458, kRest = 1.42040575;
    TempDir dir;
    for (const double sdf : {-1e-4, 1e-4}) {
        kestrum::sim::UvDescription d;
        d.nants = 2;
        d.windows = {kestrum::sim::Window{16, 1.42, sdf, kRest}};
        d.value = [](const kestrum::sim::UvRecord&, int k) { return std::complex<float>(float(k), 1); };
        UvReader reader(writeSim(dir, sdf < 0 ? "falling.uv" : "rising.uv", d),
                        [](int tno) { uvset_c(tno, "data", "velocity", 0, 0, 0, 0); });
        const ReadRecord r = reader.next(4, 16);
        ASSERT_EQ(r.flags.size(), 16u);
        const auto line = reader.info("line", 6), vel = reader.info("velocity", 16);
        EXPECT_NEAR(line[3], C * std::fabs(sdf) / kRest, 1e-9);  // a channel's width
        EXPECT_NEAR(line[4], -C * sdf / kRest, 1e-9);  // the step follows the channels
        for (int k = 0; k < 16; ++k) {
            EXPECT_EQ(r.flags[k], 1) << sdf << " " << k;
            EXPECT_NEAR(r.data[2 * k], k, 1e-4) << sdf;
            EXPECT_NEAR(vel[k], (1 - (1.42 + k * sdf) / kRest) * C, 1e-6);
        }
    }
}
