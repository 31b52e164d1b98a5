// Header variables: tags and value offsets on disk, readers on hand-made bytes and on the
// real data sets, the readers' type rules and fatal messages, probing, copying, history.
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "tests/support/support.h"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using kestrum::test::readFile;
using kestrum::test::sharedData;
using kestrum::test::TempDir;
using kestrum::test::writeFile;

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// One entry of a "header" item: the name block, the data, padding to 16 (none after the
// last entry).
std::string entry(const std::string& name, const std::string& data, bool last = false, char padding = 0)
{
    std::string e = name + std::string(15 - name.size(), '\0') + static_cast<char>(data.size()) + data;
    if (!last)
        e += std::string((16 - e.size() % 16) % 16, padding);
    return e;
}

int openTree(const std::string& path, const char* status)
{
    int tno = 0, st = 0;
    hopen_c(&tno, path.c_str(), status, &st);
    EXPECT_EQ(st, 0) << path;
    return tno;
}

// A data set whose "header" item is exactly `header`.
std::string handMade(const TempDir& dir, const std::string& header)
{
    const std::string ds = dir.file("hand");
    std::filesystem::create_directories(ds);
    writeFile(ds + "/header", header);
    return ds;
}

}  // namespace

TEST(Headio, WritersPutTheTagAndValueAtTheirOffsets)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    wrhdi_c(tno, "i", -2);
    wrhdr_c(tno, "r", 1.5f);
    wrhdd_c(tno, "d", -2.0);
    wrhdl_c(tno, "l", 0x0102030405060708LL);
    const float c[2] = {1.0f, -1.0f};
    wrhdc_c(tno, "c", c);
    wrhda_c(tno, "a", "text");
    hclose_c(tno);
    const std::string expected =
        entry("a", bytes({0, 0, 0, 1}) + "text") +
        entry("c", bytes({0, 0, 0, 7, 0, 0, 0, 0, 0x3f, 0x80, 0, 0, 0xbf, 0x80, 0, 0})) +
        entry("l", bytes({0, 0, 0, 8, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8})) +
        entry("d", bytes({0, 0, 0, 5, 0, 0, 0, 0, 0xc0, 0, 0, 0, 0, 0, 0, 0})) +
        entry("r", bytes({0, 0, 0, 4, 0x3f, 0xc0, 0, 0})) + entry("i", bytes({0, 0, 0, 2, 0xff, 0xff, 0xff, 0xfe}), true);
    EXPECT_EQ(readFile(ds + "/header"), expected);
}

