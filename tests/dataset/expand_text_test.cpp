// File-name expansion without a shell, and the fixed-length text helpers.
#include "dataset/dio.h"
#include "dataset/hio.h"
#include "dataset/text.h"
#include "tests/support/support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using kestrum::test::TempDir;
using kestrum::test::writeFile;

TEST(Expand, WildcardsMatchFilesAndNothingIsExecuted)
{
    TempDir dir;
    for (const char* f : {"a1.dat", "a2.dat", "b.dat"})
        writeFile(dir.file(f), "");
    char out[512];
    const std::string d = dir.path() + "/";
    int n = dexpand_c((d + "a*.dat").c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), d + "a1.dat," + d + "a2.dat");
    EXPECT_EQ(n, static_cast<int>(std::string(out).size()));
    dexpand_c((d + "b.dat  " + d + "a?.dat").c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), d + "b.dat," + d + "a1.dat," + d + "a2.dat");
    // No match: the word as written.
    dexpand_c((d + "z*.uv").c_str(), out, sizeof out);
    EXPECT_EQ(std::string(out), d + "z*.uv");
    // Shell syntax is text: no command runs, no variable is substituted.
    for (const std::string& evil : {"$(touch " + d + "made1)", "`touch " + d + "made2`", "x;touch " + d + "made3",
                                    std::string("$HOME"), "x|touch " + d + "made4"}) {
        EXPECT_GT(dexpand_c(evil.c_str(), out, sizeof out), 0) << evil;
        EXPECT_EQ(std::string(out).find(std::getenv("HOME") ? std::getenv("HOME") : "\x01"), std::string::npos);
    }
    for (const char* f : {"made1", "made2", "made3", "made4"})
        EXPECT_FALSE(std::filesystem::exists(dir.file(f))) << f;
    EXPECT_EQ(dexpand_c((d + "a*.dat").c_str(), out, 10), -1);
}

// Nothing in the programs uses the fixed-length text helpers: one smoke check of each.
TEST(TextHelpers, ZtermAndPad)
{
    EXPECT_STREQ(zterm("vis=x.uv  and more", 10), "vis=x.uv");
    char padded[9] = "ab";
    pad(padded, 8);
    EXPECT_EQ(std::string(padded, 8), "ab      ");
}
