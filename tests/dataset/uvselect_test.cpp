// Record selection: antenna tables, time of day, "and"/"or" groups, inclusive then exclusive
// ranges, the record limit, increments, sources, polarisations, and antennas above 64.
#include <gtest/gtest.h>

#include <set>

#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;
using kestrum::sim::UvRecord;

namespace {

struct Picked {
    std::set<std::pair<int, int>> pairs;
    std::vector<double> times;
    std::vector<double> visnos;
    size_t count = 0;
};

Picked pick(const std::string& path, const std::function<void(int)>& select)
{
    Picked p;
    for (const auto& r : readAll(path, select)) {
        int b = static_cast<int>(r.pre[3]);
        p.pairs.insert(b > 65536 ? std::make_pair((b - 65536) / 2048, (b - 65536) % 2048) : std::make_pair(b / 256, b % 256));
        if (p.times.empty() || p.times.back() != r.pre[2]) p.times.push_back(r.pre[2]);
        p.visnos.push_back(r.visno);
        ++p.count;
    }
    return p;
}

std::set<std::pair<int, int>> pairsWith(int nants, const std::function<bool(int, int)>& keep)
{
    std::set<std::pair<int, int>> s;
    for (int a = 1; a <= nants; ++a)
        for (int b = a; b <= nants; ++b)
            if (keep(a, b)) s.insert({a, b});
    return s;
}

class UvSelect : public testing::Test {
protected:
    void SetUp() override
    {
        UvDescription d;
        d.nants = 4;
        d.autos = true;
        // Times of day (since midnight, Julian dates start at noon) 0.1, 0.3, 0.45, 0.6.
        d.times = {2460000.6, 2460000.8, 2460000.95, 2460001.1};
        d.source = [](int t) { return t < 2 ? std::string("alpha") : std::string("beta"); };
        path = dir.file("sel.uv");
        records = kestrum::sim::writeUv(path, d);
    }
    TempDir dir;
    std::string path;
    int64_t records = 0;
};

}  // namespace

TEST_F(UvSelect, AntennaeWithOneAntennaSelectsEveryPairWithIt)
{
    ASSERT_EQ(records, 40);
    auto p = pick(path, [](int tno) { uvselect_c(tno, "antennae", 3, 0, 1); });
    EXPECT_EQ(p.pairs, pairsWith(4, [](int a, int b) { return a == 3 || b == 3; }));
    EXPECT_TRUE(p.pairs.count({3, 3}));
    auto q = pick(path, [](int tno) { uvselect_c(tno, "antennae", 2, 4, 0); });
    EXPECT_EQ(q.pairs, pairsWith(4, [](int a, int b) { return !(a == 2 && b == 4); }));
    auto autos = pick(path, [](int tno) { uvselect_c(tno, "auto", 0, 0, 1); });
    EXPECT_EQ(autos.pairs, pairsWith(4, [](int a, int b) { return a == b; }));
    auto cross = pick(path, [](int tno) { uvselect_c(tno, "auto", 0, 0, 0); });
    EXPECT_EQ(cross.pairs, pairsWith(4, [](int a, int b) { return a != b; }));
}

TEST_F(UvSelect, TimeOfDaySelectsAnyDay)
{
    auto p = pick(path, [](int tno) { uvselect_c(tno, "time", 0.25, 0.5, 1); });
    EXPECT_EQ(p.times, (std::vector<double>{2460000.8, 2460000.95}));
    auto jd = pick(path, [](int tno) { uvselect_c(tno, "time", 2460000.7, 2460001.0, 1); });
    EXPECT_EQ(jd.times, (std::vector<double>{2460000.8, 2460000.95}));
}

TEST_F(UvSelect, ClearLeavesEveryRecordSelected)
{
    auto p = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "clear", 0, 0, 1);
    });
    EXPECT_EQ(p.count, 40u);
}

