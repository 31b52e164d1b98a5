// The uv layer's fatal messages for what a data set can hold (missing items and variables,
// malformed streams, variables of unexpected types) and for writing to one opened for reading, each
// in a child process (status 1): a message instead of a crash or an endless loop.

#include "tests/dataset/uvtest.h"

using namespace kestrum::test;
using kestrum::sim::UvDescription;

namespace {

struct Case {
    std::string message;
    std::function<void(int tno)> action;
};

// Each case in a child process on a data set freshly opened.
void expectFatal(const std::string& path, const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                int tno = 0;
                uvopen_c(&tno, path.c_str(), "old");
                c.action(tno);
                std::exit(0);
            },
            testing::ExitedWithCode(1), fatalRe(c.message))
            << c.message;
    }
}

void readOne(int tno)
{
    double pre[8];
    float data[4096];
    int flags[2048], nread = 0;
    uvread_c(tno, pre, data, flags, 2048, &nread);
}

// Three antennas at two times, "corr" of the given type.
std::string writeSimple(const TempDir& dir, const std::string& name, char corrType = 'r')
{
    UvDescription d;
    d.nants = 3;
    d.times = {2460000.6, 2460000.7};
    d.corrType = corrType;
    return writeSim(dir, name, d);
}

}  // namespace

// Opening, and scanning malformed streams: the messages a user meets (the fuzz corpus replays many
// more damaged streams and vartables through the reader, which must only fail cleanly).
TEST(UvFatal, OpeningAndTheStream)
{
    TempDir dir;
    const std::string none = dir.file("none.uv"), vt = "d time\ni n\n";
    auto warned = [](const std::string& warning, const std::string& message) {
        return escapeRe("### Warning:  " + warning + "\n") + fatalRe(message);
    };
    const std::pair<std::string, std::string> cases[] = {
        {none, warned("Error opening " + none + ", in UVOPEN(old)", "No such file or directory")},
        {handMadeSet(dir, "nt.uv", {{"header", ""}, {"visdata", ""}}),
         warned("Error opening vartable, in UVOPEN(vartable_in)", "No such file or directory")},
        {handMadeUv(dir, "d time\nx odd\n", "", "bt.uv"), fatalRe("Bad type (x) for variable odd")},
        {handMadeUv(dir, vt, Bytes().size(1, 4).u8(1).u8(0).u8(7).u8(0).i32(1).eor().s, "m1.uv"),
         fatalRe("Unrecognised record code 7, when scanning")},
        {handMadeUv(dir, vt, Bytes().size(1, 0).eor().s, "m2.uv"),
         fatalRe("Variable n has length of 0, when scanning")},
        {handMadeUv(dir, vt, Bytes().size(1, 6).eor().s, "m3.uv"),
         fatalRe("Non-integral no. elements in variable n, when scanning")},
        {handMadeUv(dir, vt, Bytes().size(1, 8).value(1).i32(1).s, "m4.uv"),
         warned("Error reading a variable value for n, while UV scanning", "End of file detected")},
        {handMadeUv(dir, vt, Bytes().size(1, 4).s.substr(0, 6), "m5.uv"),
         warned("Error reading a variable-length for n, while UV scanning", "End of file detected")},
    };
    for (const auto& [path, re] : cases)
        EXPECT_EXIT(
            {
                int t;
                uvopen_c(&t, path.c_str(), "old");
                while (uvscan_c(t, "") == 0) {
                }
            },
            testing::ExitedWithCode(1), re)
            << path;
}

// Reads of variables a data set holds with another type or size, and writes to a data set opened
// for reading.
TEST(UvFatal, VariableAccess)
{
    TempDir dir;
    std::string path = writeSimple(dir, "v.uv");
    auto scanThen = [](const std::function<void(int)>& read) {
        return [read](int t) {
            uvscan_c(t, "");
            read(t);
        };
    };
    double d, ddef = 0;
    int i[3];
    float f;
    expectFatal(
        path,
        {
            {"Variable nothing not found, in UVSCAN", [](int t) { uvscan_c(t, "nothing"); }},
            {"Type incompatiblity for variable source, in UVRDVR",
             scanThen([&](int t) { uvrdvr_c(t, IO_DBLE, "source", &d, &ddef, 1); })},
            {"Variable nothing not found, in UVGETVR", [&](int t) { uvgetvr_c(t, IO_INT, "nothing", i, 1); }},
            {"Variable pol has wrong type, in UVGETVR", [&](int t) { uvgetvr_c(t, IO_REAL, "pol", &f, 1); }},
            {"Variable pol currently has no value, in UVGETVR", [&](int t) { uvgetvr_c(t, IO_INT, "pol", i, 1); }},
            {"Buffer for variable pol has wrong size, in UVGETVR",
             scanThen([&](int t) { uvgetvr_c(t, IO_INT, "pol", i, 3); })},
            {"Attempt to write to a uv data set opened read-only, in UVWRITE",
             [](int t) { uvwrite_c(t, nullptr, nullptr, nullptr, 0); }},
        });
}

TEST(UvFatal, Reading)
{
    TempDir dir;
    expectFatal(writeSimple(dir, "r.uv"), {{"Callers buffer too small for channel data, in UVREAD", [](int t) {
                                                double pre[4];
                                                float data[8];
                                                int flags[4], n;
                                                uvread_c(t, pre, data, flags, 4, &n);
                                            }}});
    expectFatal(writeSimple(dir, "c.uv", 'c'), {{"Bad data type for variable corr, in UVREAD.", readOne}});
    // Required variables missing, of the wrong type, or without value; coord (0), time (1),
    // baseline (2) and the correlations (3) as each table lists them.
    auto coordTime = [] {
        return Bytes().size(0, 16).value(0).fill(4, 0).f64(1).f64(2).size(1, 8).value(1).fill(4, 0).f64(1);
    };
    const Bytes corr3 = Bytes().size(3, 8).value(3).f32(1).f32(0).fill(4, 0);
    struct HandMade {
        std::string vartable, visdata;
        Case fatal;
    };
    const HandMade handMade[] = {
        {"d time\n",
         Bytes().size(0, 8).value(0).fill(4, 0).f64(1).eor().s,
         {"UV file contains neither corr nor wcorr, in UVREAD(defline)", readOne}},
        {"d time\nr corr\nr baseline\n",
         Bytes().size(0, 8).value(0).fill(4, 0).f64(1).size(1, 8).value(1).f32(1).f32(0).fill(4, 0).eor().s,
         {"Variable coord is missing, in UVREAD", readOne}},
        {"d coord\ni time\nr corr\nr baseline\n",
         Bytes().size(1, 4).value(1).i32(1).size(2, 8).value(2).f32(1).f32(0).fill(4, 0).eor().s,
         {"Variable coord was not initialised before it was required, in UVREAD", readOne}},
        {"d coord\nd time\nr baseline\nc wcorr\n",
         coordTime().size(2, 4).value(2).f32(258).size(3, 8).value(3).fill(4, 0).f32(1).f32(0).eor().s,
         {"Corr data missing, when channel linetype requested",
          [](int t) {
              uvset_c(t, "data", "channel", 0, 1, 1, 1);
              readOne(t);
          }}},
        {"d coord\nd time\nd baseline\nr corr\n",
         coordTime().size(2, 8).value(2).fill(4, 0).f64(258).text(corr3.s).eor().s,
         {"Variable baseline has the wrong data type, in UVREAD", readOne}},
    };
    int k = 0;
    for (const HandMade& h : handMade)
        expectFatal(handMadeUv(dir, h.vartable, h.visdata, 'h' + std::to_string(k++) + ".uv"), {h.fatal});
}
