// Calibration tables for simulated data sets: antenna gains with delay terms ("gains"),
// bandpasses with their frequencies ("bandpass", "freqs"), per-baseline channel gains
// ("cgains", "wgains"), the header values that describe them, and the factors the calibration
// will apply, so that a simulator can corrupt its model data by their inverse.
#pragma once

#include <complex>
#include <vector>

namespace kestrum::sim {

using Gain = std::complex<float>;

// Antenna gains: for each solution a time and, per antenna, `nfeeds` gains followed by `ntau`
// delay terms. A gain of 0 marks "no solution" for that antenna and feed. A delay term's real
// part is a spectral power-law index against `freq0`, its imaginary part a phase slope in
// radians per GHz.
struct GainTable {
    int nants = 0;
    int nfeeds = 1;
    int ntau = 0;
    double interval = 0;  // how far (days) from its time a solution applies
    double freq0 = 0;  // reference frequency of the delay terms (GHz)
    std::vector<double> times;
    std::vector<std::vector<Gain>> entries;  // per solution, ngains() values

    GainTable(int nants, int nfeeds, int ntau, double interval);
    int ngains() const { return nants * (nfeeds + ntau); }
    // Appends a solution with every gain 1 and every delay term 0; returns its index (from 0).
    int addSolution(double time);
    // Antennas and feeds count from 1.
    Gain& gain(int solution, int ant, int feed);
    Gain& delay(int solution, int ant);
    const Gain& gain(int solution, int ant, int feed) const;
    const Gain& delay(int solution, int ant) const;
};

struct SpectralWindow {
    int nchan = 0;
    double sfreq = 0;  // first channel (GHz)
    double sdf = 0;  // channel increment (GHz)
};

// Bandpasses: for each solution every gain entry's channels (all windows end to end). With no
// solution times there is one solution for all times.
struct BandpassTable {
    int nants = 0;
    int nfeeds = 1;
    int ntau = 0;
    std::vector<SpectralWindow> windows;
    std::vector<double> times;
    std::vector<std::vector<Gain>> values;  // per solution, ngains() * nchan() values

    BandpassTable(int nants, int nfeeds, int ntau, std::vector<SpectralWindow> windows);
    int ngains() const { return nants * (nfeeds + ntau); }
    int nchan() const;
    // Appends a solution with every value 1; with `timed`, at `time`. Returns its index.
    int addSolution(double time = 0, bool timed = false);
    Gain& value(int solution, int ant, int feed, int channel);
    const Gain& value(int solution, int ant, int feed, int channel) const;
    // The sky frequency (GHz) of a channel counted across all windows.
    double frequency(int channel) const;
};

// Per-baseline channel gains: `nbase` baselines of `nchan` values, baselines ordered
// (1,1), (1,2) ... (1,nants), (2,2) ... with `nants` the antenna count the calibration assumes
// (that of the gain table, or 64 without one).
struct BaselineGains {
    int nants = 64;
    int nchan = 0;
    int nbase = 0;
    std::vector<Gain> values;

    BaselineGains(int nants, int nchan);  // every baseline, every value 1
    Gain& value(int ant1, int ant2, int channel);
    const Gain& value(int ant1, int ant2, int channel) const;
};

// Writes "gains" and the header values "ngains", "nfeeds", "ntau", "nsols", "interval" and,
// with delay terms, "freq0" into the open data set `tno`. Errors are fatal through bug_c.
void writeGains(int tno, const GainTable& gains);
// Writes "freqs", "bandpass", "nchan0", "nspect0", "nbpsols"; with `layout`, also "ngains",
// "nfeeds" and "ntau" (needed when the data set carries no gain table).
void writeBandpass(int tno, const BandpassTable& bandpass, bool layout);
// Writes "cgains" with "ncgains" and "ncbase", or with `wide` "wgains", "nwgains", "nwbase".
void writeBaselineGains(int tno, const BaselineGains& table, bool wide);

// The gain product g1 * conj(g2) that calibration applies at `time` to antennas a1 (feed f1)
// and a2 (feed f2), for a time that lies within the interval of no more than one solution:
// false when no solution with gains for both reaches it. With delay terms *delay receives the
// baseline delay term of that solution, else 0.
bool gainProduct(const GainTable& gains, double time, int a1, int f1, int a2, int f2, std::complex<double>* product,
                 std::complex<double>* delay);
// Bandpass of a1's feed times the conjugate bandpass of a2's feed at `channel` of `solution`.
std::complex<double> bandpassProduct(const BandpassTable& bandpass, int solution, int a1, int f1, int a2, int f2,
                                     int channel);
// The factor a baseline delay term applies at frequency `freq` (GHz).
std::complex<double> delayFactor(std::complex<double> delay, double freq, double freq0);

}  // namespace kestrum::sim
