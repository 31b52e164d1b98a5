// Writes complete uv data sets (visibilities, flags, variables, header items) through the
// uv layer from a simple description; used by tests, benchmarks and the simulator.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kestrum::sim {

// One spectral window: channel count, first-channel sky frequency and increment (GHz),
// rest frequency (GHz).
struct Window {
    int nschan = 8;
    double sfreq = 1.0;
    double sdf = 0.001;
    double restfreq = 1.42040575;
};

// The record a callback is asked about.
struct UvRecord {
    int64_t index = 0;  // 0-based, in writing order
    int timeIndex = 0;  // index into UvDescription::times
    double time = 0;  // Julian date
    int ant1 = 0, ant2 = 0;  // antennas, ant1 <= ant2
    double baseline = 0;  // baseline number
    int pol = 0;  // polarisation code
    std::string source;
    double u = 0, v = 0, w = 0;  // nanoseconds
    double lst = 0;  // radians, set by the coord callback for UVH5 files
};

// A data set: for each time, for each baseline, for each polarisation one record.
struct UvDescription {
    int nants = 4;
    // Antenna pairs (a1 <= a2); empty: every pair a1 < a2 of 1..nants, plus (a, a) when `autos`.
    std::vector<std::pair<int, int>> baselines;
    bool autos = false;
    std::vector<Window> windows{Window{}};
    std::vector<double> times{2460000.5};
    std::vector<int> pols{-5};
    // Source name per time index (default "sim").
    std::function<std::string(int timeIndex)> source;
    char corrType = 'r';  // "corr" as 'r' real pairs, 'j' 16-bit pairs with "tscale", 'c' complex
    bool flags = true;  // write the "flags" mask
    bool uvw = false;  // three "coord" elements instead of two
    double inttime = 10.0;  // seconds ("inttime")
    float veldop = 0, vsource = 0;  // km/s: observatory and source velocities ("veldop", "vsource")
    int wideChannels = 0;  // > 0: also "wcorr" with that many channels and "wflags"
    // Channel value (default: 1 + 0i) and flag (default: good) of a record.
    std::function<std::complex<float>(const UvRecord&, int channel)> value;
    std::function<bool(const UvRecord&, int channel)> good;
    // u, v, w in nanoseconds (default: an east-west array of 100 ns spacing turning with time).
    std::function<void(UvRecord&)> coord;
    // Extra variables (uvputvr_c) written just before each record; the handle is 0 when the
    // description is written as a UVH5 file, which has no such variables.
    std::function<void(int tno, const UvRecord&)> perRecord;
    // Extra header items, written once after opening.
    std::function<void(int tno)> header;
};

// The antenna pairs a description writes, in order.
std::vector<std::pair<int, int>> baselinesOf(const UvDescription& d);

// Baseline number of antennas a1 <= a2 (256 a1 + a2, or 2048 a1 + a2 + 65536 above 255).
double baselineNumber(int a1, int a2);

// Sets the antennas, baseline number and u, v, w of `r` (at its time index) for the pair a1, a2,
// with the description's coord or its default track.
void placeBaseline(const UvDescription& d, UvRecord& r, int a1, int a2);

// Writes the data set at `path`, which must not exist; returns the number of records written.
int64_t writeUv(const std::string& path, const UvDescription& d);

}  // namespace kestrum::sim
