// Device table and lookup by case-insensitive minimum ordered match.
#include "plot/device.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrum::plot {
namespace {

const Device kDevices[] = {
    {"/S2MONO", "mono screen display", false, Projection::Mono, true},
    {"/S2MONOF", "mono full-screen display", true, Projection::Mono, true},
    {"/S2ACTIV", "active stereo", false, Projection::ActiveStereo, false},
    {"/S2ACTIVF", "active stereo full-screen", true, Projection::ActiveStereo, false},
    {"/S2PASSV", "passive stereo", false, Projection::PassiveStereo, false},
    {"/S2PASSVF", "passive stereo full-screen", true, Projection::PassiveStereo, false},
    {"/S2FISH", "fisheye projection", false, Projection::Fisheye, false},
    {"/S2FISHF", "fisheye projection full-screen", true, Projection::Fisheye, false},
    {"/S2TRUNCB", "truncated-base fisheye", false, Projection::TruncatedBase, false},
    {"/S2TRUNCBF", "truncated-base fisheye full-screen", true, Projection::TruncatedBase, false},
    {"/S2TRUNCT", "truncated-top fisheye", false, Projection::TruncatedTop, false},
    {"/S2TRUNCTF", "truncated-top fisheye full-screen", true, Projection::TruncatedTop, false},
    {"/S2WARP", "warped projection", false, Projection::Warp, false},
    {"/S2WARPF", "warped projection full-screen", true, Projection::Warp, false},
    {"/S2ANA", "anaglyph stereo", false, Projection::Anaglyph, false},
    {"/S2ANAF", "anaglyph stereo full-screen", true, Projection::Anaglyph, false},
    {"/S2DSANA", "dual-screen anaglyph", false, Projection::DualScreenAnaglyph, false},
    {"/S2DSANAF", "dual-screen anaglyph full-screen", true, Projection::DualScreenAnaglyph, false},
    {"/S2TRIO", "trioscopic stereo", false, Projection::Trioscopic, false},
    {"/S2INTER", "interleaved stereo", false, Projection::Interleaved, false},
    {"/S2INTERF", "interleaved stereo full-screen", true, Projection::Interleaved, false},
    {"/S2WPASSV", "wide passive stereo", false, Projection::WidePassive, false},
    {"/S2WPASSVF", "wide passive stereo full-screen", true, Projection::WidePassive, false},
    {"/PNG", "PNG file of one frame, no display", false, Projection::Picture, false},
};
constexpr int kDeviceCount = sizeof kDevices / sizeof kDevices[0];

const Device* matchDevice(const std::string& name)
{
    for (const Device& d : kDevices) {
        if (name.size() > std::strlen(d.name))
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i)
            same = std::toupper(static_cast<unsigned char>(name[i])) == static_cast<unsigned char>(d.name[i]);
        if (same)
            return &d;
    }
    return nullptr;
}

void printList(std::FILE* out)
{
    std::fprintf(out, "Valid interactive S2GL devices include:\n");
    for (const Device& d : kDevices)
        if (d.listed)
            std::fprintf(out, "%10s (%s)\n", d.name, d.description);
    std::fprintf(out, " (*) Full-screen support depends on windowmanager.\n");
    std::fprintf(out, " (*) Case-insensitive, minimum ordered match applies.\n");
}

// One answer line without its line end and trailing blanks; false at end of input.
bool readAnswer(std::FILE* in, std::string& answer)
{
    answer.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n')
        answer.push_back(static_cast<char>(c));
    if (c == EOF && answer.empty())
        return false;
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back())))
        answer.pop_back();
    return true;
}

const Device* prompt(const char* envDevice, std::FILE* in, std::FILE* out, std::FILE* err)
{
    const bool haveDefault = envDevice != nullptr && *envDevice != '\0';
    std::string answer;
    for (;;) {
        if (haveDefault)
            std::fprintf(out, "Graphics device type (? to see list, default %s): ", envDevice);
        else
            std::fprintf(out, "Graphics device type (? to see list): ");
        std::fflush(out);
        if (!readAnswer(in, answer)) {
            std::fprintf(out, "\n");
            warn(err, "s2opend", "no device chosen (end of input)");
            return nullptr;
        }
        if (answer == "?") {
            printList(out);
            continue;
        }
        if (answer.empty()) {
            if (!haveDefault)
                continue;
            answer = envDevice;
        }
        if (const Device* d = matchDevice(answer))
            return d;
        std::fprintf(err, "s2opend: device \"%s\" is unknown.\n", answer.c_str());
    }
}

}  // namespace

const Device* deviceTable(int* count)
{
    *count = kDeviceCount;
    return kDevices;
}

int sizeFromEnv(const char* variable, int fallback)
{
    const char* text = std::getenv(variable);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 16384) {
        char message[160];
        std::snprintf(message, sizeof message, "%s=\"%.40s\" is not a window size in pixels; using %d", variable, text,
                      fallback);
        warn(stderr, "s2opend", message);
        return fallback;
    }
    return static_cast<int>(v);
}

void warn(std::FILE* err, const char* routine, const char* text)
{
    std::fprintf(err, "S2GL WARNING ... <%s>: %s\n", routine, text);
    std::fflush(err);
}

const Device* findDevice(const char* name, const char* envDevice, std::FILE* in, std::FILE* out, std::FILE* err)
{
    std::string wanted = name ? name : "";
    while (!wanted.empty() && wanted.back() == ' ')
        wanted.pop_back();
    if (wanted.empty()) {
        if (envDevice == nullptr || *envDevice == '\0') {
            warn(err, "s2opend", "cannot determine device (check S2GL_DEV variable)");
            return nullptr;
        }
        wanted = envDevice;
    }
    if (wanted == "/?")
        return prompt(envDevice, in, out, err);
    if (const Device* d = matchDevice(wanted))
        return d;
    std::fprintf(err, "s2opend: device \"%s\" is unknown.\n", wanted.c_str());
    return nullptr;
}

}  // namespace kestrum::plot
