// The error routine: message form per severity, system error texts, and the fatal path's
// clean-up and replaceable handler (the emergency close of data sets is the container test's).
#include "dataset/bug.h"
#include "dataset/hio.h"

#include <cerrno>
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
    EXPECT_THROW(bug_c('f', "stop here"), int);
    EXPECT_EQ(got, "stop here");
    // A handler that returns still ends the process with status 1.
    bughandler_c([](const char*) {});
    EXPECT_EXIT(bug_c('f', "returned"), testing::ExitedWithCode(1), "### Fatal Error:  returned");
    bughandler_c(nullptr);
}
