// Data selection: the "select" keyword parsed into the selection array, probes on it, its
// errors, and the records a written data set delivers when the selection is applied.
#include "task/key.h"
#include "task/select.h"

#include "dataset/uvio.h"
#include "tests/dataset/uvtest.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using kestrum::test::TempDir;
using testing::ExitedWithCode;

namespace {

constexpr double Pi = 3.14159265358979323846;

std::vector<float> parse(const std::string& text, int maxsels = 512)
{
    keyinic();
    if (!text.empty())
        keyputc(("select=" + text).c_str());
    std::vector<float> sels(static_cast<size_t>(maxsels), -99.0f);
    selinput("select", sels.data(), maxsels);
    EXPECT_FALSE(keyprsnt("select"));
    return sels;
}

// The entries after the count and the reference date.
std::vector<float> body(const std::vector<float>& sels)
{
    size_t end = 2;
    for (int i = 0; i < static_cast<int>(sels[0]); ++i)
        end += 3 + static_cast<size_t>(sels[end + 2]);
    return {sels.begin() + 2, sels.begin() + static_cast<long>(end)};
}

using F = std::vector<float>;

}  // namespace

TEST(Select, AbsentKeywordIsTheEmptySelection)
{
    auto sels = parse("");
    EXPECT_EQ(sels[0], 0.0f);
    EXPECT_EQ(sels[1], 0.0f);
    EXPECT_FALSE(selprobe(sels.data(), "polarization?", 0));
    for (int code = -8; code <= 6; ++code)
        EXPECT_TRUE(selprobe(sels.data(), "polarization", code)) << code;
    EXPECT_TRUE(selprobe(sels.data(), "time", 2460000.75));
    EXPECT_TRUE(selprobe(sels.data(), "window", 3));
}

TEST(Select, SubcommandsBecomeEntries)
{
    auto sels = parse("time(06:00,12:00),-antennae(3),ant(1,2)(3,4),uvr(2),pol(XX,yy)");
    EXPECT_EQ(sels[0], 5.0f);
    EXPECT_EQ(sels[1], 0.0f) << "no absolute time";
    EXPECT_EQ(body(sels), (F{1,  1, 3, 0,  0.25f, 0.5f,  // time of day
                             2,  0, 2, 1,  3,  // one list of one antenna, rejected
                             2,  1, 5, 2,  1,     2,    3, 4,  // two lists
                             3,  1, 2, 0,  2000,  // kilowavelengths to wavelengths
                             13, 1, 2, -5, -6}));
    sels = parse("'',auto,\"\"");
    EXPECT_EQ(body(sels), (F{16, 1, 0})) << "empty quoted fields are skipped";
    sels = parse("source(3C*,b),auto,-shadow,shadow(12),on,on(0),increment(3),window(1,3)");
    EXPECT_EQ(body(sels), (F{18, 1,  3,  '3', 'C', '*', 18, 1, 1, 'b', 16, 1, 0, 15, 0, 1, 0, 15, 1,
                             1,  12, 14, 1,   1,   1,   14, 1, 1, 0,   12, 1, 1, 3,  7, 1, 2, 1,  3}));
    sels = parse("vis(5),vis(2,9),bin(1,2),amp(0.5),amplitude(1,2),seeing(100),uvn(10,20),or,point(3)");
    EXPECT_EQ(body(sels),
              (F{6, 1,  2, 5, 5, 6,   1, 2, 2, 9,  21, 1, 2, 1, 2, 5, 1, 2, 0.5f, 3.40282347e38f, 5, 1, 2, 1,
                 2, 25, 1, 2, 0, 100, 8, 1, 2, 10, 20, 9, 1, 0, 4, 1, 2, 0, 3}));
}

TEST(Select, AnglesAndTimesAreConverted)
{
    auto sels = parse("ra(12:00:00,13:30),dec(-30:30,10.5),ha(-1,1),lst(22,2),elev(10,80),"
                      "dra(-1,1),ddec(0,3600),freq(1.4,1.5)");
    auto b = body(sels);
    ASSERT_EQ(b.size(), 8u * 5u);
    EXPECT_FLOAT_EQ(b[3], static_cast<float>(Pi));
    EXPECT_FLOAT_EQ(b[4], static_cast<float>(13.5 * Pi / 12));
    EXPECT_FLOAT_EQ(b[8], static_cast<float>(-30.5 * Pi / 180));
    EXPECT_FLOAT_EQ(b[9], static_cast<float>(10.5 * Pi / 180));
    EXPECT_FLOAT_EQ(b[18], static_cast<float>(22 * Pi / 12)) << "lst ranges may wrap";
    EXPECT_FLOAT_EQ(b[19], static_cast<float>(2 * Pi / 12));
    EXPECT_FLOAT_EQ(b[28], static_cast<float>(-Pi / 648000));
    EXPECT_FLOAT_EQ(b[34], static_cast<float>(Pi / 180));

    // Calendar forms; 2000 January 1 at noon is Julian date 2451545.
    for (const char* t :
         {"time(2000-01-01T12:00,2000-01-02)", "time(00JAN01:12:00,00jan02)", "time(2000JAN01:12,2451545.5)"}) {
        sels = parse(t);
        EXPECT_EQ(sels[1], 2451544.5f) << t;
        EXPECT_EQ(body(sels), (F{1, 1, 3, 1, 0.5f, 1.0f})) << t;
        EXPECT_TRUE(selprobe(sels.data(), "time", 2451545.25));
        EXPECT_FALSE(selprobe(sels.data(), "time", 2451544.9));
    }
    sels = parse("time(26DEC06:10:00)");
    EXPECT_TRUE(selprobe(sels.data(), "time", 2461380.5 + 10.5 / 24)) << "open-ended range";
    EXPECT_FALSE(selprobe(sels.data(), "time", 2461380.5 + 9.5 / 24));
}

