// Header variables: tags and value offsets on disk, readers on hand-made bytes, the readers' type
// rules and fatal messages, probing.
#include "dataset/headio.h"
#include "dataset/pack.h"
#include "tests/dataset/uvtest.h"

using namespace kestrum::test;

// The writers put the type tag, then the value at its own alignment (8-byte types after four bytes
// of padding); the readers take such bytes with any padding, convert between the number types and
// fall back to the default where the item is absent.
TEST(Headio, TaggedValuesOnDiskAndBack)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    wrhdi_c(tno, "i", -2);
    wrhdd_c(tno, "d", -2.0);
    wrhdl_c(tno, "l", 4294967298LL);
    wrhda_c(tno, "a", "hello");
    hclose_c(tno);
    auto header = [](char p, const std::string& tail) {
        const std::string pad(4, p);
        return entry("a", bytes({0, 0, 0, 1}) + "hello", false, p) +
            entry("l", bytes({0, 0, 0, 8}) + pad + bytes({0, 0, 0, 1, 0, 0, 0, 2})) +
            entry("d", bytes({0, 0, 0, 5}) + pad + bytes({0xc0, 0, 0, 0, 0, 0, 0, 0})) +
            entry("i", bytes({0, 0, 0, 2, 0xff, 0xff, 0xff, 0xfe}), tail.empty(), p) + tail;
    };
    EXPECT_EQ(readFile(ds + "/header"), header(0, ""));
    writeFile(ds + "/header", header(9, entry("r", bytes({0, 0, 0, 4, 0x3f, 0xc0, 0, 0}), true)));

    tno = openTree(ds, "old");
    double d;
    int i;
    int64_t l;
    float r;
    for (const auto& [name, expect] : {std::pair{"d", -2.0}, {"i", -2.0}, {"r", 1.5}, {"l", 4294967298.0}}) {
        rdhdd_c(tno, name, &d, 0);
        EXPECT_EQ(d, expect) << name;
    }
    rdhdr_c(tno, "r", &r, 0);
    EXPECT_EQ(r, 1.5f);
    rdhdi_c(tno, "d", &i, 0);
    EXPECT_EQ(i, -2);
    rdhdl_c(tno, "i", &l, 0);
    EXPECT_EQ(l, -2);
    rdhdi_c(tno, "absent", &i, 9);
    EXPECT_EQ(i, 9);
    char a[16];
    for (const auto& [name, len, expect] :
         {std::tuple{"a", 16, "hello"}, {"a", 4, "hel"}, {"i", 16, "default"}, {"absent", 4, "def"}}) {
        rdhda_c(tno, name, a, "default", len);
        EXPECT_STREQ(a, expect) << name << len;
    }
    hclose_c(tno);
}

// The readers' type rules and fatal messages, and probing, which decides which items named like
// variables override them when a uv data set opens.
TEST(Headio, ReaderTypeRulesAndProbes)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    wrhdd_c(tno, "pos", 3.7);
    wrhdd_c(tno, "neg", -3.7);
    wrhdd_c(tno, "big", 3e9);
    wrhdi_c(tno, "i", 17);
    wrhdl_c(tno, "l", -5);
    wrhda_c(tno, "empty", "");
    wrhda_c(tno, "a", "some text");
    putItem(tno, "r", std::string(real_item, 4) + bytes({0x3f, 0, 0, 0}));
    putItem(tno, "two", std::string(int_item, 4) + bytes({0, 0, 0, 1, 0, 0, 0, 2}));
    putItem(tno, "odd", std::string(real_item, 4) + "xyz");
    putItem(tno, "bin", std::string("\0\0\0\0\x01\x02", 6));
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
    const std::pair<std::function<void()>, const char*> fatal[] = {
        {[&] { rdhdi_c(tno, "big", &i, 0); }, "Integer overflow in rdhdi"},
        {[&] { rdhdl_c(tno, "r", &l, 0); }, "Unrecognised type in rdhdl"},
        {[&] { rdhdi_c(tno, "a", &i, 0); }, "Unrecognised type in rdhdd"},
        {[&] { rdhdd_c(tno, "short", &d, 0); }, "End of file detected"},
    };
    for (const auto& [action, message] : fatal)
        EXPECT_EXIT(action(), testing::ExitedWithCode(1), fatalRe(message) + "\n");

    const std::tuple<const char*, std::string, int> expected[] = {
        {"pos", "double", 1},  {"i", "integer", 1},          {"r", "real", 1},
        {"l", "integer*8", 1}, {"two", "integer", 2},        {"odd", "unknown", 7},
        {"bin", "binary", 6},  {"absent", "nonexistent", 0}, {"a", "character", 1},
    };
    char descr[64], type[16];
    int n;
    for (const auto& [name, t, count] : expected) {
        hdprobe_c(tno, name, descr, sizeof descr, type, sizeof type, &n);
        EXPECT_EQ(type, t) << name;
        EXPECT_EQ(n, count) << name;
    }
    EXPECT_STREQ(descr, "some text");  // the last, "a": its text describes it
    EXPECT_EXIT(hdprobe_c(tno, "pos", a, sizeof a, type, sizeof type, &n), testing::ExitedWithCode(1),
                "### Fatal Error:  Descr buffer overflow in hdprobe\n");
    EXPECT_EQ(hdprsnt_c(tno, "absent"), 0);
    hclose_c(tno);
}
