// Keyword parameters: storing key=value texts, splitting values into fields, "@" files, typed
// fetches and their errors, minimum match, the finishing report and the line keywords.
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
    keyputc("stokes=");
    keyputc("vis=first");
    keyputc("vis=second");
    keyputc("toolongname=1");
    keyputc("=3");
    keyputc("x= , ,");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("### Warning:  Zero length value for keyword stokes  \n"), std::string::npos) << err;
    EXPECT_NE(err.find("### Warning:  Multiple occurences of keyword 'vis' ignored\n"), std::string::npos);
    size_t first = err.find("### Warning:  Keyword name has zero length or too long\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(err.find("Keyword name has zero length or too long", first + 1), std::string::npos)
        << "two warnings expected, for the long and the empty name";
    EXPECT_NE(err.find("Zero length value for keyword x       \n"), std::string::npos);
    char buf[16];
    keya("stokes", buf, sizeof buf, "i");
    EXPECT_STREQ(buf, "i");
    EXPECT_EQ(next("vis"), "first");
    EXPECT_FALSE(keyprsnt("toolongn"));
    EXPECT_FALSE(keyprsnt("x"));
}

TEST_F(Key, QuotesAndBracketsProtectDelimiters)
{
    keyputc("select=time(10:00,11:00),antennae(1)");
    EXPECT_EQ(fields("select"), V({"time(10:00,11:00)", "antennae(1)"}));
    keyputc("x='a, b'");
    EXPECT_EQ(fields("x"), V({"a, b"}));
    keyputc("y=a'b");
    EXPECT_EQ(fields("y"), V({"a'b"}));
    keyputc("z=a,,b  c , \"d e\",[1,2],{3 4},f(g[h,i])j");
    EXPECT_EQ(fields("z"), V({"a", "b", "c", "d e", "[1,2]", "{3 4}", "f(g[h,i])j"}));
    keyputc("q=\"it's\",'say \"hi\"',a\"b,c\"d");
    EXPECT_EQ(fields("q"), V({"it's", "say \"hi\"", "a\"b,c\"d"}));
}

