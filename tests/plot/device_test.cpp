// Device lookup: the table's minimum ordered match, S2GL_DEV for an empty name, the "/?" prompt
// fed on standard input, and s2opend in a real process without a display.
#include "plot/device.h"

#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kestrum::plot {
namespace {

using kestrum::test::binary;
using kestrum::test::run;

// findDevice with `input` as standard input; collects what it writes.
struct Lookup {
    const Device* device = nullptr;
    std::string out, err;
};

Lookup lookup(const char* name, const char* env, const std::string& input = "")
{
    Lookup r;
    std::string data = input;
    std::FILE* in = data.empty() ? std::fopen("/dev/null", "r") : fmemopen(data.data(), data.size(), "r");
    char *outBuf = nullptr, *errBuf = nullptr;
    std::size_t outLen = 0, errLen = 0;
    std::FILE* out = open_memstream(&outBuf, &outLen);
    std::FILE* err = open_memstream(&errBuf, &errLen);
    r.device = findDevice(name, env, in, out, err);
    std::fclose(in);
    std::fclose(out);
    std::fclose(err);
    r.out.assign(outBuf, outLen);
    r.err.assign(errBuf, errLen);
    std::free(outBuf);
    std::free(errBuf);
    return r;
}

const std::string kUnknown = "s2opend: device \"/S2XYZ\" is unknown.\n";
const std::string kNoDevice = "S2GL WARNING ... <s2opend>: cannot determine device (check S2GL_DEV variable)\n";
const std::string kPrompt = "Graphics device type (? to see list): ";
const std::string kList = "Valid interactive S2GL devices include:\n"
                          "   /S2MONO (mono screen display)\n"
                          "  /S2MONOF (mono full-screen display)\n"
                          " (*) Full-screen support depends on windowmanager.\n"
                          " (*) Case-insensitive, minimum ordered match applies.\n";

// Case-insensitive minimum ordered match on the name, or on S2GL_DEV for an empty name, or
// on the answers to the "/?" prompt, until one matches or the input ends.
TEST(DeviceLookup, NamesS2GL_DEVAndThePrompt)
{
    const struct {
        const char *name, *env, *input, *device;  // device nullptr: none found
        std::string out = "", err = "";
    } cases[] = {
        {"/s2monof", nullptr, "", "/S2MONOF"},
        {"/S2", nullptr, "", "/S2MONO"},
        {"/S2M", nullptr, "", "/S2MONO"},
        {"/s2a", nullptr, "", "/S2ACTIV"},
        {"/S2WPASSVF", nullptr, "", "/S2WPASSVF"},
        {"/png", nullptr, "", "/PNG"},  // after the window devices, whose lookups stay
        {"/S2MONO  ", nullptr, "", "/S2MONO"},  // trailing blanks are padding
        {"/S2XYZ", "/S2MONO", "", nullptr, "", kUnknown},
        {"/S2MONOFF", nullptr, "", nullptr, "", "s2opend: device \"/S2MONOFF\" is unknown.\n"},
        {"S2MONO", nullptr, "", nullptr, "", "s2opend: device \"S2MONO\" is unknown.\n"},
        {"", "/s2monof", "", "/S2MONOF"},
        {nullptr, "/S2", "", "/S2MONO"},
        {" ", "/S2XYZ", "", nullptr, "", kUnknown},
        {"", nullptr, "", nullptr, "", kNoDevice},
        {"", "", "", nullptr, "", kNoDevice},
        {"/?", nullptr, "?\n/bogus\n\n/s2monof\n", "/S2MONOF", kPrompt + kList + kPrompt + kPrompt + kPrompt,
         "s2opend: device \"/bogus\" is unknown.\n"},
        {"/?", "/S2MONOF", "\n", "/S2MONOF", "Graphics device type (? to see list, default /S2MONOF): "},
        {"/?", nullptr, "/nothing", nullptr, kPrompt + kPrompt + "\n",
         "s2opend: device \"/nothing\" is unknown.\nS2GL WARNING ... <s2opend>: no device chosen (end of input)\n"},
    };
    for (const auto& c : cases) {
        const Lookup r = lookup(c.name, c.env, c.input);
        const std::string what = std::string(c.name ? c.name : "(null)") + " " + (c.env ? c.env : "(null)");
        EXPECT_STREQ(r.device ? r.device->name : nullptr, c.device) << what;
        if (r.device) {
            EXPECT_EQ(r.device->fullScreen, std::string(c.device).back() == 'F') << what;
        }
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(r.err, c.err) << what;
    }
}

// s2opend in a real process: the driver prints "s2opend: N" and goes on when it gets 0.
TEST(Opend, FailuresWarnReturnZeroAndTheProcessGoesOn)
{
    const struct {
        std::vector<std::string> args, env;
        std::string input, err;  // err: a part of the error output
    } cases[] = {
        {{}, {"DISPLAY="}, "", "S2GL WARNING ... <s2opend>: no display"},
        {{}, {"DISPLAY=:8917"}, "", "S2GL WARNING ... <s2opend>: cannot open display \":8917\""},
        {{"--device", "/S2XYZ"}, {"DISPLAY="}, "", kUnknown},
        {{"--device", ""}, {"DISPLAY=", "S2GL_DEV="}, "", kNoDevice},
        {{"--device", ""}, {"DISPLAY=", "S2GL_DEV=/s2mono"}, "", "no display"},
        {{"--device", "/?"}, {"DISPLAY=", "S2GL_DEV=/S2MONOF"}, "?\n/s2mono\n", "no display"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{binary("tests/plot/plot_driver")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run(argv, c.input, c.env, 60.0);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("s2opend: 0\n"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace kestrum::plot
