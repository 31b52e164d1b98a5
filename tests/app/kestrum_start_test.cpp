// The start of a kestrum run, driven through the real program: banner, usage text, and every
// parameter message with its stream and exit status.
#include "tests/support/support.h"

#include <filesystem>
#include <gtest/gtest.h>

using kestrum::test::binary;
using kestrum::test::RunResult;

namespace {

const std::string banner = "kestrum version 0.1.2\n";

RunResult runKestrum(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{binary("app/kestrum")};
    argv.insert(argv.end(), args.begin(), args.end());
    return kestrum::test::run(argv, "", {}, 30.0);
}

}  // namespace

TEST(KestrumStart, NoArgumentsPrintsBannerAndUsage)
{
    const RunResult r = runKestrum({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              banner +
                  "kestrum is a tool to graphically visualise a quorin data set\n"
                  "in three dimensions: amplitude/phase verses channel and time.\n"
                  "\n"
                  "kestrum vis=quorin-dataset [stokes=...] [device=...]\n"
                  "\n"
                  "stokes : select the stokes parameter to visualise.\n"
                  "         e.g. stokes=xx to select stokes xx.\n"
                  "\n"
                  "device : select the s2 device to use:\n"
                  "         e.g. device=/S2MONOF for full screen viewing.\n"
                  "\n"
                  "For help with keystrokes press '?' and to quit press shift-'q'.\n");
}

TEST(KestrumStart, ParameterFailuresEndWithStatusOneAndOnlyTheBanner)
{
    const std::string invalid = "invalid parameters specified.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
        bool whole;  // err is all of standard error
    } cases[] = {
        {{"vis=/nowhere", "stray"}, invalid, true},
        {{"stray"}, invalid, true},  // the bare word is reported before the missing vis is looked at
        {{""}, invalid, true},  // an empty word still counts as a word without "="
        {{"stokes=xx", "device=/S2MONOF"}, "vis parameter is mandatory.\n", true},
        // Accepted parameters alone print nothing until the data set is opened, which fails here.
        {{"vis=/nowhere", "stokes=i,", "scale=", "bchan=99999999999999"}, "/nowhere", false},
    };
    for (const auto& c : cases) {
        const RunResult r = runKestrum(c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, banner) << c.err;
        if (c.whole)
            EXPECT_EQ(r.err, c.err);
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

// Unknown options and keywords are warned about in key order; the debug options announce themselves
// and echo every value. Neither stops the run: it goes on to the data set, which is not there.
TEST(KestrumStart, UnknownWordsAreWarnedAboutAndDebugOptionsEchoEveryValue)
{
    const struct {
        std::vector<std::string> args;
        std::string vis, out;
    } cases[] = {
        {{"foo=1", "VIS=/Data/Set", "options=zeta,Alpha,,beta", "=x", "cutoff=3", "options=alpha"},
         "/Data/Set",
         "WARNING: Undefined options specified, the following will be ignored:\n   alpha\n   beta\n   zeta\n"
         "WARNING: Undefined parameters specified, the following will be ignored:\n   =x\n   cutoff=3\n   foo=1\n\n"},
        {{"options=Debug1,xyz", "vis=a=b", "stokes=xx,yy,zz", "scale=2.5e1", "bchan=abc", "echan= 12x",
          "device=/S2MONOF", "device=/S2MONO", "options=debug2"},
         "a=b",
         " First level debugging requested\n Second level debugging requested\nvis=a=b\ndevice=/S2MONO\nscale=25\n"
         "bchan=0\nechan=12\nstokes [in]=xx\nstokes [flag]=yy,zz\n"
         "WARNING: Undefined options specified, the following will be ignored:\n   xyz\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = runKestrum(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.vis), std::string::npos) << r.err;
        EXPECT_EQ(r.out, banner + c.out);
    }
}

TEST(KestrumStart, DataSetNamesWithShellTextAreNamesNeverCommands)
{
    kestrum::test::TempDir dir;
    const std::string injected = dir.file("INJECTED");
    for (const std::string& name : {dir.file("x$(touch " + injected + ")"), dir.file("a;touch " + injected),
                                    dir.file("`touch " + injected + "`"), dir.file("*|touch " + injected)}) {
        const RunResult r = runKestrum({"vis=" + name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("Error opening " + name), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("### Fatal Error:  No such file or directory"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(injected));
}