TEST(Select, ProbesAnswerPerValueAndGroup)
{
    auto sels = parse("pol(xx,yy),time(06:00,12:00)");
    EXPECT_TRUE(selprobe(sels.data(), "polarization?", 0));
    EXPECT_TRUE(selprobe(sels.data(), "time?", 0));
    EXPECT_FALSE(selprobe(sels.data(), "window?", 0));
    EXPECT_TRUE(selprobe(sels.data(), "polarization", -5));
    EXPECT_TRUE(selprobe(sels.data(), "POL", -6));
    EXPECT_FALSE(selprobe(sels.data(), "polarization", -1));
    EXPECT_TRUE(selprobe(sels.data(), "time", 2460000.5 + 0.3)) << "time of day of a date";
    EXPECT_FALSE(selprobe(sels.data(), "time", 2460000.5 + 0.6));

    sels = parse("-pol(xx)");
    EXPECT_FALSE(selprobe(sels.data(), "polarization", -5));
    EXPECT_TRUE(selprobe(sels.data(), "polarization", -6));
    sels = parse("pol(xx),-pol(xx)");
    EXPECT_FALSE(selprobe(sels.data(), "polarization", -5)) << "the last matching entry decides";
    sels = parse("pol(xx),or,pol(rr)");
    EXPECT_TRUE(selprobe(sels.data(), "polarization", -1));
    EXPECT_FALSE(selprobe(sels.data(), "polarization", -2));
    sels = parse("pol(xx),or,window(2)");
    EXPECT_TRUE(selprobe(sels.data(), "polarization", -2)) << "a group without pol accepts all";
    EXPECT_TRUE(selprobe(sels.data(), "window", 2));
    sels = parse("lst(22,2)");
    EXPECT_TRUE(selprobe(sels.data(), "lst", 23.5 * Pi / 12));
    EXPECT_TRUE(selprobe(sels.data(), "lst", 1 * Pi / 12));
    EXPECT_FALSE(selprobe(sels.data(), "lst", 12 * Pi / 12));

    EXPECT_EXIT(selprobe(sels.data(), "antennae", 258), ExitedWithCode(1),
                "Cannot probe this object with a value, in SELPROBE: antennae");
    EXPECT_EXIT(selprobe(sels.data(), "colour", 1), ExitedWithCode(1), "Unrecognised object in SELPROBE: colour");
}

TEST(Select, ErrorsNameTheOffendingText)
{
    std::vector<std::pair<std::string, std::string>> cases = {
        {"colour(red)", "Unrecognised selection command: colour\\(red\\)"},
        {"a(1)", "Ambiguous selection command: a\\(1\\)"},
        {"o", "Ambiguous selection command: o"},
        {"antennae(65)", "Bad antenna number in selection: antennae\\(65\\)"},
        {"antennae(1.5)", "Bad antenna number in selection"},
        {"ant(1)(2)(3)", "Bad parameters in selection command: ant\\(1\\)\\(2\\)\\(3\\)"},
        {"pol(zz)", "Bad polarization type: pol\\(zz\\)"},
        {"time(10:00,xx)", "Error decoding a value: time\\(10:00,xx\\)"},
        {"time(10:75)", "Error decoding a value"},
        {"time(06FOO01)", "Error decoding a value"},
        {"time(2001-02-29)", "Error decoding a value"},
        {"time(12:00,10:00)", "Bad parameters in selection command: time\\(12:00,10:00\\)"},
        {"time(10:00,2460000.5)", "Bad parameters in selection command"},
        {"increment(1,2)", "Too many parameter values: increment\\(1,2\\)"},
        {"increment(0)", "Bad parameters in selection command"},
        {"uvrange(5,1)", "Bad parameters in selection command: uvrange\\(5,1\\)"},
        {"uvrange(-1,1)", "Bad parameters in selection command"},
        {"window(17)", "Bad parameters in selection command: window\\(17\\)"},
        {"window(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)", "Too many parameter values"},
        {"amplitude(nan)", "Error decoding a value"},
        {"auto(1)", "Too many parameter values: auto\\(1\\)"},
        {"time", "Bad parameters in selection command: time"},
        {"time(10:00", "Bad parameters in selection command: time\\(10:00"},
        {"time(10:00)x", "Bad parameters in selection command: time\\(10:00\\)x"},
        {"or,auto", "Misplaced \"or\" in selection: or"},
        {"auto,or", "Misplaced \"or\" in selection: or"},
        {"auto,or,or,auto", "Misplaced \"or\" in selection: or"},
        {"auto,-or,auto", "Bad parameters in selection command: -or"},
        {"frequency(1.4)", "Bad parameters in selection command"},
        {"shadow(-1)", "Bad parameters in selection command"},
    };
    for (const auto& [text, message] : cases)
        EXPECT_EXIT(parse(text), ExitedWithCode(1), "### Fatal Error:  " + message) << text;
    EXPECT_EXIT(parse("auto,auto,auto", 8), ExitedWithCode(1), "Selection expression too complex: auto");
}