TEST(Headio, ReadersDecodeHandMadeBytes)
{
    TempDir dir;
    // Padding bytes 4 to 7 of the 8-byte types are not zero, as in real data sets.
    const std::string ds = handMade(
        dir, entry("i", bytes({0, 0, 0, 2, 0xff, 0xff, 0xff, 0xfe}), false, 'p') +
                 entry("j", bytes({0, 0, 0, 3, 0xff, 0xfd}), false, 'p') +
                 entry("r", bytes({0, 0, 0, 4, 0x3f, 0xc0, 0, 0})) +
                 entry("d", bytes({0, 0, 0, 5, 9, 9, 9, 9, 0xc0, 0, 0, 0, 0, 0, 0, 0})) +
                 entry("l", bytes({0, 0, 0, 8, 9, 9, 9, 9, 0, 0, 0, 1, 0, 0, 0, 2})) +
                 entry("c", bytes({0, 0, 0, 7, 9, 9, 9, 9, 0x3f, 0x80, 0, 0, 0xbf, 0x80, 0, 0})) +
                 entry("a", bytes({0, 0, 0, 1}) + "hello", true));
    const int tno = openTree(ds, "old");
    double d;
    float r;
    int i;
    int64_t l;
    rdhdd_c(tno, "d", &d, 0);
    EXPECT_EQ(d, -2.0);
    rdhdd_c(tno, "i", &d, 0);
    EXPECT_EQ(d, -2.0);
    rdhdd_c(tno, "r", &d, 0);
    EXPECT_EQ(d, 1.5);
    rdhdd_c(tno, "l", &d, 0);
    EXPECT_EQ(d, 4294967298.0);
    rdhdr_c(tno, "r", &r, 0);
    EXPECT_EQ(r, 1.5f);
    rdhdi_c(tno, "i", &i, 0);
    EXPECT_EQ(i, -2);
    rdhdi_c(tno, "d", &i, 0);
    EXPECT_EQ(i, -2);
    rdhdl_c(tno, "l", &l, 0);
    EXPECT_EQ(l, 4294967298LL);
    rdhdl_c(tno, "i", &l, 0);
    EXPECT_EQ(l, -2);
    const float def[2] = {5, 6};
    float c[2];
    rdhdc_c(tno, "c", c, def);
    EXPECT_EQ(c[0], 1.0f);
    EXPECT_EQ(c[1], -1.0f);
    rdhdc_c(tno, "d", c, def);  // not complex: the default, no error
    EXPECT_EQ(c[0], 5.0f);
    char a[16];
    rdhda_c(tno, "a", a, "def", sizeof a);
    EXPECT_STREQ(a, "hello");
    rdhda_c(tno, "i", a, "default", sizeof a);
    EXPECT_STREQ(a, "default");
    rdhda_c(tno, "a", a, "def", 4);
    EXPECT_STREQ(a, "hel");
    // Absent items, and integer*2 (not a scalar type of the number readers' lists).
    rdhdd_c(tno, "absent", &d, 7.5);
    EXPECT_EQ(d, 7.5);
    rdhdi_c(tno, "absent", &i, 9);
    EXPECT_EQ(i, 9);
    rdhda_c(tno, "absent", a, "a very long default", 8);
    EXPECT_STREQ(a, "a very ");
    hclose_c(tno);
}

TEST(Headio, ReaderTypeRules)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    wrhdd_c(tno, "pos", 3.7);
    wrhdd_c(tno, "neg", -3.7);
    wrhdd_c(tno, "big", 3e9);
    wrhdr_c(tno, "real", 2.5f);
    const float c[2] = {1, 2};
    wrhdc_c(tno, "cmplx", c);
    wrhda_c(tno, "empty", "");
    wrhda_c(tno, "long", "abcdefghijklmnopqrst");
    int it, st;
    haccess_c(tno, &it, "two", "write", &st);
    const int two[2] = {1, 2};
    hwriteb_c(it, int_item, 0, 4, &st);
    hwritei_c(it, two, 4, 8, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "short", "write", &st);
    hwriteb_c(it, "ab", 0, 2, &st);
    hdaccess_c(it, &st);
    // Reopened "old": the emergency close in a dying child removes data sets it created.
    hclose_c(tno);
    tno = openTree(ds, "old");

    int i;
    rdhdi_c(tno, "pos", &i, 0);
    EXPECT_EQ(i, 3);
    rdhdi_c(tno, "neg", &i, 0);
    EXPECT_EQ(i, -3);
    rdhdi_c(tno, "two", &i, 42);  // two elements: not a scalar
    EXPECT_EQ(i, 42);
    char a[8];
    rdhda_c(tno, "empty", a, "dflt", sizeof a);
    EXPECT_STREQ(a, "dflt");
    rdhda_c(tno, "long", a, "dflt", sizeof a);
    EXPECT_STREQ(a, "abcdefg");

    EXPECT_EXIT(rdhdi_c(tno, "big", &i, 0), testing::ExitedWithCode(1), "### Fatal Error:  Integer overflow in rdhdi\n");
    int64_t l;
    EXPECT_EXIT(rdhdl_c(tno, "real", &l, 0), testing::ExitedWithCode(1), "### Fatal Error:  Unrecognised type in rdhdl\n");
    double d;
    EXPECT_EXIT(rdhdd_c(tno, "cmplx", &d, 0), testing::ExitedWithCode(1), "### Fatal Error:  Unrecognised type in rdhdd\n");
    EXPECT_EXIT(rdhdi_c(tno, "long", &i, 0), testing::ExitedWithCode(1), "### Fatal Error:  Unrecognised type in rdhdd\n");
    EXPECT_EXIT(rdhdd_c(tno, "short", &d, 0), testing::ExitedWithCode(1), "### Fatal Error:  End of file detected\n");
    hclose_c(tno);
}

