// The console progress bar: what each update draws, and when it stays silent.
#include "model/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string bar(int hashes, int dashes, const std::string& percent, int backspaces)
{
    return std::string(1, '|')
        .append(hashes, '#')
        .append(dashes, '-')
        .append("|   ")
        .append(percent)
        .append(1, '%')
        .append(backspaces, '\b');
}

}  // namespace

TEST(Progress, DrawsOnFirstUpdateAndOnEachNewStepOnly)
{
    testing::internal::CaptureStdout();
    {
        Progress p(200, 20);
        p.update(0);  // first call: an empty bar
        p.update(5);  // same step: silent
        p.update(9.9);
        p.update(101);  // step 10
        p.update(102);  // still step 10
        p.update(200);  // full
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              bar(0, 20, "0", 28) + bar(10, 10, "51", 28) + bar(20, 0, "100", 29) + "Done!" + std::string(24, ' ') +
                  "\n");
}

TEST(Progress, ZeroTotalNeverDrawsAndValuesBeyondTotalKeepTheBarWidth)
{
    testing::internal::CaptureStdout();
    {
        Progress p(0, 10);
        p.update(0);
        p.update(5);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Done!" + std::string(14, ' ') + "\n");

    testing::internal::CaptureStdout();
    {
        Progress p(10, 10);
        p.update(30);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), bar(10, 0, "300", 19) + "Done!" + std::string(14, ' ') + "\n");
}