namespace {

// Four antennas with autocorrelations, two polarisations, two sources, four times of which
// two on the next day.
class SelectData : public testing::Test {
protected:
    void SetUp() override
    {
        kestrum::sim::UvDescription d;
        d.nants = 4;
        d.autos = true;
        d.pols = {-5, -6};
        d.times = {2460000.6, 2460000.8, 2460001.6, 2460001.8};  // 02:24, 07:12 each day
        d.source = [](int t) { return t % 2 ? std::string("beta") : std::string("alpha"); };
        path = dir.file("sel.uv");
        records = kestrum::sim::writeUv(path, d);
    }

    // Records delivered with the "select" keyword text applied through the selection array.
    std::vector<kestrum::test::ReadRecord> viaKeyword(const std::string& text, int flag = 1)
    {
        auto sels = parse(text);
        return kestrum::test::readAll(path, [&](int tno) { selapply(tno, sels.data(), flag); });
    }

    static std::vector<std::vector<double>> pre(const std::vector<kestrum::test::ReadRecord>& rs)
    {
        std::vector<std::vector<double>> out;
        for (const auto& r : rs)
            out.push_back({r.pre[0], r.pre[1], r.pre[2], r.pre[3], r.visno});
        return out;
    }

    TempDir dir;
    std::string path;
    int64_t records = 0;
};

}  // namespace

TEST_F(SelectData, KeywordClausesDeliverWhatTheSameDirectCallsDeliver)
{
    using kestrum::test::readAll;
    struct Case {
        std::string text;
        std::function<void(int)> direct;
        size_t expected;
    };
    const double day0 = 2460000.5;
    std::vector<Case> cases = {
        {"antennae(1,2),-auto",
         [](int t) {
             uvselect_c(t, "antennae", 1, 0, 1);
             uvselect_c(t, "antennae", 2, 0, 1);
             uvselect_c(t, "auto", 0, 0, 0);
         },
         4 * 2 * 5},  // 1-2 1-3 1-4 2-3 2-4
        {"time(06:00,08:00),pol(yy),source(b*)",
         [](int t) {
             uvselect_c(t, "time", 0.25, 8.0 / 24, 1);
             uvselect_c(t, "polarization", -6, 0, 1);
             uvsela_c(t, "source", "b*", 1);
         },
         2 * 10},
        {"ant(1)(3,4),or,time(2460001.5,2460001.7)",
         [&](int t) {
             uvselect_c(t, "antennae", 1, 3, 1);
             uvselect_c(t, "antennae", 1, 4, 1);
             uvselect_c(t, "or", 0, 0, 1);
             uvselect_c(t, "time", day0 + 1, day0 + 1.2, 1);
         },
         4 * 2 * 2 + 20 - 2 * 2},
        {"visibility(5,24),increment(2),-pol(xx)",
         [](int t) {
             uvselect_c(t, "visibility", 5, 24, 1);
             uvselect_c(t, "increment", 2, 0, 1);
             uvselect_c(t, "polarization", -5, 0, 0);
         },
         0},
    };
    for (const auto& c : cases) {
        auto want = readAll(path, c.direct);
        auto got = viaKeyword(c.text);
        EXPECT_EQ(pre(got), pre(want)) << c.text;
        if (c.expected) {
            EXPECT_EQ(got.size(), c.expected) << c.text;
        }
        EXPECT_LT(got.size(), 80u) << c.text;
    }

    // The empty selection issues nothing.
    ASSERT_EQ(records, 4 * 10 * 2);
    auto all = viaKeyword("");
    EXPECT_EQ(pre(all), pre(readAll(path)));
    EXPECT_EQ(all.size(), 80u);

    // Flag 0 reverses every clause.
    auto reversed = viaKeyword("-antennae(2)", 0);
    EXPECT_EQ(pre(reversed), pre(readAll(path, [](int t) { uvselect_c(t, "antennae", 2, 0, 1); })));
    EXPECT_EQ(reversed.size(), 4u * 4u * 2u);
}