TEST(Headio, ProbeDescribesItems)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    wrhdd_c(tno, "d", 2.5);
    wrhdi_c(tno, "i", 17);
    wrhdr_c(tno, "r", 0.5f);
    wrhdl_c(tno, "l", -5);
    const float cv[2] = {1, -2};
    wrhdc_c(tno, "c", cv);
    wrhda_c(tno, "a", "some text");
    int it, st;
    haccess_c(tno, &it, "two", "write", &st);
    const int two[2] = {1, 2};
    hwriteb_c(it, int_item, 0, 4, &st);
    hwritei_c(it, two, 4, 8, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "odd", "write", &st);
    hwriteb_c(it, real_item, 0, 4, &st);
    hwriteb_c(it, "xyz", 4, 3, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "tiny", "write", &st);
    hwriteb_c(it, "abcd", 0, 4, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "history", "write", &st);
    hwritea_c(it, "a line\n", 7, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "bin", "write", &st);
    hwriteb_c(it, "\0\0\0\0\x01\x02", 0, 6, &st);
    hdaccess_c(it, &st);
    haccess_c(tno, &it, "junk", "write", &st);
    hwriteb_c(it, "\x01zzzzz", 0, 6, &st);
    hdaccess_c(it, &st);
    hclose_c(tno);
    tno = openTree(ds, "old");

    struct Probe {
        std::string descr, type;
        int n;
    };
    auto probe = [&](const char* name) {
        char descr[64] = "untouched", type[16];
        int n = -1;
        hdprobe_c(tno, name, descr, sizeof descr, type, sizeof type, &n);
        return Probe{descr, type, n};
    };
    auto p = probe("d");
    EXPECT_EQ(p.type, "double");
    EXPECT_EQ(p.n, 1);
    EXPECT_EQ(p.descr, "2.5                 ");  // 20 characters, left-justified
    p = probe("i");
    EXPECT_EQ(p.type, "integer");
    EXPECT_EQ(p.descr, "17");
    p = probe("r");
    EXPECT_EQ(p.descr, "0.5           ");
    p = probe("l");
    EXPECT_EQ(p.type, "integer*8");
    EXPECT_EQ(p.descr, "-5");
    p = probe("c");
    EXPECT_EQ(p.type, "complex");
    EXPECT_EQ(p.descr, "(1             ,-2            )");
    p = probe("a");
    EXPECT_EQ(p.type, "character");
    EXPECT_EQ(p.n, 1);
    EXPECT_EQ(p.descr, "some text");
    p = probe("two");
    EXPECT_EQ(p.type, "integer");
    EXPECT_EQ(p.n, 2);
    EXPECT_EQ(p.descr, "untouched");
    p = probe("odd");
    EXPECT_EQ(p.type, "unknown");
    EXPECT_EQ(p.n, 7);
    p = probe("tiny");
    EXPECT_EQ(p.type, "unknown");
    EXPECT_EQ(p.n, 4);
    p = probe("history");
    EXPECT_EQ(p.type, "text");
    EXPECT_EQ(p.n, 7 + 4);
    p = probe("bin");
    EXPECT_EQ(p.type, "binary");
    EXPECT_EQ(p.n, 6);
    p = probe("junk");
    EXPECT_EQ(p.type, "unknown");
    EXPECT_EQ(p.n, 6);
    p = probe("absent");
    EXPECT_EQ(p.type, "nonexistent");
    EXPECT_EQ(p.n, 0);
    EXPECT_EQ(p.descr, "untouched");
    char small[8], type[16];
    int n;
    EXPECT_EXIT(hdprobe_c(tno, "d", small, sizeof small, type, sizeof type, &n), testing::ExitedWithCode(1),
                "### Fatal Error:  Descr buffer overflow in hdprobe\n");
    EXPECT_EQ(hdprsnt_c(tno, "d"), 1);
    EXPECT_EQ(hdprsnt_c(tno, "absent"), 0);
    hclose_c(tno);
}

