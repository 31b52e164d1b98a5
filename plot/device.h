// The device table and the lookup of a device by name, including the interactive "/?" prompt.
#pragma once

#include <cstdio>

namespace kestrum::plot {

enum class Projection {
    Mono,
    ActiveStereo,
    PassiveStereo,
    Fisheye,
    TruncatedBase,
    TruncatedTop,
    Warp,
    Anaglyph,
    DualScreenAnaglyph,
    Trioscopic,
    Interleaved,
    WidePassive,
    Picture  // no window: a monoscopic frame written as a PNG file
};

struct Device {
    const char* name;
    const char* description;
    bool fullScreen;
    Projection projection;
    bool listed;  // shown in the "?" list: the devices this library draws as they are meant
};

// The devices in lookup order.
const Device* deviceTable(int* count);

// Resolves `name` as s2opend does: "" or " " takes `envDevice` (S2GL_DEV, may be null); "/?"
// prompts on `out`, reading answers from `in`; otherwise the first entry that starts with the
// name, case-insensitively. Messages go to `out`/`err`. Returns the entry, or null (after the
// message) when nothing matches, no device is named, or the prompt's input ends.
const Device* findDevice(const char* name, const char* envDevice, std::FILE* in, std::FILE* out, std::FILE* err);

// A window or picture size from the environment variable `variable`: a whole number of pixels
// in 1 .. 16384, else `fallback` (with a warning when the variable is set to something else).
int sizeFromEnv(const char* variable, int fallback);

// The library's warning form on `err`: "S2GL WARNING ... <routine>: text".
void warn(std::FILE* err, const char* routine, const char* text);

}  // namespace kestrum::plot
