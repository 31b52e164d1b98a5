// Per-baseline statistics: per-record (tcal) medians and per-channel (SED) statistics.
#include "model/baseline.h"

#include "params/params.h"
#include "task/basant.h"

#include <algorithm>
#include <iostream>
#include <memory>

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

    // The records are cut into parts, one per thread. Each channel's unflagged values go to one
    // list, in record order: a first pass counts each part's values per channel, which gives
    // every part its own place in every channel's list, and a second pass computes each value
    // once (the record's medians with tcal) and puts it there.
    const size_t nrec = vis.size();
    const unsigned parts = partsFor(nrec * nchan);
    std::vector<size_t> place(sed ? size_t(parts) * nchan : 0);
    if (sed)
        inParts(parts, nrec, [&](unsigned p, size_t begin, size_t end) {
            size_t* count = place.data() + size_t(p) * nchan;
            for (size_t r = begin; r < end; ++r) {
                const Visibility& rec = (*allVis)[vis[r]];
                const uint8_t* flags = rec.flags.data();
                const uint32_t n = channelsOf(rec);
                for (uint32_t c = 0; c < n; ++c)
                    count[c] += flags[c] == 0;
            }
        });
    std::vector<size_t> listStart(nchan + 1, 0);
    size_t total = 0;
    for (uint32_t c = 0; sed && c < nchan; ++c) {
        listStart[c] = total;
        for (unsigned p = 0; p < parts; ++p) {
            const size_t count = place[size_t(p) * nchan + c];
            place[size_t(p) * nchan + c] = total;
            total += count;
        }
    }
    listStart[nchan] = total;
    std::vector<float> ampLists(total), phaseLists(total);
    inParts(parts, nrec, [&](unsigned p, size_t begin, size_t end) {
        std::vector<float> amps, phases, scratch;
        size_t* next = sed ? place.data() + size_t(p) * nchan : nullptr;
        for (size_t r = begin; r < end; ++r) {
            Visibility& rec = (*allVis)[vis[r]];
            rec.values(amps, phases);
            if (tcal)
                rec.takeMedians(amps, phases, scratch);
            if (!sed)
                continue;
            const uint8_t* flags = rec.flags.data();
            const uint32_t n = channelsOf(rec);
            for (uint32_t c = 0; c < n; ++c)
                if (flags[c] == 0) {
                    ampLists[next[c]] = amps[c];
                    phaseLists[next[c]++] = phases[c];
                }
        }
    });
    if (!sed)
        return;
    inParts(partsFor(total), nchan, [&](unsigned, size_t begin, size_t end) {
        for (size_t c = begin; c < end; ++c) {
            const size_t n = listStart[c + 1] - listStart[c];
            chanAmpStats[c] = stat(ampLists.data() + listStart[c], n);
            chanPhaseStats[c] = stat(phaseLists.data() + listStart[c], n);
        }
    });
    if (Params::debug2)
        for (uint32_t c = 0; c < nchan; ++c)
            std::cout << "[" << c << "] median=" << chanAmpStats[c].median << "; rms=" << chanAmpStats[c].rms
                      << "; count=" << chanAmpStats[c].count << std::endl;
}

stats Baseline::pointStats(bool amp, bool tcal, bool sed) const
{
    // Each part of the records writes its unflagged values, as Amp or Phase gives them, after
    // those of the parts before it.
    const size_t nrec = vis.size();
    const unsigned parts = partsFor(nrec * nchan);
    std::vector<size_t> first(parts + 1, 0);
    inParts(parts, nrec, [&](unsigned p, size_t begin, size_t end) {
        size_t count = 0;
        for (size_t r = begin; r < end; ++r) {
            const Visibility& rec = (*allVis)[vis[r]];
            const uint8_t* flags = rec.flags.data();
            const uint32_t n = channelsOf(rec);
            for (uint32_t c = 0; c < n; ++c)
                count += flags[c] == 0;
        }
        first[p + 1] = count;
    });
    for (unsigned p = 0; p < parts; ++p)
        first[p + 1] += first[p];
    const std::unique_ptr<float[]> values(new float[std::max<size_t>(first[parts], 1)]);
    inParts(parts, nrec, [&](unsigned p, size_t begin, size_t end) {
        std::vector<float> row(nchan);
        float* out = values.get() + first[p];
        for (size_t r = begin; r < end; ++r) {
            const Visibility& rec = (*allVis)[vis[r]];
            const uint8_t* flags = rec.flags.data();
            const uint32_t n = channelsOf(rec);
            const double recMedian = amp ? rec.ampMedian : rec.phaseMedian;
            const std::vector<stats>& chan = amp ? chanAmpStats : chanPhaseStats;
            if (amp)
                rec.rawAmps(row.data(), n);
            else
                rec.rawPhases(row.data(), n);
            for (uint32_t c = 0; c < n; ++c) {
                if (flags[c] != 0)
                    continue;
                // As Amp and Phase compute them (an amplitude-only record's phase stays 0).
                float v = row[c];
                if (tcal && (amp || !rec.ampOnly))
                    v = static_cast<float>(v - recMedian);
                if (sed)
                    v = static_cast<float>(v - chan[c].median);
                *out++ = v;
            }
        }
    });
    return stat(values.get(), first[parts]);
}

stats Baseline::phaseStats(bool tcal, bool sed) const
{
    if (Params::debug2)
        std::cout << "Baseline::phaseStats(" << tcal << ", " << sed << ") - vis.size=" << vis.size() << std::endl;
    return pointStats(false, tcal, sed);
}

stats Baseline::ampStats(bool tcal, bool sed) const
{
    return pointStats(true, tcal, sed);
}