TEST(Headio, RealDataSetsHeaderVariables)
{
    struct Expect {
        const char* name;
        int ncorr;
        int64_t vislen;
    };
    // The values the "header" items hold (integer*8, big-endian at offset 8).
    for (const Expect& e : {Expect{"PAPER_point_source_sim.uv", 0x12c0, 0x124b0},
                            Expect{"zen.2458042.12552.xx.HH.uvXA", 0x1a400, 0xec5b0},
                            Expect{"zen.2457698.40355.xx.HH.uvcA", 0x2f800, 0x181bf0}}) {
        const int tno = openTree(sharedData(e.name), "old");
        int ncorr;
        rdhdi_c(tno, "ncorr", &ncorr, -1);
        EXPECT_EQ(ncorr, e.ncorr) << e.name;
        int64_t vislen;
        rdhdl_c(tno, "vislen", &vislen, -1);
        EXPECT_EQ(vislen, e.vislen) << e.name;
        int nwcorr;
        rdhdi_c(tno, "nwcorr", &nwcorr, -1);
        EXPECT_EQ(nwcorr, 0);
        char obstype[32];
        rdhda_c(tno, "obstype", obstype, "", sizeof obstype);
        EXPECT_STREQ(obstype, "mixed-auto-cross");
        char descr[64], type[16];
        int n;
        hdprobe_c(tno, "vislen", descr, sizeof descr, type, sizeof type, &n);
        EXPECT_STREQ(type, "integer*8");
        EXPECT_EQ(n, 1);
        EXPECT_EQ(std::stoll(descr), e.vislen);
        hclose_c(tno);
    }
}

TEST(Headio, CopyAndHistory)
{
    TempDir dir;
    const int from = openTree(sharedData("PAPER_point_source_sim.uv"), "old");
    const int to = openTree(dir.file("copy"), "new");
    for (const char* name : {"obstype", "vartable", "visdata", "absent"})
        hdcopy_c(from, to, name);
    hclose_c(to);
    hclose_c(from);
    const std::string src = sharedData("PAPER_point_source_sim.uv");
    EXPECT_EQ(readFile(dir.file("copy/visdata")), readFile(src + "/visdata"));
    EXPECT_EQ(readFile(dir.file("copy/vartable")), readFile(src + "/vartable"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("copy/absent")));
    int tno = openTree(dir.file("copy"), "old");
    char obstype[32];
    rdhda_c(tno, "obstype", obstype, "", sizeof obstype);
    EXPECT_STREQ(obstype, "mixed-auto-cross");

    hisopen_c(tno, "append");
    hiswrite_c(tno, "KESTRUM: first");
    hiswrite_c(tno, "KESTRUM: second");
    hisclose_c(tno);
    hisopen_c(tno, "append");
    hiswrite_c(tno, "KESTRUM: third");
    hisclose_c(tno);
    EXPECT_EQ(readFile(dir.file("copy/history")), "KESTRUM: first\nKESTRUM: second\nKESTRUM: third\n");
    hisopen_c(tno, "read");
    char line[64];
    int eof;
    std::vector<std::string> lines;
    for (hisread_c(tno, line, sizeof line, &eof); !eof; hisread_c(tno, line, sizeof line, &eof))
        lines.push_back(line);
    hisclose_c(tno);
    EXPECT_EQ(lines, (std::vector<std::string>{"KESTRUM: first", "KESTRUM: second", "KESTRUM: third"}));
    hclose_c(tno);
    tno = openTree(sharedData("PAPER_point_source_sim.uv"), "old");
    EXPECT_EXIT(hisopen_c(tno, "read"), testing::ExitedWithCode(1),
                "### Error:  Problem with history item\n### Fatal Error:  No such file or directory\n");
    hclose_c(tno);
}
