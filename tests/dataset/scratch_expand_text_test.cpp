// Scratch files, file-name expansion without a shell, and the fixed-length text helpers.
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

TEST(Scratch, RecordsRoundTripAndLeaveNoFileBehind)
{
    TempDir dir;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    int a, b;
    scropen_c(&a);
    scropen_c(&b);
    EXPECT_NE(a, b);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));  // unlinked once open
    scrrecsz_c(a, 3);
    std::vector<float> rec(3 * 10000);
    for (size_t i = 0; i < rec.size(); ++i)
        rec[i] = static_cast<float>(i) * 0.5f;
    scrwrite_c(a, rec.data(), 0, 10000);
    scrwrite_c(b, "abcd", 0, 1);
    std::vector<float> back(3 * 2);
    scrread_c(a, back.data(), 4321, 2);
    EXPECT_EQ(back[0], rec[3 * 4321]);
    EXPECT_EQ(back[5], rec[3 * 4322 + 2]);
    char word[4];
    scrread_c(b, word, 0, 1);
    EXPECT_EQ(std::string(word, 4), "abcd");
    EXPECT_EXIT(scrread_c(b, word, 1, 1), testing::ExitedWithCode(1),
                "### Warning:  Error reading from scratch file\n### Fatal Error:  End of file detected\n");
    EXPECT_EXIT(scrrecsz_c(a, 0), testing::ExitedWithCode(1), "### Fatal Error:  Invalid record size, in scrrecsz\n");
    scrclose_c(a);
    scrclose_c(b);
    setenv("TMPDIR", dir.file("missing").c_str(), 1);
    EXPECT_EXIT(scropen_c(&a), testing::ExitedWithCode(1),
                "### Warning:  Error opening scratch file; check your \\$TMPDIR\n### Fatal Error:  No such file or "
                "directory\n");
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

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

TEST(TextHelpers, ZtermAndPad)
{
    const char field[] = "name      ";
    char* a = zterm(field, 10);
    EXPECT_STREQ(a, "name");
    char* b = zterm("vis=x.uv  and more", 8);
    EXPECT_STREQ(b, "vis=x.uv");
    EXPECT_STREQ(a, "name");  // still valid: the ring buffer has room
    EXPECT_STREQ(zterm("      ", 6), "");
    const std::string big(1500, 'x');
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(std::string(zterm(big.c_str(), 1500)), big);  // wraps to the ring's start
    char padded[9] = "ab";
    pad(padded, 8);
    EXPECT_EQ(std::string(padded, 8), "ab      ");
}
