// The uv variable stream: hand-made bytes scanned, variables read and probed, "vislen" and data
// sets cut short of it, tracking and overrides. The writer's bytes are what the round trips read,
// and the real data sets' variables what the loading tests print.
#include <tuple>

#include "dataset/headio.h"
#include "tests/dataset/uvtest.h"

using namespace kestrum::test;

namespace {

const char* kVartable = "d time\nj cnt\na name\ni n\nr x\nc z\n";

// Three records with non-zero padding everywhere: all six types; nothing changed; a longer text and
// a new integer.
std::string threeRecords()
{
    Bytes b;
    b.size(0, 8).value(0).fill(4, 0xee).f64(2460000.25);
    b.size(1, 4).value(1).i16(7).i16(-3);
    b.size(2, 3).value(2).text("abc").fill(1, 0xee);
    b.size(3, 4).value(3).i32(-5);
    b.size(4, 4).value(4).f32(-2.7f);
    b.size(5, 8).value(5).fill(4, 0xee).f32(1.5f).f32(-0.5f);
    b.u8(0).u8(0).u8(2).u8(0).fill(4, 0xee);
    b.eor();
    b.size(2, 5).value(2).text("hello").fill(7, 0xee);
    b.value(3).i32(9);
    b.eor();
    return b.s;
}

}  // namespace

TEST(UvStream, HandMadeRecordsScanAndReadBack)
{
    TempDir dir;
    std::string path = handMadeUv(dir, kVartable, threeRecords());
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    auto text = [&](const char* name) {
        char v[16];
        uvrdvr_c(tno, IO_BYTE, name, v, "zz", sizeof v);
        return std::string(v);
    };
    auto updated = [&](const char* name) {
        char type = 0;
        int length = 0, updated = 0;
        uvprobvr_c(tno, name, &type, &length, &updated);
        return std::tuple{type, length, updated};
    };
    ASSERT_EQ(uvscan_c(tno, ""), 0);
    double t = 0, xd = 0;
    const double ddef = 0;
    int cnt[2] = {0, 0}, xi = 0, n = 0;
    const int idef = 42;
    float z[2];
    uvgetvr_c(tno, IO_DBLE, "time", &t, 1);
    EXPECT_EQ(t, 2460000.25);
    uvgetvr_c(tno, IO_INT2, "cnt", cnt, 2);
    EXPECT_EQ(std::vector<int>(cnt, cnt + 2), (std::vector<int>{7, -3}));
    EXPECT_EQ(text("name"), "abc");
    uvrdvr_c(tno, IO_INT, "x", &xi, &idef, 1);
    EXPECT_EQ(xi, -2);  // -2.7 truncated toward zero
    uvrdvr_c(tno, IO_INT, "missing", &xi, &idef, 1);
    EXPECT_EQ(xi, 42);
    uvrdvr_c(tno, IO_DBLE, "n", &xd, &ddef, 1);
    EXPECT_EQ(xd, -5.0);
    uvgetvr_c(tno, IO_CMPLX, "z", z, 1);
    EXPECT_EQ(std::vector<float>(z, z + 2), (std::vector<float>{1.5f, -0.5f}));
    EXPECT_EQ(updated("name"), std::tuple('a', 3, 1));
    EXPECT_EQ(updated("nothing"), std::tuple(' ', 0, 0));

    // A record of only an end-of-record entry changes nothing.
    ASSERT_EQ(uvscan_c(tno, ""), 0);
    EXPECT_EQ(std::get<2>(updated("name")), 0);
    ASSERT_EQ(uvscan_c(tno, ""), 0);
    EXPECT_EQ(text("name"), "hello");
    uvgetvr_c(tno, IO_INT, "n", &n, 1);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(uvscan_c(tno, ""), -1);
    uvclose_c(tno);

    // Scanning for a variable skips the records in which it did not change.
    uvopen_c(&tno, path.c_str(), "old");
    std::vector<double> visnos;
    for (double v; uvscan_c(tno, "n") == 0; visnos.push_back(v))
        uvinfo_c(tno, "visno", &v);
    EXPECT_EQ(visnos, (std::vector<double>{1, 3}));
    uvclose_c(tno);

    // "vislen" ends the data before the end of the item: here after the first record.
    tno = openTree(path, "old");
    wrhdl_c(tno, "vislen", 120);
    hclose_c(tno);
    uvopen_c(&tno, path.c_str(), "old");
    EXPECT_EQ(uvscan_c(tno, ""), 0);
    EXPECT_EQ(uvscan_c(tno, ""), -1);
    uvclose_c(tno);
}

// Calibration tracks the set-up variables: uvupdate_c says whether one of them changed. Then items
// named like variables override them where their types allow.
TEST(UvStream, TrackedAndOverriddenVariables)
{
    TempDir dir;
    kestrum::sim::UvDescription d;
    d.nants = 3;
    d.times = {2460000.1, 2460000.2};
    d.source = [](int t) { return t == 0 ? std::string("alpha") : std::string("beta"); };
    d.windows = {kestrum::sim::Window{4, 1.0, 0.01, 1.4}, kestrum::sim::Window{4, 2.0, 0.01, 1.4}};
    const std::string path = writeSim(dir, "t.uv", d);
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    uvtrack_c(tno, "source", "u");
    uvtrack_c(tno, "nowhere", "u");
    std::vector<int> updates;
    while (uvscan_c(tno, "corr") == 0)
        updates.push_back(uvupdate_c(tno));
    uvclose_c(tno);
    EXPECT_EQ(updates, (std::vector<int>{1, 0, 0, 1, 0, 0}));

    tno = openTree(path, "old");
    wrhdi_c(tno, "nschan", 3);
    wrhdd_c(tno, "pol", 2.0);
    wrhda_c(tno, "source", "other");
    const float c[2] = {1, 2};
    wrhdc_c(tno, "inttime", c);
    hclose_c(tno);
    testing::internal::CaptureStderr();
    uvopen_c(&tno, path.c_str(), "old");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "### Warning:  Cannot override variable inttime, in UVOPEN\n");
    int records = 0;
    for (; uvscan_c(tno, "corr") == 0; ++records) {
        int nschan[2] = {0, 0}, pol = 0;
        uvgetvr_c(tno, IO_INT, "nschan", nschan, 2);
        EXPECT_EQ(std::vector<int>(nschan, nschan + 2), (std::vector<int>{3, 3}));
        uvgetvr_c(tno, IO_INT, "pol", &pol, 1);
        EXPECT_EQ(pol, 2);
        char source[16];
        uvgetvr_c(tno, IO_BYTE, "source", source, sizeof source);
        EXPECT_STREQ(source, "other");
        float inttime = 0;
        uvgetvr_c(tno, IO_REAL, "inttime", &inttime, 1);
        EXPECT_EQ(inttime, 10.0f);
    }
    EXPECT_EQ(records, 6);
    uvclose_c(tno);
}

TEST(UvCutShort, RecordsUpToTheEndOfTheItemAreReadWithOneWarning)
{
    TempDir dir;
    const std::string record = Bytes().value(1).i32(7).eor().s, head = Bytes().size(1, 4).s;
    // (visdata, records read): whole records, a record cut in its value, in an entry's header, and
    // one whose end-of-record entry stops after its header.
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
                      " bytes, fewer than its valid length 64: reading the records "
                      "it holds, in UVOPEN\n");
    }
}
