// Per-baseline statistics: per-record (tcal) medians and per-channel (SED) statistics.
#include "model/baseline.h"

#include "params/params.h"
#include "task/basant.h"

#include <algorithm>
#include <iostream>

uint32_t Baseline::channelsOf(const Visibility& rec) const
{
    return std::min(nchan, rec.nchan);
}

Baseline::Baseline() = default;

Baseline::Baseline(double bl, std::vector<Visibility>* allVis, unsigned nchan, unsigned goodch)
    : allVis(allVis), bl(bl), nchan(nchan), goodch(goodch), chanAmpStats(nchan), chanPhaseStats(nchan)
{
    int a1 = 0;
    int a2 = 0;
    basant(bl, &a1, &a2);
    ant1 = a1;
    ant2 = a2;
}

void Baseline::add(int index)
{
    vis.push_back(index);
}

int Baseline::Flagged(unsigned i, int c) const
{
    return (*allVis)[vis[i]].Flagged(c);
}

float Baseline::Amp(unsigned i, int c, bool tcal, bool sed) const
{
    const float a = (*allVis)[vis[i]].Amp(c, tcal);
    return sed ? static_cast<float>(a - chanAmpStats[c].median) : a;
}

float Baseline::Phase(unsigned i, int c, bool tcal, bool sed) const
{
    const float p = (*allVis)[vis[i]].Phase(c, tcal);
    return sed ? static_cast<float>(p - chanPhaseStats[c].median) : p;
}

void Baseline::updateStats(bool tcal, bool sed)
{
    if (Params::debug1)
        std::cout << "Baseline::updateStats(" << (tcal ? "tcal" : "notcal") << ", " << (sed ? "sed" : "nosed")
                  << ") BL=(" << ant1 << "-" << ant2 << ")" << std::endl;
    if (!tcal && !sed)
        return;

    // One pass over the records computes each channel's value once: the record's medians
    // (with tcal) and the unflagged values gathered per channel (with sed).
    std::vector<std::vector<float>> ampCols(sed ? nchan : 0);
    std::vector<std::vector<float>> phaseCols(sed ? nchan : 0);
    for (uint32_t c = 0; c < ampCols.size(); ++c) {
        ampCols[c].reserve(vis.size());
        phaseCols[c].reserve(vis.size());
    }
    // Records are taken in small blocks and their values handed to the channel lists block by
    // block, so each list grows by a run of values at a time instead of one value per record
    // spread over thousands of lists.
    constexpr size_t block = 16;
    std::vector<float> amps, phases, scratch;
    std::vector<float> blockAmps(sed ? block * nchan : 0), blockPhases(sed ? block * nchan : 0);
    std::vector<uint8_t> blockFlags(sed ? block * nchan : 0);
    for (size_t first = 0; first < vis.size(); first += block) {
        const size_t count = std::min(block, vis.size() - first);
        for (size_t r = 0; r < count; ++r) {
            Visibility& rec = (*allVis)[vis[first + r]];
            rec.values(amps, phases);
            if (tcal)
                rec.takeMedians(amps, phases, scratch);
            if (!sed)
                continue;
            const uint32_t n = channelsOf(rec);
            const size_t row = r * nchan;
            std::copy_n(amps.begin(), n, blockAmps.begin() + row);
            std::copy_n(phases.begin(), n, blockPhases.begin() + row);
            std::copy_n(rec.flags.begin(), n, blockFlags.begin() + row);
            // Channels the record does not have count as flagged.
            std::fill(blockFlags.begin() + row + n, blockFlags.begin() + row + nchan, uint8_t(1));
        }
        if (!sed)
            continue;
        for (uint32_t c = 0; c < nchan; ++c)
            for (size_t r = 0; r < count; ++r)
                if (blockFlags[r * nchan + c] == 0) {
                    ampCols[c].push_back(blockAmps[r * nchan + c]);
                    phaseCols[c].push_back(blockPhases[r * nchan + c]);
                }
    }
    for (uint32_t c = 0; c < ampCols.size(); ++c) {
        chanAmpStats[c] = stat(ampCols[c]);
        chanPhaseStats[c] = stat(phaseCols[c]);
        if (Params::debug2)
            std::cout << "[" << c << "] median=" << chanAmpStats[c].median << "; rms=" << chanAmpStats[c].rms
                      << "; count=" << chanAmpStats[c].count << std::endl;
    }
}

stats Baseline::phaseStats(bool tcal, bool sed) const
{
    if (Params::debug2)
        std::cout << "Baseline::phaseStats(" << tcal << ", " << sed << ") - vis.size=" << vis.size() << std::endl;
    std::vector<float> values;
    values.reserve(vis.size() * nchan);
    for (unsigned i = 0; i < vis.size(); ++i)
        for (uint32_t c = 0; c < channelsOf((*allVis)[vis[i]]); ++c)
            if (Flagged(i, static_cast<int>(c)) == 0)
                values.push_back(Phase(i, static_cast<int>(c), tcal, sed));
    return stat(values);
}

stats Baseline::ampStats(bool tcal, bool sed) const
{
    std::vector<float> values;
    values.reserve(vis.size() * nchan);
    for (unsigned i = 0; i < vis.size(); ++i)
        for (uint32_t c = 0; c < channelsOf((*allVis)[vis[i]]); ++c)
            if (Flagged(i, static_cast<int>(c)) == 0)
                values.push_back(Amp(i, static_cast<int>(c), tcal, sed));
    return stat(values);
}
