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

TEST(DeviceLookup, CaseInsensitiveMinimumOrderedMatch)
{
    EXPECT_STREQ(lookup("/s2monof", nullptr).device->name, "/S2MONOF");
    EXPECT_TRUE(lookup("/s2monof", nullptr).device->fullScreen);
    EXPECT_STREQ(lookup("/S2", nullptr).device->name, "/S2MONO");
    EXPECT_FALSE(lookup("/S2", nullptr).device->fullScreen);
    EXPECT_STREQ(lookup("/s2mono", nullptr).device->name, "/S2MONO");
    EXPECT_STREQ(lookup("/S2M", nullptr).device->name, "/S2MONO");
    EXPECT_STREQ(lookup("/S2MONOF", nullptr).device->name, "/S2MONOF");
    EXPECT_STREQ(lookup("/s2a", nullptr).device->name, "/S2ACTIV");
    EXPECT_STREQ(lookup("/S2WPASSVF", nullptr).device->name, "/S2WPASSVF");
    EXPECT_STREQ(lookup("/S2MONO  ", nullptr).device->name, "/S2MONO") << "trailing blanks are padding";
}

TEST(DeviceLookup, UnknownNameIsReportedOnStandardError)
{
    const Lookup r = lookup("/S2XYZ", "/S2MONO");
    EXPECT_EQ(r.device, nullptr);
    EXPECT_EQ(r.err, "s2opend: device \"/S2XYZ\" is unknown.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lookup("/S2MONOFF", nullptr).device, nullptr) << "longer than every entry";
    EXPECT_EQ(lookup("S2MONO", nullptr).device, nullptr);
}

TEST(DeviceLookup, EmptyNameTakesS2GL_DEV)
{
    EXPECT_STREQ(lookup("", "/s2monof").device->name, "/S2MONOF");
    EXPECT_STREQ(lookup(" ", "/S2").device->name, "/S2MONO");
    EXPECT_STREQ(lookup(nullptr, "/S2MONO").device->name, "/S2MONO");
    const Lookup bad = lookup("", "/nonsense");
    EXPECT_EQ(bad.device, nullptr);
    EXPECT_EQ(bad.err, "s2opend: device \"/nonsense\" is unknown.\n");
}

TEST(DeviceLookup, EmptyNameWithoutS2GL_DEVWarns)
{
    for (const char* env : {static_cast<const char*>(nullptr), ""}) {
        const Lookup r = lookup("", env);
        EXPECT_EQ(r.device, nullptr);
        EXPECT_EQ(r.err, "S2GL WARNING ... <s2opend>: cannot determine device (check S2GL_DEV variable)\n");
    }
}

TEST(DeviceLookup, PromptListsDevicesAndRepeatsUntilANameMatches)
{
    const Lookup r = lookup("/?", nullptr, "?\n/bogus\n\n/s2monof\n");
    ASSERT_NE(r.device, nullptr);
    EXPECT_STREQ(r.device->name, "/S2MONOF");
    const std::string prompt = "Graphics device type (? to see list): ";
    const std::string list = "Valid interactive S2GL devices include:\n"
                             "   /S2MONO (mono screen display)\n"
                             "  /S2MONOF (mono full-screen display)\n"
                             " (*) Full-screen support depends on windowmanager.\n"
                             " (*) Case-insensitive, minimum ordered match applies.\n";
    EXPECT_EQ(r.out, prompt + list + prompt + prompt + prompt);
    EXPECT_EQ(r.err, "s2opend: device \"/bogus\" is unknown.\n");
}

TEST(DeviceLookup, PromptEmptyAnswerTakesTheDefault)
{
    const Lookup r = lookup("/?", "/S2MONOF", "\n");
    ASSERT_NE(r.device, nullptr);
    EXPECT_STREQ(r.device->name, "/S2MONOF");
    EXPECT_EQ(r.out, "Graphics device type (? to see list, default /S2MONOF): ");
}

TEST(DeviceLookup, PromptGivesUpAtEndOfInput)
{
    const Lookup r = lookup("/?", nullptr, "?\n/nothing");
    EXPECT_EQ(r.device, nullptr);
    EXPECT_NE(r.err.find("S2GL WARNING ... <s2opend>: no device chosen"), std::string::npos);
    EXPECT_EQ(lookup("/?", nullptr, "").device, nullptr);
}

TEST(DeviceLookup, TableHasEveryNameAndItsFullScreenForm)
{
    int n = 0;
    const Device* t = deviceTable(&n);
    ASSERT_EQ(n, 24);
    EXPECT_STREQ(t[0].name, "/S2MONO");
    EXPECT_STREQ(t[22].name, "/S2WPASSVF");
    EXPECT_STREQ(t[23].name, "/PNG");  // after the window devices, so that their lookups stay
    for (int i = 0; i < n; ++i) {
        const std::string name = t[i].name;
        EXPECT_EQ(t[i].fullScreen, name.back() == 'F') << name;
        if (name.back() == 'F') {
            ASSERT_GT(i, 0);
            EXPECT_EQ(name, std::string(t[i - 1].name) + "F");
        }
    }
}

// s2opend in a real process: the driver prints "s2opend: N" and goes on when it gets 0.
const std::string kDriver = binary("tests/plot/plot_driver");

TEST(Opend, WithoutDisplayWarnsReturnsZeroAndTheProcessGoesOn)
{
    const auto r = run({kDriver}, "", {"DISPLAY="}, 60.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_NE(r.err.find("S2GL WARNING ... <s2opend>: no display"), std::string::npos) << r.err;
}

TEST(Opend, DisplayThatRefusesWarnsReturnsZeroAndTheProcessGoesOn)
{
    const auto r = run({kDriver}, "", {"DISPLAY=:8917"}, 60.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_NE(r.err.find("S2GL WARNING ... <s2opend>: cannot open display \":8917\""), std::string::npos) << r.err;
}

TEST(Opend, UnknownDeviceAndMissingS2GL_DEVFailBeforeAnyDisplay)
{
    auto r = run({kDriver, "--device", "/S2XYZ"}, "", {"DISPLAY="}, 60.0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_EQ(r.err, "s2opend: device \"/S2XYZ\" is unknown.\n");
    r = run({kDriver, "--device", ""}, "", {"DISPLAY=", "S2GL_DEV="}, 60.0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_EQ(r.err, "S2GL WARNING ... <s2opend>: cannot determine device (check S2GL_DEV variable)\n");
    r = run({kDriver, "--device", ""}, "", {"DISPLAY=", "S2GL_DEV=/s2mono"}, 60.0);
    EXPECT_EQ(r.out, "s2opend: 0\n");
    EXPECT_NE(r.err.find("no display"), std::string::npos) << "S2GL_DEV named a device, so the display was tried";
}

TEST(Opend, PromptReadsStandardInput)
{
    const auto r = run({kDriver, "--device", "/?"}, "?\n/s2mono\n", {"DISPLAY=", "S2GL_DEV=/S2MONOF"}, 60.0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out.rfind("Graphics device type (? to see list, default /S2MONOF): Valid interactive S2GL devices include:\n",
                    0),
        0u)
        << r.out;
    EXPECT_NE(r.out.find("s2opend: 0\n"), std::string::npos);
    EXPECT_NE(r.err.find("no display"), std::string::npos);
}

}  // namespace
}  // namespace kestrum::plot
