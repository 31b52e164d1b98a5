// The error routine: message form per severity, and the fatal path ending the process.
#include "dataset/bug.h"

#include <cerrno>
#include <gtest/gtest.h>

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
