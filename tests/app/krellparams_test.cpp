// Run parameters in-process: parsed fields of both applications, their defaults, and the
// flagging application's echoes and errors (which the viewer program never reaches).
#include "params/krellparams.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

namespace {

struct Outcome {
    bool ok;
    std::string out;
    std::string err;
};

// Runs KrellParams::read on the words with both debug switches off before and after.
Outcome readInto(KrellParams& p, std::vector<std::string> words)
{
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    Params::debug1 = false;
    Params::debug2 = false;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = p.read(static_cast<int>(argv.size()), argv.data());
    Outcome o{ok, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    Params::debug1 = false;
    Params::debug2 = false;
    return o;
}

}  // namespace

TEST(KrellParams, DefaultsOfBothApplications)
{
    const KrellParams p(eAppView);
    EXPECT_EQ(std::tie(p.app, p.stokes, p.device, p.scale, p.bchan, p.echan, p.goodch, p.cutoff, p.interval, p.thres,
                       p.gap, p.rmscut),
              std::make_tuple(eAppView, "i", "/S2MONO", 10.0, 0, 0, 9, 7.0, 1200, 0.15, 150.0, 3.0));
    EXPECT_FALSE(p.goodchGiven || p.test || p.optNoapply || p.medtcal);
}

TEST(KrellParams, ViewerFieldsAndCopiesAreIndependent)
{
    KrellParams p(eAppView);
    const Outcome o = readInto(
        p, {"vis=/d", "stokes=xx,", "scale=-2.5", "bchan=7", "echan=x", "options=medsed,Debug1,medsed", "VIS=/e"});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(p.vis, "/e");
    EXPECT_EQ(p.stokes, "xx");
    EXPECT_EQ(p.stokesFlag, "");
    EXPECT_EQ(p.scale, -2.5);
    EXPECT_EQ(p.bchan, 7);
    EXPECT_EQ(p.echan, 0);
    EXPECT_FALSE(p.medsed);  // a flagging option word means nothing to the viewer
    EXPECT_EQ(p.options.at("medsed"), 2);  // a later occurrence keeps its own position
    EXPECT_EQ(o.out,
              " First level debugging requested\nvis=/e\nscale=-2.5\nbchan=7\nechan=0\n"
              "stokes [in]=xx\nstokes [flag]=\n"
              "WARNING: Undefined options specified, the following will be ignored:\n   medsed\n");

    KrellParams copy = p;
    p.bchan = 99;
    p.keywords["late"] = "1";
    EXPECT_EQ(copy.bchan, 7);
    EXPECT_TRUE(copy.keywords.empty());
}

TEST(KrellParams, NumbersSaturateInsteadOfOverflowing)
{
    KrellParams p(eAppFlag);
    const Outcome o = readInto(p, {"vis=/d", "goodch=-99999999999", "int=99999999999", "thres=abc"});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(p.goodch, INT_MIN);
    EXPECT_EQ(p.interval, INT_MAX);
    EXPECT_EQ(p.thres, 0.0);
    EXPECT_EQ(o.out, "");
}

TEST(KrellParams, FlaggingApplicationKeywordsOptionsAndEchoes)
{
    KrellParams p(eAppFlag);
    const Outcome o = readInto(p,
                               {"vis=/d", "options=debug1,rms,noapply,medtcal,short", "goodch=3", "cutoff=5.5",
                                "int=60", "thres=0.2", "gap=20", "rmscut=4", "test=1,,2,30", "scale=3"});
    ASSERT_TRUE(o.ok) << o.err;
    EXPECT_TRUE(p.optShort && p.optRms && p.optNoapply && p.medtcal);
    EXPECT_FALSE(p.optLong || p.optAmp || p.optIgnore || p.optReplace || p.medsed);
    EXPECT_TRUE(p.goodchGiven);
    EXPECT_EQ(p.goodch, 2);
    EXPECT_EQ(p.cutoff, 5.5);
    EXPECT_EQ(p.interval, 60);
    EXPECT_EQ(p.thres, 0.2);
    EXPECT_EQ(p.gap, 20);
    EXPECT_EQ(p.rmscut, 4);
    EXPECT_TRUE(p.test);
    EXPECT_EQ(p.testAnt1, 1);
    EXPECT_EQ(p.testAnt2, 2);
    EXPECT_EQ(p.testChan, 29);
    EXPECT_EQ(p.scale, 10.0);  // a viewer keyword means nothing to the flagging application
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out,
              " First level debugging requested\nvis=/d\n"
              "option: short\noption: rms\noption: noapply\n"
              " Flagging will NOT be applied to data set\noption: medtcal\n"
              "goodch=2\ncutoff=5.5\nint=60\nthres=0.2\ngap=20\nrmscut=4\n"
              "WARNING: Undefined parameters specified, the following will be ignored:\n"
              "   scale=3\n\n");

    // Without debugging only the noapply notice shows.
    KrellParams quiet(eAppFlag);
    EXPECT_EQ(readInto(quiet, {"vis=/d", "options=noapply"}).out, " Flagging will NOT be applied to data set\n");
}

TEST(KrellParams, FlaggingTestModeErrors)
{
    for (const auto& [words, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"vis=/d", "test=1,2,3"}, "goodch parameter needs to be defined in test mode\n"},
             {{"vis=/d", "goodch=1", "test=1,2,"}, "Invalid number of parameters associated with keyword: test\n"}}) {
        KrellParams p(eAppFlag);
        const Outcome o = readInto(p, words);
        EXPECT_FALSE(o.ok) << message;
        EXPECT_EQ(o.err, message);
    }
}

TEST(KrellParams, OtherApplicationValuesKnowOnlyTheCommonKeywords)
{
    KrellParams p(static_cast<eApp>(2));
    const Outcome o = readInto(p, {"vis=/d", "stokes=q", "device=/X", "goodch=4"});
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(p.stokes, "q");
    EXPECT_EQ(p.device, "/S2MONO");
    EXPECT_EQ(p.goodch, 9);
    EXPECT_EQ(o.out,
              "WARNING: Undefined parameters specified, the following will be ignored:\n"
              "   device=/X\n   goodch=4\n\n");
}
