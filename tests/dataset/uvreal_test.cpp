// The real data sets read to their end through uvread_c, checked against counts taken from
// their bytes here by a small independent walk of the format.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"

using namespace kestrum::test;

namespace {

struct Counted {
    size_t records = 0;  // records holding a "corr" value
    int nchan = 0;  // channels of the last "corr"
    std::set<int> baselines;  // baseline numbers of those records
    std::vector<double> times;  // time of each such record
    size_t badFlags = 0;  // clear bits among the mask positions of all correlations
    std::vector<int> badPerRecord;
    std::vector<double> corrSum;  // sum of the real and imaginary parts of each record's channels
};

uint32_t be32(const std::string& s, size_t at)
{
    return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
        (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

Counted countFromBytes(const std::string& dir)
{
    std::vector<std::pair<char, std::string>> vars;
    std::istringstream vt(readFile(dir + "/vartable"));
    char type;
    std::string name;
    while (vt >> type >> name)
        vars.emplace_back(type, name);
    const std::string vis = readFile(dir + "/visdata");
    const std::string mask = readFile(dir + "/flags");
    std::map<int, int> len;
    Counted c;
    float baseline = 0;
    double time = 0;
    uint64_t position = 0;  // running count of correlations
    bool corrSeen = false;
    double sum = 0;
    size_t off = 0;
    auto endRecord = [&]() {
        if (!corrSeen)
            return;
        ++c.records;
        c.baselines.insert(int(baseline + 0.5f));
        c.times.push_back(time);
        int bad = 0;
        for (int k = 0; k < c.nchan; ++k) {
            uint64_t p = position - c.nchan + k + 31;
            uint32_t word = be32(mask, 4 * (p / 31));
            if (!((word >> (p % 31)) & 1))
                ++bad;
        }
        c.badFlags += bad;
        c.badPerRecord.push_back(bad);
        c.corrSum.push_back(sum);
        corrSeen = false;
    };
    while (off + 4 <= vis.size()) {
        int idx = uint8_t(vis[off]), code = uint8_t(vis[off + 2]);
        if (code == 2) {
            endRecord();
            off += 8;
            continue;
        }
        if (code == 0) {
            len[idx] = int(be32(vis, off + 4));
            off += 8;
            continue;
        }
        char t = vars.at(idx).first;
        size_t start = off + ((t == 'd' || t == 'c') ? 8 : 4);
        const std::string& n = vars.at(idx).second;
        if (n == "corr") {
            corrSeen = true;
            c.nchan = len[idx] / 8;  // real (re, im) pairs of 4 bytes
            position += c.nchan;
            sum = 0;
            for (int k = 0; k < 2 * c.nchan; ++k) {
                uint32_t u = be32(vis, start + 4 * size_t(k));
                float f;
                std::memcpy(&f, &u, 4);
                sum += f;
            }
        } else if (n == "baseline") {
            uint32_t u = be32(vis, start);
            std::memcpy(&baseline, &u, 4);
        } else if (n == "time") {
            uint64_t u = (uint64_t(be32(vis, start)) << 32) | be32(vis, start + 4);
            std::memcpy(&time, &u, 8);
        }
        off = (start + len[idx] + 7) / 8 * 8;
    }
    return c;
}

void checkDataSet(const std::string& name, size_t records, int nchan, size_t nbaselines, int maxAntenna)
{
    const std::string path = sharedData(name);
    Counted expect = countFromBytes(path);
    ASSERT_EQ(expect.records, records);
    ASSERT_EQ(expect.nchan, nchan);
    ASSERT_EQ(expect.baselines.size(), nbaselines);

    // Read as the access layer does: channel lines through a polarisation selection.
    auto recs = readAll(
        path,
        [](int tno) {
            uvset_c(tno, "data", "channel", 0, 1, 1, 1);
            uvselect_c(tno, "polarization", -5, 0, 1);
        },
        4, 1024);
    ASSERT_EQ(recs.size(), expect.records);
    std::set<int> baselines;
    size_t bad = 0;
    int maxAnt = 0;
    for (size_t i = 0; i < recs.size(); ++i) {
        ASSERT_EQ(recs[i].flags.size(), size_t(nchan));
        EXPECT_EQ(recs[i].pre[2], expect.times[i]);
        int b = int(recs[i].pre[3] + 0.5);
        baselines.insert(b);
        maxAnt = std::max(maxAnt, b % 256);
        int recBad = 0;
        for (int f : recs[i].flags)
            recBad += f == 0;
        double sum = 0;
        for (float x : recs[i].data)
            sum += x;
        EXPECT_EQ(sum, expect.corrSum[i]) << "record " << i;
        EXPECT_EQ(recBad, expect.badPerRecord[i]) << "record " << i;
        bad += recBad;
    }
    EXPECT_EQ(baselines, expect.baselines);
    EXPECT_EQ(bad, expect.badFlags);
    EXPECT_EQ(maxAnt, maxAntenna);
}

}  // namespace

// The simulation; an observation with flagged channels; one time stamp on 190 baselines with
// antennas above 64.
TEST(UvReal, EveryRealDataSetReadsToItsEndAsItsBytesSay)
{
    checkDataSet("PAPER_point_source_sim.uv", 600, 8, 6, 5);
    checkDataSet("zen.2458042.12552.xx.HH.uvXA", 1680, 64, 28, 54);
    checkDataSet("zen.2457698.40355.xx.HH.uvcA", 190, 1024, 190, 113);
}

TEST(UvReal, VariablesOfUnusualTypesAndTextWithNul)
{
    int tno = 0;
    uvopen_c(&tno, sharedData("zen.2458042.12552.xx.HH.uvXA").c_str(), "old");
    ASSERT_EQ(uvscan_c(tno, "corr"), 0);
    char type = 0, source[32];
    int length = 0, updated = 0, npol = 0, nschan = 0, zero = 0;
    uvprobvr_c(tno, "inttime", &type, &length, &updated);
    EXPECT_EQ(type, 'd');
    uvrdvr_c(tno, IO_BYTE, "source", source, "", sizeof source);
    EXPECT_STREQ(source, "zenith");
    uvrdvr_c(tno, IO_INT, "npol", &npol, &zero, 1);
    uvrdvr_c(tno, IO_INT, "nschan", &nschan, &zero, 1);
    EXPECT_EQ(npol, 1);
    EXPECT_EQ(nschan, 64);
    uvclose_c(tno);
}