TEST_F(Key, LongFieldsAreCutWithAWarning)
{
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

TEST_F(Key, AtFilesAreReadLazilyOneLineAtATime)
{
    TempDir dir;
    // The third line is faulty: it is read, and matters, only when the second is used up.
    writeFile(dir.file("list"), "one two\nthree\n'broken\n");
    keyputc(("in=@" + dir.file("list")).c_str());
    EXPECT_EQ(next("in"), "one");
    EXPECT_EQ(next("in"), "two");
    EXPECT_EXIT(next("in"), ExitedWithCode(1), "### Fatal Error:  Unbalanced quotes on line");
}

TEST_F(Key, AtFileErrorsAreFatal)
{
    TempDir dir;
    writeFile(dir.file("self"), "@" + dir.file("other") + "\n");
    writeFile(dir.file("other"), "@" + dir.file("self") + "\n");
    writeFile(dir.file("deep"), "@" + dir.file("deep") + ",x\n");
    writeFile(dir.file("long"), std::string(40000, 'x') + "\n");
    const std::pair<const char*, const char*> cases[] = {
        {"missing",
         "### Warning:  KeyGet: Error opening @ file .*missing\n### Fatal Error:  No such file or directory"},
        // Files naming each other end the run instead of looping for ever.
        {"self", "### Fatal Error:  KeyGet: Too many @ files opened for one value, at @ file"},
        // Nesting that keeps files open fills the table.
        {"deep", "### Fatal Error:  KeyRead: Too many keys"},
        {"long", "### Fatal Error:  KeyRead: Line too long"},
    };
    for (const auto& [file, message] : cases) {
        keyinic();
        keyputc(("in=@" + dir.file(file)).c_str());
        EXPECT_EXIT(next("in"), ExitedWithCode(1), message) << file;
    }
}

TEST_F(Key, IntegersRealsAndTheirConversionErrors)
{
    keyputc("n=7.5,-2.5,2.5,12,+3,1e2");
    int v = 0;
    std::vector<int> got;
    while (keyprsnt("n")) {
        keyi("n", &v, 0);
        got.push_back(v);
    }
    EXPECT_EQ(got, (std::vector<int>{8, -3, 3, 12, 3, 100}));
    keyi("n", &v, -9);
    EXPECT_EQ(v, -9);

    keyputc("d=1.5d3,-.25,4,2.5E-1");
    double d1 = 0, d2 = 0;
    float r1 = 0, r2 = 0, r3 = 0;
    keyd("d", &d1, 0), keyd("d", &d2, 0), keyr("d", &r1, 0), keyr("d", &r2, 0), keyr("d", &r3, 6.5f);
    EXPECT_EQ(std::vector<double>({d1, d2}), std::vector<double>({1500.0, -0.25}));
    EXPECT_EQ(std::vector<float>({r1, r2, r3}), std::vector<float>({4.0f, 0.25f, 6.5f}));
}

TEST_F(Key, ConversionErrorsAreFatalAndNameTheKeyword)
{
    int v;
    double d;
    float r;
    for (const char* text : {"abc", "1.2.3", "0x10", "nan", "inf", "5e", "-", "1,5"}) {
        keyinic();
        keyputc(("n='" + std::string(text) + "'").c_str());
        EXPECT_EXIT(keyi("n", &v, 0), ExitedWithCode(1),
                    "### Fatal Error:  KeyI: Conversion error decoding parameter n\n")
            << text;
        EXPECT_EXIT(keyd("n", &d, 0), ExitedWithCode(1),
                    "### Fatal Error:  KeyD: Conversion error decoding parameter n\n")
            << text;
    }
    keyinic();
    keyputc("integer=9999999999");
    EXPECT_EXIT(keyi("integer", &v, 0), ExitedWithCode(1), "KeyI: Conversion error decoding parameter integer");
    keyputc("double=1e999");
    EXPECT_EXIT(keyd("double", &d, 0), ExitedWithCode(1), "KeyD: Conversion error decoding parameter double");
    keyputc("real=1e300");
    EXPECT_EXIT(keyr("real", &r, 0), ExitedWithCode(1), "KeyD: Conversion error decoding parameter real");
}

TEST_F(Key, LogicalsAcceptTheUsualSpellingsAndWarnOnOthers)
{
    keyputc("l=yes,No,.true.,.F.,1,0,t,false,maybe");
    std::vector<int> got;
    int v = -1;
    for (int i = 0; i < 8; ++i) {
        keyl("l", &v, 0);
        got.push_back(v);
    }
    EXPECT_EQ(got, (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0}));
    v = 7;
    testing::internal::CaptureStderr();
    keyl("l", &v, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "### Warning:  KeyL: invalid value for a logical\n");
    EXPECT_EQ(v, 7) << "an invalid value leaves the caller's value alone";
    keyl("l", &v, 1);
    EXPECT_EQ(v, 1);
    keyl("l", &v, 0);
    EXPECT_EQ(v, 0);
}

