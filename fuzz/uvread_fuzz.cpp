// libFuzzer target: uvopen_c + uvread_c over a small uv data set made from the input. Fatal
// errors are the expected refusal of bad data: the fatal handler throws, after the error routine
// has closed every data set, and the next input runs; crashes, sanitizer reports and hangs are
// what the fuzzer finds. The same entry point replays the corpus in the tests (replay.cpp).
//
// Input: 2 bytes (big-endian) vartable length L, L bytes of "vartable", 1 settings byte, then
// "visdata". Settings: bit 0 the last 64 bytes of visdata form the "flags" mask instead;
// bit 1 an averaged channel line; bit 2 a polarisation selection; bit 3 wavelengths; bit 4 a
// long preamble; bit 5 a "vislen" 4 bytes short of the item; bit 6 a velocity line on the
// default grid; bit 7 a shadow selection and the variance of every record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "dataset/bug.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/uvio.h"

namespace {

struct Refused {};

void refuse(const char*)
{
    throw Refused{};
}

// The data set the inputs are written to, removed when the process ends.
struct Scratch {
    std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp && *tmp ? tmp : "/tmp") + "/uvread-fuzz-" + std::to_string(getpid()) + ".uv";
    }();
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

const std::string& dataSet()
{
    static Scratch scratch;
    return scratch.path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void readEverything(int settings)
{
    int tno = 0;
    uvopen_c(&tno, dataSet().c_str(), "old");
    if (settings & 2)
        uvset_c(tno, "data", "channel", 0, 1, 2, 3);
    if (settings & 4)
        uvselect_c(tno, "polarization", -5, 0, 1);
    if (settings & 8)
        uvset_c(tno, "coord", "wavelength", 0, 0, 0, 0);
    if (settings & 16)
        uvset_c(tno, "preamble", "uvw/time/baseline/pol/lst", 0, 0, 0, 0);
    if (settings & 64)
        uvset_c(tno, "data", "velocity", 0, 0, 0, 0);
    if (settings & 128)
        uvselect_c(tno, "shadow", 0, 0, 0);
    static double pre[16];
    static float data[2 * 4096];
    static int flags[4096];
    int nread = 0;
    for (int records = 0; records < 10000; ++records) {
        uvread_c(tno, pre, data, flags, 4096, &nread);
        if (!nread)
            break;
        if (settings & 128) {
            double variance = 0;
            uvinfo_c(tno, "variance", &variance);
        }
    }
    uvclose_c(tno);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    size_t vtlen = (size_t(data[0]) << 8) | data[1];
    if (vtlen + 3 > size)
        return 0;
    const uint8_t* vartable = data + 2;
    int settings = data[2 + vtlen];
    const uint8_t* vis = data + 3 + vtlen;
    size_t vislen = size - 3 - vtlen;

    const std::string ds = dataSet();
    std::error_code ec;
    std::filesystem::remove_all(ds, ec);
    mkdir(ds.c_str(), 0777);
    writeFile(ds + "/header", nullptr, 0);
    writeFile(ds + "/vartable", vartable, vtlen);
    if ((settings & 1) && vislen >= 64) {
        writeFile(ds + "/flags", vis + vislen - 64, 64);
        vislen -= 64;
    }
    writeFile(ds + "/visdata", vis, vislen);
    if ((settings & 32) && vislen >= 4) {
        int tno = 0, iostat = 0;
        hopen_c(&tno, ds.c_str(), "old", &iostat);
        if (iostat == 0) {
            wrhdl_c(tno, "vislen", static_cast<int64_t>(vislen) - 4);
            hclose_c(tno);
        }
    }
    bughandler_c(refuse);
    try {
        readEverything(settings);
    } catch (const Refused&) {
    }
    bughandler_c(nullptr);
    return 0;
}
