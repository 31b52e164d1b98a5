// The error routine: message form per severity, and the fatal path: clean-up, handler, exit.
#include "dataset/bug.h"
#include "dataset/hio.h"
#include "tests/support/support.h"

#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

TEST(Bug, WarningsReturnAndFatalErrorsExitWithStatusOne)
{
    testing::internal::CaptureStderr();
    bug_c('w', "careful");
    bug_c('I', "note");
    bug_c('e', "bad");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  careful\n### Informational:  note\n### Error:  bad\n");
    EXPECT_EXIT(bug_c('f', "the end"), testing::ExitedWithCode(1), "### Fatal Error:  the end\n");
}

TEST(Bug, SystemErrorTexts)
{
    EXPECT_STREQ(errmsg_c(-1), "End of file detected");
    EXPECT_STREQ(errmsg_c(ENOENT), "No such file or directory");
    EXPECT_EXIT(bugno_c('f', -1), testing::ExitedWithCode(1), "### Fatal Error:  End of file detected");
}

TEST(Bug, FatalErrorsRunTheCleanUpThenTheReplaceableHandler)
{
    kestrum::test::TempDir dir;
    const std::string path = dir.path() + "/made.uv";
    int tno = 0, st = 0;
    hopen_c(&tno, path.c_str(), "new", &st);
    ASSERT_EQ(st, 0);
    ASSERT_TRUE(std::filesystem::exists(path));
    static std::string got;
    bughandler_c([](const char* message) {
        got = message;
        throw 1;
    });
    EXPECT_THROW(bug_c('f', "stop here"), int);
    EXPECT_EQ(got, "stop here");
    EXPECT_FALSE(std::filesystem::exists(path));  // made by this run: removed by the emergency close
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
