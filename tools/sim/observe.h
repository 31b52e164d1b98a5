// Simulated interferometer observations: an array of antennas observing a calibrator and
// target fields in scans, with bandpass, gains, noise and interference, written as a uv data
// set or a UVH5 file. Deterministic for a given seed.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrum::sim {

// What to simulate. The first source is the calibrator (one bright point at the phase
// centre); every further source is a target field of a few weaker points.
struct ObserveConfig {
    std::string out;  // data set to create (must not exist)
    int nants = 10;  // antennas, numbered from 1
    int nchan = 256;  // channels of the one spectral window
    std::vector<std::string> sources{"3c286", "target"};
    std::vector<int> pols{-5, -6};  // polarisation codes of each record group
    double hours = 2.0;  // span from the first to the last integration
    double inttime = 10.0;  // seconds per integration
    int scans = 4;  // scans, separated by gaps, alternating calibrator and target
    bool corr16 = false;  // store "corr" as scaled 16-bit integers
    bool uvh5 = false;  // write a UVH5 file (HDF5) instead of a uv data set
    uint64_t seed = 1;
    double sfreq = 1.4;  // sky frequency of channel 1, GHz
    double bandwidth = 0.1;  // GHz over all channels
    double noise = 0.05;  // rms of the noise of each real and imaginary part, Jy
    bool rfi = true;  // persistent channels, bursts and a misbehaving antenna
    // With ant1 > 0: a transmitter in one channel and a burst in one integration on this
    // baseline alone (with or without rfi).
    int faultAnt1 = 0, faultAnt2 = 0;
    // Also corrupt by a delay per antenna and write the calibration tables that undo the gains,
    // delays and bandpasses ("gains" with delay terms, "bandpass", "freqs"), with a gap in the
    // gain solutions and one antenna without gains for a while. At most 64 antennas.
    bool cal = false;
};

// Where the calibration tables leave records without a solution (integration numbers from 0,
// ranges [first, end)).
struct CalibrationGaps {
    int64_t gapFirst = 0, gapEnd = 0;  // no gain solution at all
    int zeroAntenna = 0;  // antenna with a zero gain ...
    int64_t zeroFirst = 0, zeroEnd = 0;  // ... in these integrations
};

// Where the interference went, so that tests and demos know what to look for.
struct Interference {
    std::vector<int> channels;  // zero-based channels with a persistent transmitter
    std::vector<int> burstIntegrations;  // integration numbers (from 0) hit by a broad-band burst
    int badAntenna = 0;  // antenna with erratic gains, 0 when none
    int edgeChannels = 0;  // channels flagged at each end of the band
    int faultChannel = -1;  // the one baseline's transmitter channel, -1 when none
    int faultIntegration = -1;  // the one baseline's burst, -1 when none
};

// What was written.
struct ObserveSummary {
    int64_t records = 0;  // records written (all polarisations)
    int64_t integrations = 0;  // time stamps
    int baselines = 0;  // cross-correlation baselines
    std::vector<int64_t> recordsPerSource;  // records per source, in the config's order
    Interference rfi;
    CalibrationGaps cal;  // with config.cal
};

// Checks a configuration; an empty result means it can be simulated, otherwise the text
// says what is wrong.
std::string checkConfig(const ObserveConfig& config);

// Writes the data set. `progress`, when given, is called after each integration with the
// number of integrations written and the total. The configuration must pass checkConfig.
ObserveSummary observe(const ObserveConfig& config,
                       const std::function<void(int64_t done, int64_t total)>& progress = {});

// The interference that observe() puts into a data set of this configuration.
Interference plannedInterference(const ObserveConfig& config);

// Number of integrations and their scan plan: for each integration its time offset from the
// start in seconds and the index of its source in config.sources.
struct Integration {
    double seconds;
    int source;
};
std::vector<Integration> schedule(const ObserveConfig& config);

}  // namespace kestrum::sim
