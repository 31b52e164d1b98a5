// One record of the polarisation under study: one time stamp of one baseline, every
// channel's complex value (or amplitude) and flag byte, and its own medians across channels.
#pragma once

#include "model/channelstore.h"

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

class Visibility {
public:
    // Copies `nchan` values from `data` and `flags` (flags truncated to their low 8 bits;
    // 0 means usable) into `store`, which must outlive the record. With `ampOnly` only the
    // amplitudes are kept, else only the complex values; complex values that already lie at
    // store.room() (a loader can read them straight there) are kept where they are. Both
    // medians start at 0. A negative nchan is taken as 0.
    // A float buffer of (re, im) pairs filled by the task layer can be passed as complex
    // values by allocating it as std::complex<float> and handing the task layer
    // reinterpret_cast<float*>(buffer).
    Visibility(int visno, double uu, double vv, double time, double bl, double lst, int pol, int nchan,
               const std::complex<float>* data, const int* flags, bool ampOnly, ChannelStore& store);
    // Bytes a record of `nchan` channels takes in its store: its values, then its flags.
    static size_t storeBytes(uint32_t nchan, bool ampOnly);

    // Amplitude of channel `chan`, minus ampMedian when `sub`.
    float Amp(int chan, bool sub) const;
    // Phase of channel `chan` in radians (-pi .. pi), minus phaseMedian when `sub` (not
    // wrapped). Always 0 in amplitude-only mode.
    float Phase(int chan, bool sub) const;
    // Flag byte of channel `chan`: non-zero means flagged.
    int Flagged(int chan) const;
    // Medians of amplitude and phase across all channels, flagged ones included.
    void calcMedian();

    // Amp(c, false) and Phase(c, false) of every channel, into the two vectors (resized).
    void values(std::vector<float>& amps, std::vector<float>& phases) const;
    // Amp(c, false), or Phase(c, false), of channels 0 .. n - 1 (n <= nchan) into out[0, n).
    // rawAmps brings the values and flags of `next`, the record the caller takes next (if any),
    // into the cache meanwhile.
    void rawAmps(float* out, uint32_t n, const Visibility* next = nullptr) const;
    void rawPhases(float* out, uint32_t n) const;
    // Amp(c, sub), or with !amp Phase(c, sub), of channels 0 .. n - 1 (n <= nchan) into out[0, n).
    void valuesOf(bool amp, bool sub, float* out, uint32_t n) const;
    // calcMedian over the output of values(), which it then turns in place into what
    // Amp(c, true) and Phase(c, true) return; `scratch` is working space. Lets a caller that
    // needs both the medians and the subtracted values compute each channel's value once.
    void takeMedians(std::vector<float>& amps, std::vector<float>& phases, std::vector<float>& scratch);

    bool ampOnly;
    int32_t visno;
    double uu;
    double vv;
    double time;  // Julian date
    double bl;  // baseline number
    double lst;
    int32_t pol;
    uint32_t nchan;
    // In the store given to the constructor.
    std::span<const float> amp;  // filled only when ampOnly
    std::span<const std::complex<float>> data;  // filled only when !ampOnly
    std::span<const uint8_t> flags;
    double ampMedian;
    double phaseMedian;
};