TEST_F(Key, MultiValueFetchesTakeEverythingOrDie)
{
    keyputc("i=1,2,3.6");
    int iv[4];
    int n = -1;
    mkeyi("i", iv, 4, &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(iv[0], 1);
    EXPECT_EQ(iv[2], 4);
    mkeyi("i", iv, 4, &n);
    EXPECT_EQ(n, 0);

    keyputc("r=0.5 1.5");
    float rv[2];
    mkeyr("r", rv, 2, &n);
    ASSERT_EQ(n, 2);
    EXPECT_FLOAT_EQ(rv[1], 1.5f);

    keyputc("d=1,2,3");
    double dv[2];
    EXPECT_EXIT(mkeyd("d", dv, 2, &n), ExitedWithCode(1), "### Fatal Error:  MKeyD: Buffer overflow");
    EXPECT_EXIT(mkeyi("d", iv, 2, &n), ExitedWithCode(1), "MKeyI: Buffer overflow");
    EXPECT_EXIT(mkeyr("d", rv, 2, &n), ExitedWithCode(1), "MKeyR: Buffer overflow");

    keyputc("a=alpha,'be ta',gamma");
    char av[3][6];
    mkeya("a", &av[0][0], 6, 3, &n);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(av[0], "alpha");
    EXPECT_STREQ(av[1], "be ta");
    EXPECT_STREQ(av[2], "gamma");
    keyputc("b=1,2,3");
    EXPECT_EXIT(mkeya("b", &av[0][0], 6, 2, &n), ExitedWithCode(1), "MKeyA: Buffer overflow");
}

TEST_F(Key, FileNamesAreExpandedAndMustExist)
{
    TempDir dir;
    for (const char* f : {"b.uv", "a.uv", "c.dat"})
        std::filesystem::create_directory(dir.file(f));
    keyputc(("vis=" + dir.path() + "/*.uv," + dir.file("c.dat")).c_str());
    char names[4][256];
    int n = 0;
    mkeyf("vis", &names[0][0], 256, 4, &n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::string(names[0]), dir.file("a.uv"));
    EXPECT_EQ(std::string(names[1]), dir.file("b.uv"));
    EXPECT_EQ(std::string(names[2]), dir.file("c.dat"));

    char buf[256];
    keyf("vis", buf, sizeof buf, "");
    EXPECT_STREQ(buf, "") << "absent keyword with a blank default gives blank";
    keyputc(("vis=" + dir.file("nothere.uv")).c_str());
    EXPECT_EXIT(keyf("vis", buf, sizeof buf, ""), ExitedWithCode(1),
                "### Fatal Error:  File does not exist: .*nothere.uv");
    keyinic();
    keyputc(("x=" + dir.path() + "/*.none").c_str());
    EXPECT_EXIT(keyf("x", buf, sizeof buf, ""), ExitedWithCode(1), "File does not exist: .*\\*\\.none");
    keyputc(("many=" + dir.path() + "/a.uv," + dir.path() + "/b.uv").c_str());
    EXPECT_EXIT(mkeyf("many", &names[0][0], 256, 1, &n), ExitedWithCode(1), "MKeyF: Buffer overflow");
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

TEST_F(Key, MinimumMatchOfWords)
{
    const char* const words[] = {"channel", "velocity", "felocity", "wide", "width"};
    char out[3][10];
    int n = -1;
    keymatch("line", 5, words, 3, &out[0][0], 10, &n);
    EXPECT_EQ(n, 0) << "absent keyword";
    keyputc("line=CH,v,felocity,wide,rest");
    keymatch("line", 5, words, 3, &out[0][0], 10, &n);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(out[0], "channel");
    EXPECT_STREQ(out[1], "velocity");
    EXPECT_STREQ(out[2], "felocity");
    keymatch("line", 5, words, 1, &out[0][0], 10, &n);
    EXPECT_STREQ(out[0], "wide") << "an exact word wins over a longer one it begins";
    keyputc("other='',widt");
    keymatch("other", 5, words, 3, &out[0][0], 10, &n);
    ASSERT_EQ(n, 1) << "an empty field is passed over";
    EXPECT_STREQ(out[0], "width");
    EXPECT_EXIT(keymatch("line", 5, words, 3, &out[0][0], 10, &n), ExitedWithCode(1),
                "Possible values for keyword line are: channel, velocity, felocity, wide, width\n"
                "### Fatal Error:  Unrecognised value \"rest\" for keyword line");
    keyinic();
    keyputc("line=wi");
    EXPECT_EXIT(keymatch("line", 5, words, 3, &out[0][0], 10, &n), ExitedWithCode(1),
                "Ambiguous value \"wi\" for keyword line");
}

TEST_F(Key, KeyfinReportsWhatWasNotUsedUp)
{
    keyputc("vis=a,b");
    keyputc("stokes=i");
    keyputc("options=x");
    keyputc("device=/xs");
    EXPECT_EQ(next("vis"), "a");
    EXPECT_EQ(next("stokes"), "i");
    EXPECT_EQ(next("device"), "/xs");
    testing::internal::CaptureStderr();
    keyfin();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "### Warning:  KeyFin: Parameter vis not used or not exhausted\n"
              "### Warning:  KeyFin: Parameter options not used or not exhausted\n");
    EXPECT_TRUE(keyprsnt("vis")) << "the table stays as it is";
}

TEST_F(Key, TheTableHoldsThirtyTwoKeywordsAndBoundedText)
{
    for (int i = 1; i <= 32; ++i)
        keyputc(("k" + std::to_string(i) + "=" + std::to_string(i)).c_str());
    EXPECT_TRUE(keyprsnt("k32"));
    keyputc("k1=again");  // a repeated name is dropped before the table is checked
    EXPECT_EXIT(keyputc("k33=33"), ExitedWithCode(1), "### Fatal Error:  KeyIni: Parameter buffer overflow");
    keyinic();
    std::string big(20000, 'v');
    keyputc(("a=" + big).c_str());
    EXPECT_EXIT(keyputc(("b=" + big).c_str()), ExitedWithCode(1), "KeyIni: Parameter buffer overflow");
}

TEST_F(Key, KeyiniReadsTheArgumentSource)
{
    TempDir dir;
    writeFile(dir.file("params"), "# parameters\nvis = from.file   # comment\n\nselect='a, b'\n");
    const char* argv[] = {"task", "line=wide", "-f", nullptr, "-q", "stokes=xx"};
    std::string pf = dir.file("params");
    argv[3] = pf.c_str();
    keyargs(6, argv);
    testing::internal::CaptureStderr();
    keyini();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "### Warning:  Flag -q not understood\n");
    EXPECT_EQ(next("line"), "wide");
    EXPECT_EQ(next("vis"), "from.file");
    EXPECT_EQ(next("select"), "a, b");
    EXPECT_EQ(next("stokes"), "xx");

    keyargs(0, nullptr);
    keyputc("old=1");
    keyini();
    EXPECT_FALSE(keyprsnt("old")) << "keyini starts from an empty table";
}

