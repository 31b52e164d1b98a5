// Data selection: the "select" keyword absent or in error, and the records a written data set
// delivers when the selection is applied (against the same clauses given directly).
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

TEST(Select, ErrorsNameTheOffendingText)
{
    std::vector<std::pair<std::string, std::string>> cases = {
        {"colour(red)", "Unrecognised selection command: colour\\(red\\)"},
        {"a(1)", "Ambiguous selection command: a\\(1\\)"},
        {"antennae(65)", "Bad antenna number in selection: antennae\\(65\\)"},
        {"ant(1)(2)(3)", "Bad parameters in selection command: ant\\(1\\)\\(2\\)\\(3\\)"},
        {"pol(zz)", "Bad polarization type: pol\\(zz\\)"},
        {"time(10:00,xx)", "Error decoding a value: time\\(10:00,xx\\)"},
        {"time(2001-02-29)", "Error decoding a value"},
        {"time(12:00,10:00)", "Bad parameters in selection command: time\\(12:00,10:00\\)"},
        {"increment(1,2)", "Too many parameter values: increment\\(1,2\\)"},
        {"window(1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17)", "Too many parameter values"},
        {"amplitude(nan)", "Error decoding a value"},
        {"time(10:00", "Bad parameters in selection command: time\\(10:00"},
        {"auto,or,or,auto", "Misplaced \"or\" in selection: or"},
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
