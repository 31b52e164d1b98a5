// The error routine (message form per severity, system error texts, the fatal path's clean-up and
// replaceable handler; the emergency close of data sets is the container test's), file-name
// expansion without a shell, and the fixed-length text helpers.
#include "dataset/bug.h"
#include "dataset/dio.h"
#include "dataset/hio.h"
#include "dataset/text.h"
#include "tests/support/support.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

using kestrum::test::TempDir;
using kestrum::test::writeFile;

TEST(Bug, WarningsReturnAndFatalErrorsExitWithStatusOne)
{
    testing::internal::CaptureStderr();
    bug_c('w', "careful");
    bug_c('I', "note");
    bug_c('e', "bad");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  careful\n### Informational:  note\n### Error:  bad\n");
    EXPECT_EXIT(bug_c('f', "the end"), testing::ExitedWithCode(1), "### Fatal Error:  the end\n");
    EXPECT_STREQ(errmsg_c(ENOENT), "No such file or directory");
    EXPECT_EXIT(bugno_c('f', -1), testing::ExitedWithCode(1), "### Fatal Error:  End of file detected");
}

TEST(Bug, FatalErrorsRunTheCleanUpThenTheReplaceableHandler)
{
    static std::string got;
    bughandler_c([](const char* message) {
        got = message;
        throw 1;
    });
    // A fatal error inside the clean-up goes straight to the handler.
    bugcleanup_c([] { bug_c('f', "inside"); });
    EXPECT_THROW(bug_c('f', "outside"), int);
    EXPECT_EQ(got, "inside");
    bugcleanup_c(habort_c);
    // A handler that returns still ends the process with status 1.
    bughandler_c([](const char*) {});
    EXPECT_EXIT(bug_c('f', "returned"), testing::ExitedWithCode(1), "### Fatal Error:  returned");
    bughandler_c(nullptr);
}

TEST(Expand, WildcardsMatchFilesAndNothingIsExecuted)
{
    TempDir dir;
    for (const char* f : {"a1.dat", "a2.dat", "b.dat"})
        writeFile(dir.file(f), "");
    char out[512];
    const std::string d = dir.path() + "/";
    // Matches in order, then words without a match as written.
    const int n = dexpand_c((d + "b.dat  " + d + "a?.dat " + d + "z*.uv").c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), d + "b.dat," + d + "a1.dat," + d + "a2.dat," + d + "z*.uv");
    EXPECT_EQ(n, static_cast<int>(std::string(out).size()));
    EXPECT_EQ(dexpand_c((d + "a*.dat").c_str(), out, 10), -1);
    // Shell syntax is text: no command runs, no variable is substituted.
    for (const std::string& evil : {"$(touch " + d + "made)", "`touch " + d + "made`", "x;touch " + d + "made",
                                    "x|touch " + d + "made", std::string("$HOME")}) {
        EXPECT_GT(dexpand_c(evil.c_str(), out, sizeof out), 0) << evil;
        EXPECT_EQ(std::string(out).find(std::getenv("HOME") ? std::getenv("HOME") : "\x01"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(d + "made")) << evil;
    }
}

// Nothing in the programs uses the fixed-length text helpers: one smoke check of each.
TEST(TextHelpers, ZtermAndPad)
{
    EXPECT_STREQ(zterm("vis=x.uv  and more", 10), "vis=x.uv");
    char padded[9] = "ab";
    pad(padded, 8);
    EXPECT_EQ(std::string(padded, 8), "ab      ");
}