TEST_F(UvSelect, AndOrGroupsEvaluateLeftToRight)
{
    auto either = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "or", 0, 0, 1);
        uvselect_c(tno, "antennae", 2, 0, 1);
    });
    EXPECT_EQ(either.pairs, pairsWith(4, [](int a, int b) { return a == 1 || b == 1 || a == 2 || b == 2; }));
    auto both = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "and", 0, 0, 1);
        uvselect_c(tno, "antennae", 2, 0, 1);
    });
    EXPECT_EQ(both.pairs, (std::set<std::pair<int, int>>{{1, 2}}));
}

TEST_F(UvSelect, RangesOfOneKindFollowTheFirstOperator)
{
    auto two = pick(path, [](int tno) {
        uvselect_c(tno, "time", 2460000.5, 2460000.7, 1);
        uvselect_c(tno, "time", 2460001.0, 2460001.2, 1);
    });
    EXPECT_EQ(two.times, (std::vector<double>{2460000.6, 2460001.1}));
    auto incThenExc = pick(path, [](int tno) {
        uvselect_c(tno, "time", 2460000.5, 2460001.0, 1);
        uvselect_c(tno, "time", 2460000.7, 2460000.9, 0);
    });
    EXPECT_EQ(incThenExc.times, (std::vector<double>{2460000.6, 2460000.95}));
    auto excThenInc = pick(path, [](int tno) {
        uvselect_c(tno, "time", 2460000.7, 2460000.9, 0);
        uvselect_c(tno, "time", 2460000.5, 2460001.0, 1);
    });
    EXPECT_EQ(excThenInc.count, 40u);
}

TEST_F(UvSelect, VisibilityRangeEndsTheReading)
{
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    uvselect_c(tno, "visibility", 5, 12, 1);
    double pre[4];
    float data[16];
    int flags[8], nread = 0, count = 0;
    double visno = 0;
    for (;;) {
        uvread_c(tno, pre, data, flags, 8, &nread);
        if (!nread) break;
        ++count;
        uvinfo_c(tno, "visno", &visno);
        EXPECT_EQ(visno, 4 + count);
    }
    EXPECT_EQ(count, 8);
    // Reading stopped at the limit instead of scanning to the end of the data.
    uvinfo_c(tno, "visno", &visno);
    EXPECT_LE(visno, 14);
    uvclose_c(tno);

    auto cut = pick(path, [](int tno) {
        uvselect_c(tno, "visibility", 1, 100, 1);
        uvselect_c(tno, "visibility", 3, 4, 0);
    });
    EXPECT_EQ(cut.count, 38u);
}

TEST_F(UvSelect, IncrementSourcePolarisationAndHourAngle)
{
    auto inc = pick(path, [](int tno) { uvselect_c(tno, "increment", 3, 0, 1); });
    EXPECT_EQ(inc.count, 14u);
    EXPECT_EQ(inc.visnos[1], 4);
    auto beta = pick(path, [](int tno) { uvsela_c(tno, "source", "b*a", 1); });
    EXPECT_EQ(beta.times, (std::vector<double>{2460000.95, 2460001.1}));
    auto notAlpha = pick(path, [](int tno) { uvsela_c(tno, "source", "*lph*", 0); });
    EXPECT_EQ(notAlpha.count, 20u);
    auto xx = pick(path, [](int tno) { uvselect_c(tno, "polarization", -5, 0, 1); });
    EXPECT_EQ(xx.count, 40u);
    auto yy = pick(path, [](int tno) { uvselect_c(tno, "polarization", -6, 0, 1); });
    EXPECT_EQ(yy.count, 0u);
}

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
    EXPECT_NE(err.find("### Warning:  Discarded data with bad antenna numbers when selecting: baseline number is 868\n"),
              std::string::npos);
    // Only the groups with a table discard: an "or" group without one still passes them.
    auto orGroup = pick(path, [](int tno) {
        uvselect_c(tno, "antennae", 1, 0, 1);
        uvselect_c(tno, "or", 0, 0, 1);
        uvselect_c(tno, "polarization", -6, 0, 1);
    });
    EXPECT_EQ(orGroup.count, 4u + 4);
}
