// Keyword parameters: storing key=value texts, splitting values into fields, "@" files, file
// names, the finishing report and the line keywords.
#include "task/key.h"
#include "task/keyline.h"
#include "tests/support/support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using kestrum::test::TempDir;
using kestrum::test::writeFile;
using testing::ExitedWithCode;

namespace {

std::string next(const char* key)
{
    char buf[256];
    keya(key, buf, sizeof buf, "<none>");
    return buf;
}

// Every remaining field of `key`.
std::vector<std::string> fields(const char* key)
{
    std::vector<std::string> out;
    char buf[256];
    while (keyget(key, ' ', buf, sizeof buf) > 0)
        out.emplace_back(buf);
    return out;
}

std::vector<std::string> V(std::initializer_list<const char*> l)
{
    return {l.begin(), l.end()};
}

class Key : public testing::Test {
protected:
    void SetUp() override { keyinic(); }
};

}  // namespace

TEST_F(Key, FormsOfKeyValueAreEquivalentAndFieldsAreConsumedInOrderByName)
{
    keyputc("vis=a.uv,b.uv");
    keyputc("  line   channel,4  ");
    keyputc("ref = wide");
    EXPECT_EQ(next("vis"), "a.uv");
    EXPECT_TRUE(keyprsnt("vis"));
    EXPECT_EQ(next("vis"), "b.uv");
    EXPECT_FALSE(keyprsnt("vis")) << "an entry is gone as soon as its last field is taken";
    EXPECT_EQ(next("vis"), "<none>");
    EXPECT_EQ(fields("line"), V({"channel", "4"}));
    EXPECT_EQ(fields("ref"), V({"wide"}));

    // Names are case sensitive and compared on eight characters.
    keyputc("Vis=x");
    keyputc("abcdefgh=long");
    EXPECT_FALSE(keyprsnt("vis"));
    EXPECT_TRUE(keyprsnt("Vis   "));
    EXPECT_EQ(next("abcdefghij"), "long");
}

TEST_F(Key, BadTextsAreWarnedAboutAndDropped)
{
    testing::internal::CaptureStderr();
    for (const char* text : {"stokes=", "vis=first", "vis=second", "toolongname=1", "=3", "x= , ,"})
        keyputc(text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  Zero length value for keyword stokes  \n"
              "### Warning:  Multiple occurences of keyword 'vis' ignored\n"
              "### Warning:  Keyword name has zero length or too long\n"
              "### Warning:  Keyword name has zero length or too long\n"
              "### Warning:  Zero length value for keyword x       \n");
    char buf[16];
    keya("stokes", buf, sizeof buf, "i");
    EXPECT_STREQ(buf, "i");
    EXPECT_EQ(next("vis"), "first");
    EXPECT_FALSE(keyprsnt("toolongn") || keyprsnt("x"));
}