TEST_F(Key, KeyiniErrors)
{
    TempDir dir;
    writeFile(dir.file("quotes"), "vis='unbalanced\n");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"t", "-f"}, "KeyIni: No parameter file given for -f option"},
        {{"t", "-f", dir.file("missing")}, "KeyIni: Failed to open parameter file .*missing"},
        {{"t", "vis=" + std::string(1020, 'x')}, "### Fatal Error:  KeyIni: Input parameter too long for buffer"},
        {{"t", "-f", dir.file("quotes")}, "Unbalanced quotes on line"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv;
        for (const std::string& a : c.args)
            argv.push_back(a.c_str());
        keyargs(static_cast<int>(argv.size()), argv.data());
        EXPECT_EXIT(keyini(), ExitedWithCode(1), c.message);
    }
    keyargs(0, nullptr);
}

TEST_F(Key, HelpFlagPrintsALineAndRunsNothing)
{
    TempDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const char* help[] = {"mytask;touch INJECTED", "-?", "vis=x"};
    keyargs(3, help);
    // Standard output goes to standard error in the child so that the line can be matched.
    EXPECT_EXIT((dup2(2, 1), keyini()), ExitedWithCode(0), "^mytask;touch INJECTED: parameters are given as key=value");
    EXPECT_FALSE(std::filesystem::exists(dir.file("INJECTED")));
    EXPECT_EQ(chdir("/"), 0);
    keyargs(0, nullptr);
}

TEST_F(Key, LineKeywordDefaults)
{
    const struct {
        const char* text;
        const char* type;
        int nchan;
        std::vector<float> values;  // start, width, step, flag
    } cases[] = {
        {"", "", 0, {1, 1, 1, 1}},
        {"line=chan,10,2,3", "channel", 10, {2, 3, 3, 1}},
        {"line=w,4,1,2,5,0.5", "wide", 4, {1, 2, 5, 0.5f}},
        {"line=vel,5,-10,2.5,,0.7", "velocity", 5, {-10, 2.5f, 0.7f, 1}},
    };
    char type[32];
    int nchan = -1;
    float start, width, step, flag;
    for (const auto& c : cases) {
        if (*c.text)
            keyputc(c.text);
        keygline(type, sizeof type, &nchan, &start, &width, &step, &flag);
        EXPECT_STREQ(type, c.type) << c.text;
        EXPECT_EQ(nchan, c.nchan) << c.text;
        EXPECT_EQ(std::vector<float>({start, width, step, flag}), c.values) << c.text;
        EXPECT_FALSE(keyprsnt("line"));
    }

    keyputc("line=felocity");
    keyline(type, sizeof type, &nchan, &start, &width, &step);
    EXPECT_STREQ(type, "felocity");
    EXPECT_EQ(std::vector<float>({start, width, step}), std::vector<float>({0, 0, 0}));

    keyrline(type, sizeof type, &start, &width);
    EXPECT_STREQ(type, "");
    EXPECT_EQ(std::vector<float>({start, width}), std::vector<float>({1, 1}));
    keyputc("ref=velocity,3");
    keyrline(type, sizeof type, &start, &width);
    EXPECT_STREQ(type, "velocity");
    EXPECT_EQ(std::vector<float>({start, width}), std::vector<float>({3, 0}));

    keyputc("line=channel,-1");
    EXPECT_EXIT(keyline(type, sizeof type, &nchan, &start, &width, &step), ExitedWithCode(1),
                "### Fatal Error:  Invalid number of chans in line parameter");
}
