// Data selection: the "select" keyword absent (as every program here leaves it), a compact
// check that a keyword's clauses deliver what the same direct calls deliver, and its errors.
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

std::vector<std::vector<double>> pre(const std::vector<kestrum::test::ReadRecord>& rs)
{
    std::vector<std::vector<double>> out;
    for (const auto& r : rs)
        out.push_back({r.pre[0], r.pre[1], r.pre[2], r.pre[3], r.visno});
    return out;
}

}  // namespace

TEST(Select, AbsentKeywordSelectsEverything)
{
    auto sels = parse("");
    EXPECT_EQ(sels[0], 0.0f);
    EXPECT_EQ(sels[1], 0.0f);
    EXPECT_FALSE(selprobe(sels.data(), "polarization?", 0));
    for (int code = -8; code <= 6; ++code)
        EXPECT_TRUE(selprobe(sels.data(), "polarization", code)) << code;
    EXPECT_TRUE(selprobe(sels.data(), "time", 2460000.75));
}

// Four antennas with autocorrelations, two polarisations, four times of which two on the next
// day; flag 0 reverses every clause.
TEST(Select, KeywordClausesDeliverWhatTheSameDirectCallsDeliver)
{
    TempDir dir;
    kestrum::sim::UvDescription d;
    d.nants = 4;
    d.autos = true;
    d.pols = {-5, -6};
    d.times = {2460000.6, 2460000.8, 2460001.6, 2460001.8};  // 02:24, 07:12 each day
    const std::string path = dir.file("sel.uv");
    ASSERT_EQ(kestrum::sim::writeUv(path, d), 80);
    const struct {
        std::string text;
        int flag;
        std::function<void(int)> direct;
        size_t expected;
    } cases[] = {
        {"time(06:00,08:00),pol(yy)", 1,
         [](int t) {
             uvselect_c(t, "time", 0.25, 8.0 / 24, 1);
             uvselect_c(t, "polarization", -6, 0, 1);
         },
         2 * 10},
        {"-antennae(2)", 0, [](int t) { uvselect_c(t, "antennae", 2, 0, 1); }, 4 * 4 * 2},
    };
    for (const auto& c : cases) {
        auto sels = parse(c.text);
        auto got = kestrum::test::readAll(path, [&](int tno) { selapply(tno, sels.data(), c.flag); });
        EXPECT_EQ(pre(got), pre(kestrum::test::readAll(path, c.direct))) << c.text;
        EXPECT_EQ(got.size(), c.expected) << c.text;
    }
}

TEST(Select, ErrorsNameTheOffendingText)
{
    std::vector<std::pair<std::string, std::string>> cases = {
        {"colour(red)", "Unrecognised selection command: colour\\(red\\)"},
        {"time(12:00,10:00)", "Bad parameters in selection command: time\\(12:00,10:00\\)"},
        {"time(10:00,xx)", "Error decoding a value: time\\(10:00,xx\\)"},
    };
    for (const auto& [text, message] : cases)
        EXPECT_EXIT(parse(text), ExitedWithCode(1), "### Fatal Error:  " + message) << text;
    EXPECT_EXIT(parse("auto,auto,auto", 8), ExitedWithCode(1), "Selection expression too complex: auto");
}
