// The records of one antenna pair, as indices into the observation's record vector, with
// per-channel (SED) amplitude and phase statistics and per-point accessors that subtract
// the per-record (tcal) and per-channel (SED) medians on request.
#pragma once

#include "model/util.h"
#include "model/visibility.h"

#include <cstdint>
#include <vector>

class Baseline {
public:
    Baseline();
    // Decodes ant1/ant2 from `bl` (a malformed number is a fatal error) and sizes the
    // per-channel statistics to `nchan` all-zero records.
    Baseline(double bl, std::vector<Visibility>* allVis, unsigned nchan, unsigned goodch);

    // Appends a record index.
    void add(int index);

    // Point (i, c) is channel c of record allVis[vis[i]]. No accessor checks i or c.
    int Flagged(unsigned i, int c) const;
    float Amp(unsigned i, int c, bool tcal, bool sed) const;
    float Phase(unsigned i, int c, bool tcal, bool sed) const;

    // With tcal recomputes every record's own medians; with sed recomputes the per-channel
    // statistics over the unflagged records (of values with tcal removed when tcal is on).
    void updateStats(bool tcal, bool sed);
    // Statistics of every unflagged point's value as Phase / Amp return it.
    stats phaseStats(bool tcal, bool sed) const;
    stats ampStats(bool tcal, bool sed) const;

    std::vector<Visibility>* allVis = nullptr;  // not owned
    double bl = -1.0;
    int32_t ant1 = 0;
    int32_t ant2 = 0;
    uint32_t nchan = 0;
    uint32_t goodch = 0;
    std::vector<int32_t> vis;
    std::vector<stats> chanAmpStats;
    std::vector<stats> chanPhaseStats;

private:
    // Channels of `rec` that the statistics visit: a record shorter than the baseline
    // contributes only the channels it has.
    uint32_t channelsOf(const Visibility& rec) const;
    // ampStats (amp) or phaseStats, computed a part of the records per thread.
    stats pointStats(bool amp, bool tcal, bool sed) const;
};
