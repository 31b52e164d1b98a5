// Header variables: tags and value offsets on disk, readers on hand-made bytes, the readers'
// type rules and fatal messages, probing.
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/pack.h"
#include "tests/dataset/uvtest.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>

using namespace kestrum::test;

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
    const std::string expected = entry("a", bytes({0, 0, 0, 1}) + "text") +
        entry("c", bytes({0, 0, 0, 7, 0, 0, 0, 0, 0x3f, 0x80, 0, 0, 0xbf, 0x80, 0, 0})) +
        entry("l", bytes({0, 0, 0, 8, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8})) +
        entry("d", bytes({0, 0, 0, 5, 0, 0, 0, 0, 0xc0, 0, 0, 0, 0, 0, 0, 0})) +
        entry("r", bytes({0, 0, 0, 4, 0x3f, 0xc0, 0, 0})) +
        entry("i", bytes({0, 0, 0, 2, 0xff, 0xff, 0xff, 0xfe}), true);
    EXPECT_EQ(readFile(ds + "/header"), expected);
}

TEST(Headio, ReadersDecodeHandMadeBytes)
{
    TempDir dir;
    // Padding bytes 4 to 7 of the 8-byte types are not zero, as in real data sets.
    const std::string ds =
        handMadeSet(dir, "hand",
                    {{"header",
                      entry("i", bytes({0, 0, 0, 2, 0xff, 0xff, 0xff, 0xfe}), false, 'p') +
                          entry("j", bytes({0, 0, 0, 3, 0xff, 0xfd}), false, 'p') +
                          entry("r", bytes({0, 0, 0, 4, 0x3f, 0xc0, 0, 0})) +
                          entry("d", bytes({0, 0, 0, 5, 9, 9, 9, 9, 0xc0, 0, 0, 0, 0, 0, 0, 0})) +
                          entry("l", bytes({0, 0, 0, 8, 9, 9, 9, 9, 0, 0, 0, 1, 0, 0, 0, 2})) +
                          entry("c", bytes({0, 0, 0, 7, 9, 9, 9, 9, 0x3f, 0x80, 0, 0, 0xbf, 0x80, 0, 0})) +
                          entry("a", bytes({0, 0, 0, 1}) + "hello", true)}});
    const int tno = openTree(ds, "old");
    auto D = [&](const char* name, double def = 0) {
        double v;
        rdhdd_c(tno, name, &v, def);
        return v;
    };
    auto I = [&](const char* name, int def = 0) {
        int v;
        rdhdi_c(tno, name, &v, def);
        return v;
    };
    auto L = [&](const char* name) {
        int64_t v;
        rdhdl_c(tno, name, &v, 0);
        return v;
    };
    auto A = [&](const char* name, const char* def, int len = 16) {
        char v[16];
        rdhda_c(tno, name, v, def, len);
        return std::string(v);
    };
    auto C = [&](const char* name) {
        const float def[2] = {5, 6};
        std::vector<float> v(2);
        rdhdc_c(tno, name, v.data(), def);
        return v;
    };
    EXPECT_EQ(D("d"), -2.0);
    EXPECT_EQ(D("i"), -2.0);
    EXPECT_EQ(D("r"), 1.5);
    EXPECT_EQ(D("l"), 4294967298.0);
    float r;
    rdhdr_c(tno, "r", &r, 0);
    EXPECT_EQ(r, 1.5f);
    EXPECT_EQ(I("i"), -2);
    EXPECT_EQ(I("d"), -2);
    EXPECT_EQ(L("l"), 4294967298LL);
    EXPECT_EQ(L("i"), -2);
    EXPECT_EQ(C("c"), (std::vector<float>{1.0f, -1.0f}));
    EXPECT_EQ(C("d"), (std::vector<float>{5.0f, 6.0f}));  // not complex: the default, no error
    EXPECT_EQ(A("a", "def"), "hello");
    EXPECT_EQ(A("i", "default"), "default");
    EXPECT_EQ(A("a", "def", 4), "hel");
    // Absent items, and integer*2 (not a scalar type of the number readers' lists).
    EXPECT_EQ(D("absent", 7.5), 7.5);
    EXPECT_EQ(I("absent", 9), 9);
    EXPECT_EQ(A("absent", "a very long default", 8), "a very ");
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
    putItem(tno, "two", std::string(int_item, 4) + bytes({0, 0, 0, 1, 0, 0, 0, 2}));
    putItem(tno, "short", "ab");
    // Reopened "old": the emergency close in a dying child removes data sets it created.
    hclose_c(tno);
    tno = openTree(ds, "old");

    int i;
    int64_t l;
    double d;
    for (const auto& [name, expect] : {std::pair{"pos", 3}, {"neg", -3}, {"two", 42}}) {  // two elements: not a scalar
        rdhdi_c(tno, name, &i, 42);
        EXPECT_EQ(i, expect) << name;
    }
    char a[8];
    rdhda_c(tno, "empty", a, "dflt", sizeof a);
    EXPECT_STREQ(a, "dflt");
    rdhda_c(tno, "long", a, "dflt", sizeof a);
    EXPECT_STREQ(a, "abcdefg");

    const std::pair<std::function<void()>, const char*> fatal[] = {
        {[&] { rdhdi_c(tno, "big", &i, 0); }, "Integer overflow in rdhdi"},
        {[&] { rdhdl_c(tno, "real", &l, 0); }, "Unrecognised type in rdhdl"},
        {[&] { rdhdd_c(tno, "cmplx", &d, 0); }, "Unrecognised type in rdhdd"},
        {[&] { rdhdi_c(tno, "long", &i, 0); }, "Unrecognised type in rdhdd"},
        {[&] { rdhdd_c(tno, "short", &d, 0); }, "End of file detected"},
    };
    for (const auto& [action, message] : fatal)
        EXPECT_EXIT(action(), testing::ExitedWithCode(1), fatalRe(message) + "\n");
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
    putItem(tno, "two", std::string(int_item, 4) + bytes({0, 0, 0, 1, 0, 0, 0, 2}));
    putItem(tno, "odd", std::string(real_item, 4) + "xyz");
    putItem(tno, "tiny", "abcd");
    int it, st;
    haccess_c(tno, &it, "history", "write", &st);
    hwritea_c(it, "a line\n", 7, &st);
    hdaccess_c(it, &st);
    putItem(tno, "bin", std::string("\0\0\0\0\x01\x02", 6));
    putItem(tno, "junk", "\x01zzzzz");
    hclose_c(tno);
    tno = openTree(ds, "old");

    struct Probe {
        const char* name;
        std::string type;
        int n;
        std::string descr;  // "untouched": no description
    };
    const Probe expected[] = {
        {"d", "double", 1, "2.5                 "},  // 20 characters, left-justified
        {"i", "integer", 1, "17"},
        {"r", "real", 1, "0.5           "},
        {"l", "integer*8", 1, "-5"},
        {"c", "complex", 1, "(1             ,-2            )"},
        {"a", "character", 1, "some text"},
        {"two", "integer", 2, "untouched"},
        {"odd", "unknown", 7, ""},
        {"tiny", "unknown", 4, ""},
        {"history", "text", 7 + 4, ""},
        {"bin", "binary", 6, ""},
        {"junk", "unknown", 6, ""},
        {"absent", "nonexistent", 0, "untouched"},
    };
    for (const Probe& e : expected) {
        char descr[64] = "untouched", type[16];
        int n = -1;
        hdprobe_c(tno, e.name, descr, sizeof descr, type, sizeof type, &n);
        EXPECT_EQ(type, e.type) << e.name;
        EXPECT_EQ(n, e.n) << e.name;
        if (!e.descr.empty()) {
            EXPECT_EQ(descr, e.descr) << e.name;
        }
    }
    char small[8], type[16];
    int n;
    EXPECT_EXIT(hdprobe_c(tno, "d", small, sizeof small, type, sizeof type, &n), testing::ExitedWithCode(1),
                "### Fatal Error:  Descr buffer overflow in hdprobe\n");
    EXPECT_EQ(hdprsnt_c(tno, "d"), 1);
    EXPECT_EQ(hdprsnt_c(tno, "absent"), 0);
    hclose_c(tno);
}
