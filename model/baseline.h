// The records of one antenna pair, as indices into the observation's record vector, with
// per-channel (SED) amplitude and phase statistics and per-point accessors that subtract
// the per-record (tcal) and per-channel (SED) medians on request. Statistics are computed for
// one quantity at a time, when first asked for, and kept: the records never change.
#pragma once

#include "model/util.h"
#include "model/visibility.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// Where a computation of statistics may leave the values it computed for every point, so that a
// caller about to show the points need not compute them again: record after record in vis
// order, every channel of each record (its Visibility::nchan), each as Amp or Phase returns it
// with the computation's tcal and without sed.
struct PointRows {
    bool amp = true;  // the quantity wanted
    bool filled = false;  // set by a computation of that quantity, which also sets tcal
    bool tcal = false;
    std::unique_ptr<float[]> values;
};

class Baseline {
public:
    Baseline();
    // Decodes ant1/ant2 from `bl` (a malformed number is a fatal error) and sizes the
    // per-channel statistics to `nchan` all-zero records.
    Baseline(double bl, std::vector<Visibility>* allVis, unsigned nchan, unsigned goodch);

    // Appends a record index (and forgets the statistics computed so far).
    void add(int index);

    // Point (i, c) is channel c of record allVis[vis[i]]. No accessor checks i or c.
    int Flagged(unsigned i, int c) const;
    float Amp(unsigned i, int c, bool tcal, bool sed) const;
    float Phase(unsigned i, int c, bool tcal, bool sed) const;

    // For the amplitudes (amps) and the phases (phases): with tcal sets every record's own
    // medians; with sed each channel's median and count over the unflagged records (of values
    // with tcal removed when tcal is on), all that Amp and Phase need; and what ampStats or
    // phaseStats will return. What was computed before is not computed again. A computation of
    // the quantity `rows` asks for fills it.
    void updateStats(bool tcal, bool sed, bool amps = true, bool phases = true, PointRows* rows = nullptr);
    // The per-channel statistics of the amplitudes (amp) or phases of the last updateStats with
    // sed, with all their fields: computed from the records when first asked for.
    const std::vector<stats>& channelStats(bool amp);
    // Statistics of every unflagged point's value as Phase / Amp return it; first brings that
    // quantity's medians and channel statistics up to date as updateStats does.
    stats phaseStats(bool tcal, bool sed, PointRows* rows = nullptr);
    stats ampStats(bool tcal, bool sed, PointRows* rows = nullptr);

    std::vector<Visibility>* allVis = nullptr;  // not owned
    double bl = -1.0;
    int32_t ant1 = 0;
    int32_t ant2 = 0;
    uint32_t nchan = 0;
    uint32_t goodch = 0;
    std::vector<int32_t> vis;
    // Each channel's median and count (see updateStats; channelStats fills in the rest).
    std::vector<stats> chanAmpStats;
    std::vector<stats> chanPhaseStats;

private:
    // What has been computed of one quantity.
    struct Computed {
        bool recordMedians = false;  // every record's own median
        int channelsFor = -1;  // the tcal (0 or 1) of the channel statistics; -1 before any
        bool channelsFull = false;  // they have every field, not only median and count
        std::optional<stats> points[4];  // ampStats or phaseStats by tcal + 2 * sed
    };
    Computed computed[2];  // amplitudes, phases

    // Channels of `rec` that the statistics visit: a record shorter than the baseline
    // contributes only the channels it has.
    uint32_t channelsOf(const Visibility& rec) const;
    // Brings the amplitudes' (amp) or phases' record medians (tcal), channel statistics (sed;
    // with every field when `full`) and point statistics up to date, from one computation of
    // every value, which go to `rows` when it asks for this quantity.
    void compute(bool amp, bool tcal, bool sed, bool full = false, PointRows* rows = nullptr);
};
