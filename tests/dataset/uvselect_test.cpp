// Record selection of polarisations on data with antennas above 64, whose baselines pass
// groups without antenna clauses (the clauses themselves are checked through the "select"
// keyword in the task tests).
#include <gtest/gtest.h>

#include <set>

#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;

namespace {

struct Picked {
    std::set<std::pair<int, int>> pairs;
    size_t count = 0;
};

Picked pick(const std::string& path, const std::function<void(int)>& select)
{
    Picked p;
    for (const auto& r : readAll(path, select)) {
        int b = static_cast<int>(r.pre[3]);
        p.pairs.insert(b > 65536 ? std::make_pair((b - 65536) / 2048, (b - 65536) % 2048)
                                 : std::make_pair(b / 256, b % 256));
        ++p.count;
    }
    return p;
}

}  // namespace

TEST(UvSelectAntennas, AntennasAbove64PassGroupsWithoutAntennaClauses)
{
    TempDir dir;
    UvDescription d;
    d.nants = 120;
    d.baselines = {{1, 2}, {3, 100}, {70, 113}, {113, 113}, {2, 300}};
    d.pols = {-5, -6, -7, -8};
    const std::string path = writeSim(dir, "big.uv", d);
    auto xx = pick(path, [](int tno) { uvselect_c(tno, "polarization", -5, 0, 1); });
    EXPECT_EQ(xx.count, 5u);
    EXPECT_TRUE(xx.pairs.count({113, 113}));
    EXPECT_TRUE(xx.pairs.count({2, 300}));

    // Where an antenna clause is in use, pairs beyond its table are discarded with a warning.
    testing::internal::CaptureStderr();
    auto one = pick(path, [](int tno) {
        uvselect_c(tno, "polarization", -5, 0, 1);
        uvselect_c(tno, "antennae", 1, 0, 1);
    });
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(one.pairs, (std::set<std::pair<int, int>>{{1, 2}}));
    EXPECT_NE(
        err.find("### Warning:  Discarded data with bad antenna numbers when selecting: baseline number is 868\n"),
        std::string::npos);
    // Only the groups with a table discard: an "or" group without one still passes them.
    auto orGroup = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "or", 0, 0, 1);
        uvselect_c(tno, "polarization", -6, 0, 1);
    });
    EXPECT_EQ(orGroup.count, 4u + 4);
}
