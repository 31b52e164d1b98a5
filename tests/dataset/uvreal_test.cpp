// The real data sets read to their end through uvread_c, checked record for record against
// what their bytes hold (an independent walk of the format in the test support).
#include <gtest/gtest.h>

#include <set>

#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"

using namespace kestrum::test;

// The simulation; an observation with flagged channels; one time stamp on 190 baselines with
// antennas above 64.
TEST(UvReal, EveryRealDataSetReadsToItsEndAsItsBytesSay)
{
    const struct {
        const char* name;
        size_t records;
        int nchan;
        size_t nbaselines;
        int maxAntenna;
    } sets[] = {{"PAPER_point_source_sim.uv", 600, 8, 6, 5},
                {"zen.2458042.12552.xx.HH.uvXA", 1680, 64, 28, 54},
                {"zen.2457698.40355.xx.HH.uvcA", 190, 1024, 190, 113}};
    for (const auto& s : sets) {
        SCOPED_TRACE(s.name);
        const std::string path = sharedData(s.name);
        const std::vector<RawRecord> expect = rawRecords(path);
        ASSERT_EQ(expect.size(), s.records);
        // Read as the access layer does: channel lines through a polarisation selection.
        auto recs = readAll(
            path,
            [](int tno) {
                uvset_c(tno, "data", "channel", 0, 1, 1, 1);
                uvselect_c(tno, "polarization", -5, 0, 1);
            },
            4, 1024);
        ASSERT_EQ(recs.size(), expect.size());
        std::set<int> baselines;
        int maxAnt = 0, allBad = 0;
        for (size_t i = 0; i < recs.size(); ++i) {
            ASSERT_EQ(recs[i].flags.size(), size_t(s.nchan));
            EXPECT_EQ(recs[i].pre[2], expect[i].time);
            const int b = int(recs[i].pre[3] + 0.5);
            EXPECT_EQ(b, expect[i].baseline);
            baselines.insert(b);
            maxAnt = std::max(maxAnt, b % 256);
            int bad = 0;
            for (int f : recs[i].flags)
                bad += f == 0;
            double sum = 0;
            for (float x : recs[i].data)
                sum += x;
            EXPECT_EQ(sum, expect[i].sum) << "record " << i;
            EXPECT_EQ(bad, expect[i].bad) << "record " << i;
            allBad += bad;
        }
        EXPECT_EQ(baselines.size(), s.nbaselines);
        EXPECT_EQ(maxAnt, s.maxAntenna);
        if (std::string(s.name).find("uvXA") != std::string::npos) {
            EXPECT_GT(allBad, 0) << "the observation has flagged channels";
        }
    }
}

TEST(UvReal, VariablesOfUnusualTypesAndTextWithNul)
{
    int tno = 0;
    uvopen_c(&tno, sharedData("zen.2458042.12552.xx.HH.uvXA").c_str(), "old");
    ASSERT_EQ(uvscan_c(tno, "corr"), 0);
    char type = 0, source[32];
    int length = 0, updated = 0, nschan = 0, zero = 0;
    uvprobvr_c(tno, "inttime", &type, &length, &updated);
    EXPECT_EQ(type, 'd');
    uvrdvr_c(tno, IO_BYTE, "source", source, "", sizeof source);
    EXPECT_STREQ(source, "zenith");
    uvrdvr_c(tno, IO_INT, "nschan", &nschan, &zero, 1);
    EXPECT_EQ(nschan, 64);
    uvclose_c(tno);
}
