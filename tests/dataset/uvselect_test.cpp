// Record selection: antenna tables, time of day, "and"/"or" groups, inclusive then exclusive
// ranges, the record limit, increments, sources, polarisations, and antennas above 64.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

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
        p.pairs.insert(b > 65536 ? std::make_pair((b - 65536) / 2048, (b - 65536) % 2048)
                                 : std::make_pair(b / 256, b % 256));
        if (p.times.empty() || p.times.back() != r.pre[2])
            p.times.push_back(r.pre[2]);
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
            if (keep(a, b))
                s.insert({a, b});
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

using Clause = std::tuple<const char*, double, double, int>;

// Applies clauses in order: uvsela_c for "source" (p1 unused, the pattern in its name after
// a colon), uvselect_c otherwise.
std::function<void(int)> clauses(std::vector<Clause> list)
{
    return [list](int tno) {
        for (const auto& [object, p1, p2, include] : list) {
            const std::string o = object;
            if (o.rfind("source:", 0) == 0)
                uvsela_c(tno, "source", o.substr(7).c_str(), include);
            else
                uvselect_c(tno, object, p1, p2, include);
        }
    };
}

}  // namespace

TEST_F(UvSelect, AntennaAutoAndGroups)
{
    ASSERT_EQ(records, 40);
    const std::pair<std::vector<Clause>, std::function<bool(int, int)>> cases[] = {
        {{{"antennae", 3, 0, 1}}, [](int a, int b) { return a == 3 || b == 3; }},  // (3, 3) too
        {{{"antennae", 2, 4, 0}}, [](int a, int b) { return !(a == 2 && b == 4); }},
        {{{"auto", 0, 0, 1}}, [](int a, int b) { return a == b; }},
        {{{"auto", 0, 0, 0}}, [](int a, int b) { return a != b; }},
        {{{"antennae", 1, 0, 1}, {"clear", 0, 0, 1}}, [](int, int) { return true; }},
        {{{"antennae", 1, 0, 1}, {"or", 0, 0, 1}, {"antennae", 2, 0, 1}},
         [](int a, int b) { return a == 1 || b == 1 || a == 2 || b == 2; }},
        {{{"antennae", 1, 0, 1}, {"and", 0, 0, 1}, {"antennae", 2, 0, 1}},
         [](int a, int b) { return a == 1 && b == 2; }},
    };
    for (const auto& [list, keep] : cases) {
        const Picked p = pick(path, clauses(list));
        EXPECT_EQ(p.pairs, pairsWith(4, keep)) << std::get<0>(list[0]) << " " << list.size();
        EXPECT_EQ(p.count, 4 * p.pairs.size());
    }
}

// Time of day selects any day; ranges of one kind follow the first operator (inclusive
// then exclusive ones cut from it); sources by pattern.
TEST_F(UvSelect, TimesRangesAndSources)
{
    const double t0 = 2460000.6, t1 = 2460000.8, t2 = 2460000.95, t3 = 2460001.1;
    const std::pair<std::vector<Clause>, std::vector<double>> cases[] = {
        {{{"time", 0.25, 0.5, 1}}, {t1, t2}},
        {{{"time", 2460000.7, 2460001.0, 1}}, {t1, t2}},
        {{{"time", 2460000.5, 2460000.7, 1}, {"time", 2460001.0, 2460001.2, 1}}, {t0, t3}},
        {{{"time", 2460000.5, 2460001.0, 1}, {"time", 2460000.7, 2460000.9, 0}}, {t0, t2}},
        {{{"time", 2460000.7, 2460000.9, 0}, {"time", 2460000.5, 2460001.0, 1}}, {t0, t1, t2, t3}},
        {{{"source:b*a", 0, 0, 1}}, {t2, t3}},
        {{{"source:*lph*", 0, 0, 0}}, {t2, t3}},
        {{{"polarization", -5, 0, 1}}, {t0, t1, t2, t3}},
        {{{"polarization", -6, 0, 1}}, {}},
    };
    for (const auto& [list, times] : cases) {
        const Picked p = pick(path, clauses(list));
        EXPECT_EQ(p.times, times) << std::get<0>(list[0]) << " " << list.size();
        EXPECT_EQ(p.count, 10 * times.size());
    }
}

TEST_F(UvSelect, VisibilityRangeAndIncrement)
{
    std::vector<double> visnos;
    {
        UvReader reader(path, [](int tno) { uvselect_c(tno, "visibility", 5, 12, 1); });
        for (ReadRecord r = reader.next(4, 8); !r.flags.empty(); r = reader.next(4, 8))
            visnos.push_back(r.visno);
        // Reading stopped at the limit instead of scanning to the end of the data.
        EXPECT_LE(reader.info("visno")[0], 14);
    }
    EXPECT_EQ(visnos, (std::vector<double>{5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(pick(path, clauses({{"visibility", 1, 100, 1}, {"visibility", 3, 4, 0}})).count, 38u);
    const Picked inc = pick(path, clauses({{"increment", 3, 0, 1}}));
    EXPECT_EQ(inc.count, 14u);
    EXPECT_EQ(inc.visnos[1], 4);
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
