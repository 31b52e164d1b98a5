// Per-baseline statistics: per-record (tcal) medians and per-channel (SED) statistics.
#include "model/baseline.h"

#include "app/params.h"
#include "task/basant.h"

#include <algorithm>
#include <iostream>

uint32_t Baseline::channelsOf(const Visibility& rec) const { return std::min(nchan, rec.nchan); }

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

void Baseline::add(int index) { vis.push_back(index); }

int Baseline::Flagged(unsigned i, int c) const { return (*allVis)[vis[i]].Flagged(c); }

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
        std::cout << "Baseline::updateStats(" << (tcal ? "tcal" : "notcal") << ", "
                  << (sed ? "sed" : "nosed") << ") BL=(" << ant1 << "-" << ant2 << ")" << std::endl;
    if (tcal)
        for (int32_t index : vis)
            (*allVis)[index].calcMedian();
    if (!sed)
        return;

    // Gather the unflagged values channel by channel in one pass over the records (each
    // record's channels lie together in memory), then summarise each channel's column.
    const size_t nrec = vis.size();
    std::vector<float> ampCols(nrec * nchan);
    std::vector<float> phaseCols(nrec * nchan);
    std::vector<size_t> used(nchan, 0);
    for (int32_t index : vis) {
        const Visibility& rec = (*allVis)[index];
        for (uint32_t c = 0; c < channelsOf(rec); ++c) {
            if (rec.Flagged(static_cast<int>(c)) != 0)
                continue;
            const size_t at = c * nrec + used[c]++;
            ampCols[at] = rec.Amp(static_cast<int>(c), tcal);
            phaseCols[at] = rec.Phase(static_cast<int>(c), tcal);
        }
    }
    std::vector<double> column;
    column.reserve(nrec);
    for (uint32_t c = 0; c < nchan; ++c) {
        column.assign(ampCols.begin() + c * nrec, ampCols.begin() + c * nrec + used[c]);
        chanAmpStats[c] = stat(column);
        column.assign(phaseCols.begin() + c * nrec, phaseCols.begin() + c * nrec + used[c]);
        chanPhaseStats[c] = stat(column);
        if (Params::debug2)
            std::cout << "[" << c << "] median=" << chanAmpStats[c].median << "; rms="
                      << chanAmpStats[c].rms << "; count=" << chanAmpStats[c].count << std::endl;
    }
}

stats Baseline::phaseStats(bool tcal, bool sed) const
{
    if (Params::debug2)
        std::cout << "Baseline::phaseStats(" << tcal << ", " << sed << ") - vis.size=" << vis.size()
                  << std::endl;
    std::vector<double> values;
    values.reserve(vis.size() * nchan);
    for (unsigned i = 0; i < vis.size(); ++i)
        for (uint32_t c = 0; c < channelsOf((*allVis)[vis[i]]); ++c)
            if (Flagged(i, static_cast<int>(c)) == 0)
                values.push_back(Phase(i, static_cast<int>(c), tcal, sed));
    return stat(values);
}

stats Baseline::ampStats(bool tcal, bool sed) const
{
    std::vector<double> values;
    values.reserve(vis.size() * nchan);
    for (unsigned i = 0; i < vis.size(); ++i)
        for (uint32_t c = 0; c < channelsOf((*allVis)[vis[i]]); ++c)
            if (Flagged(i, static_cast<int>(c)) == 0)
                values.push_back(Amp(i, static_cast<int>(c), tcal, sed));
    return stat(values);
}