TEST_F(Key, QuotesAndBracketsProtectDelimitersAndLongFieldsAreCut)
{
    keyputc("z=a,,b  c , \"d e\",[1,2],{3 4},f(g[h,i])j,time(10:00,11:00)");
    EXPECT_EQ(fields("z"), V({"a", "b", "c", "d e", "[1,2]", "{3 4}", "f(g[h,i])j", "time(10:00,11:00)"}));
    keyputc("q=\"it's\",'say \"hi\"',a\"b,c\"d,'a, b',a'b");
    EXPECT_EQ(fields("q"), V({"it's", "say \"hi\"", "a\"b,c\"d", "a, b", "a'b"}));

    // A field longer than the caller's buffer is cut, with a warning.
    keyputc("x=abcdefghijklmnop,z");
    char buf[6];
    testing::internal::CaptureStderr();
    EXPECT_EQ(keyget("x", ' ', buf, sizeof buf), 5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(err, "### Warning:  GETFIELD: string too long: abcdefghijklmnop,z\n");
    EXPECT_EQ(next("x"), "z");
}

TEST_F(Key, AtFilesDeliverTheirFieldsInFileOrderBeforeTheRestOfTheValueAndNest)
{
    TempDir dir;
    writeFile(dir.file("list"),
              "a,b\n# a comment line\n\n   c   # trailing comment\n"
              "'d # not a comment', \"e,f\" ,,,\n");
    keyputc(("in=first,@" + dir.file("list") + ",last").c_str());
    EXPECT_EQ(fields("in"), V({"first", "a", "b", "c", "d # not a comment", "e,f", "last"}));
    EXPECT_FALSE(keyprsnt("in"));

    writeFile(dir.file("inner"), "x\ny\n");
    writeFile(dir.file("outer"), "p,@" + dir.file("inner") + ",q\n");
    writeFile(dir.file("empty"), "# nothing here\n");
    keyputc(("in=@" + dir.file("empty") + ",@" + dir.file("outer") + ",r").c_str());
    EXPECT_EQ(fields("in"), V({"p", "x", "y", "q", "r"})) << "an empty file gives nothing";
}

TEST_F(Key, AtFileErrorsAreFatal)
{
    TempDir dir;
    writeFile(dir.file("self"), '@' + dir.file("other") + "\n");
    writeFile(dir.file("other"), '@' + dir.file("self") + "\n");
    writeFile(dir.file("deep"), '@' + dir.file("deep") + ",x\n");
    writeFile(dir.file("long"), std::string(40000, 'x') + "\n");
    // The third line is read, and matters, only when the second is used up.
    writeFile(dir.file("lazy"), "one two\nthree\n'broken\n");
    const std::pair<const char*, const char*> cases[] = {
        {"missing",
         "### Warning:  KeyGet: Error opening @ file .*missing\n### Fatal Error:  No such file or directory"},
        // Files naming each other end the run instead of looping for ever.
        {"self", "### Fatal Error:  KeyGet: Too many @ files opened for one value, at @ file"},
        // Nesting that keeps files open fills the table.
        {"deep", "### Fatal Error:  KeyRead: Too many keys"},
        {"long", "### Fatal Error:  KeyRead: Line too long"},
        {"lazy", "### Fatal Error:  Unbalanced quotes on line"},
    };
    for (const auto& [file, message] : cases) {
        keyinic();
        keyputc(("in=@" + dir.file(file)).c_str());
        if (std::string(file) == "lazy") {
            EXPECT_EQ(next("in"), "one");
            EXPECT_EQ(next("in"), "two");
        }
        EXPECT_EXIT(next("in"), ExitedWithCode(1), message) << file;
    }
}

TEST_F(Key, FileNamesAreExpandedAndMustExist)
{
    TempDir dir;
    for (const char* f : {"b.uv", "a.uv", "c.dat"})
        std::filesystem::create_directory(dir.file(f));
    keyputc(("vis=" + dir.path() + "/*.uv," + dir.file("c.dat")).c_str());
    char buf[256];
    for (const char* name : {"a.uv", "b.uv", "c.dat"}) {
        keyf("vis", buf, sizeof buf, "");
        EXPECT_EQ(std::string(buf), dir.file(name));
    }
    keyf("vis", buf, sizeof buf, "");
    EXPECT_STREQ(buf, "") << "absent keyword with a blank default gives blank";
    keyputc(("vis=" + dir.file("nothere.uv")).c_str());
    EXPECT_EXIT(keyf("vis", buf, sizeof buf, ""), ExitedWithCode(1),
                "### Fatal Error:  File does not exist: .*nothere.uv");
    keyinic();
    keyputc(("x=" + dir.path() + "/*.none").c_str());
    EXPECT_EXIT(keyf("x", buf, sizeof buf, ""), ExitedWithCode(1), "File does not exist: .*\\*\\.none");
}

TEST_F(Key, ShellTextInFileNamesIsNeverRun)
{
    TempDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char buf[256];
    for (const char* name : {"x$(touch INJECTED)", "'a;touch INJECTED'", "`touch INJECTED`", "\"b|touch INJECTED\"",
                             "c&&touch${IFS}INJECTED"}) {
        keyinic();
        keyputc(("vis=" + std::string(name)).c_str());
        EXPECT_EXIT(keyf("vis", buf, sizeof buf, ""), ExitedWithCode(1), "File does not exist: ") << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("INJECTED")));
    EXPECT_EQ(chdir("/"), 0);
}

TEST_F(Key, KeyfinReportsWhatWasNotUsedUp)
{
    for (const char* text : {"vis=a,b", "stokes=i", "options=x", "device=/xs"})
        keyputc(text);
    EXPECT_EQ(next("vis") + next("stokes") + next("device"), "ai/xs");
    testing::internal::CaptureStderr();
    keyfin();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  KeyFin: Parameter vis not used or not exhausted\n"
              "### Warning:  KeyFin: Parameter options not used or not exhausted\n");
    EXPECT_TRUE(keyprsnt("vis")) << "the table stays as it is";
}

TEST_F(Key, TheTableHoldsBoundedText)
{
    std::string big(20000, 'v');
    keyputc(("a=" + big).c_str());
    EXPECT_EXIT(keyputc(("b=" + big).c_str()), ExitedWithCode(1),
                "### Fatal Error:  KeyIni: Parameter buffer overflow");
}

// The line keywords as the access layer reads them: absent (as the programs here leave them)
// they give the defaults; given, the type matches by minimum match and the numbers round.
TEST_F(Key, LineKeywords)
{
    char type[32];
    int nchan = -1;
    float start, width, step, flag;
    keygline(type, sizeof type, &nchan, &start, &width, &step, &flag);
    EXPECT_EQ(std::string(type) + std::to_string(nchan), "0");
    EXPECT_EQ(std::vector<float>({start, width, step, flag}), std::vector<float>({1, 1, 1, 1}));
    keyrline(type, sizeof type, &start, &width);
    EXPECT_EQ(std::vector<float>({start, width}), std::vector<float>({1, 1}));
    keyputc("line=VEL,10.5,-10,2.5,,0.7");
    keygline(type, sizeof type, &nchan, &start, &width, &step, &flag);
    EXPECT_EQ(std::string(type) + std::to_string(nchan), "velocity11");
    EXPECT_EQ(std::vector<float>({start, width, step, flag}), std::vector<float>({-10, 2.5f, 0.7f, 1}));

    const std::pair<const char*, const char*> bad[] = {
        {"line=channel,-1", "### Fatal Error:  Invalid number of chans in line parameter"},
        {"line=rest", "Unrecognised value \"rest\" for keyword line"},
        {"line=channel,abc", "### Fatal Error:  KeyI: Conversion error decoding parameter line\n"},
    };
    for (const auto& [text, message] : bad) {
        keyinic();
        keyputc(text);
        EXPECT_EXIT(keyline(type, sizeof type, &nchan, &start, &width, &step), ExitedWithCode(1), message) << text;
    }
}
