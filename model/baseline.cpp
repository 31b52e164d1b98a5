// Per-baseline statistics: per-record (tcal) medians and per-channel (SED) statistics.
#include "model/baseline.h"

#include "params/params.h"
#include "task/basant.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <limits>
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
    computed[0] = Computed{};
    computed[1] = Computed{};
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

void Baseline::updateStats(bool tcal, bool sed, bool amps, bool phases, PointRows* rows)
{
    if (Params::debug1)
        std::cout << "Baseline::updateStats(" << (tcal ? "tcal" : "notcal") << ", " << (sed ? "sed" : "nosed")
                  << ") BL=(" << ant1 << "-" << ant2 << ")" << std::endl;
    if (!tcal && !sed)
        return;
    if (amps)
        compute(true, tcal, sed, false, rows);
    if (phases)
        compute(false, tcal, sed, false, rows);
    if (Params::debug2 && sed) {
        const std::vector<stats>& chan = channelStats(true);
        for (uint32_t c = 0; c < nchan; ++c)
            std::cout << "[" << c << "] median=" << chan[c].median << "; rms=" << chan[c].rms
                      << "; count=" << chan[c].count << std::endl;
    }
}

const std::vector<stats>& Baseline::channelStats(bool amp)
{
    const Computed& done = computed[amp ? 0 : 1];
    if (done.channelsFor >= 0 && !done.channelsFull)
        compute(amp, done.channelsFor != 0, true, true);
    return amp ? chanAmpStats : chanPhaseStats;
}

void Baseline::compute(bool amp, bool tcal, bool sed, bool full, PointRows* rows)
{
    Computed& done = computed[amp ? 0 : 1];
    const bool medians = tcal && !done.recordMedians;
    const bool channels = sed && (done.channelsFor != int(tcal) || (full && !done.channelsFull));
    const int mode = int(tcal) + 2 * int(sed);
    if (!medians && !channels && done.points[mode])
        return;

    // Every record's values in all its channels, with its own median taken away under tcal,
    // one row a record; the unflagged points of the records before each record are counted.
    const size_t nrec = vis.size();
    std::vector<size_t> rowStart(nrec + 1, 0), before(nrec + 1, 0);
    for (size_t r = 0; r < nrec; ++r)
        rowStart[r + 1] = rowStart[r] + (*allVis)[vis[r]].nchan;
    const size_t total = rowStart[nrec];
    const unsigned parts = partsFor(total);
    // The rows are computed into the caller's buffer when it wants them; else into one of our
    // own, which then also takes the gathered points.
    const bool keep = rows != nullptr && rows->amp == amp;
    std::unique_ptr<float[]> own;
    std::unique_ptr<float[]>& buffer = keep ? rows->values : own;
    buffer.reset(new float[std::max<size_t>(total, 1)]);
    float* const rowValues = buffer.get();
    inParts(parts, nrec, [&](unsigned, size_t begin, size_t end) {
        // Neighbouring records have much the same median: each one's guides the next.
        NearMedian near(32);
        double guess = std::numeric_limits<double>::quiet_NaN();
        for (size_t r = begin; r < end; ++r) {
            Visibility& rec = (*allVis)[vis[r]];
            float* row = rowValues + rowStart[r];
            if (amp)
                rec.rawAmps(row, rec.nchan, r + 1 < end ? &(*allVis)[vis[r + 1]] : nullptr);
            else
                rec.rawPhases(row, rec.nchan);
            double& own = amp ? rec.ampMedian : rec.phaseMedian;
            if (medians)
                guess = own = near(row, rec.nchan, guess);
            if (tcal)
                for (uint32_t c = 0; c < rec.nchan; ++c)
                    row[c] = static_cast<float>(row[c] - own);
            const uint8_t* flags = rec.flags.data();
            const uint32_t n = channelsOf(rec);
            size_t count = 0;
            for (uint32_t c = 0; c < n; ++c)
                count += flags[c] == 0;
            before[r + 1] = count;
        }
    });
    done.recordMedians = done.recordMedians || tcal;

    std::vector<stats>& chan = amp ? chanAmpStats : chanPhaseStats;
    if (channels) {
        // Each thread takes blocks of channels: it gathers a block's unflagged values, in record
        // order, from the rows and computes their statistics while they are in the cache. A block
        // is as wide as lets its lists fill about 1 MiB: wide blocks read the rows in longer runs.
        const auto block =
            static_cast<uint32_t>(std::clamp<size_t>((size_t(1) << 18) / std::max<size_t>(nrec, 1), 16, 128));
        inParts(parts, (nchan + block - 1) / block, [&](unsigned, size_t first, size_t last) {
            std::vector<float> lists(size_t(block) * std::max<size_t>(nrec, 1));
            std::vector<uint32_t> countOf(block), nanOf(block);
            uint32_t* const count = countOf.data();
            uint32_t* const nan = nanOf.data();
            // The band is smooth: each channel's median guides the next one's.
            NearMedian near(32);
            double guess = std::numeric_limits<double>::quiet_NaN();
            for (size_t k = first; k < last; ++k) {
                const auto c0 = static_cast<uint32_t>(k * block), c1 = std::min(nchan, c0 + block);
                std::fill_n(count, block, 0u);
                std::fill_n(nan, block, 0u);
                for (size_t r = 0; r < nrec; ++r) {
                    const Visibility& rec = (*allVis)[vis[r]];
                    const float* row = rowValues + rowStart[r];
                    const uint8_t* flags = rec.flags.data();
                    const uint32_t n = std::min(c1, channelsOf(rec));
                    // Every value is written; only an unflagged one stays.
                    for (uint32_t c = c0; c < n; ++c) {
                        const float v = row[c];
                        const uint32_t use = flags[c] == 0;
                        lists[size_t(c - c0) * nrec + count[c - c0]] = v;
                        count[c - c0] += use;
                        nan[c - c0] += use & (v != v);
                    }
                }
                for (uint32_t c = c0; c < c1; ++c) {
                    float* const list = lists.data() + size_t(c - c0) * nrec;
                    if (full) {
                        chan[c] = stat(list, count[c - c0]);
                    } else {
                        chan[c] = stats{};
                        chan[c].count = static_cast<int32_t>(count[c - c0] - nan[c - c0]);
                        guess = chan[c].median = near(list, count[c - c0], guess);
                    }
                }
            }
        });
        done.channelsFor = int(tcal);
        done.channelsFull = full;
    }

    // The unflagged points record after record, less their channel's median under sed. Each part
    // writes every value and keeps the unflagged ones, so it may write one past its last point:
    // the parts work apart, over their own rows (never past one they have still to read) or, when
    // the caller keeps the rows, in a buffer with a spare place after each part; then the parts
    // close the gaps between them in order.
    for (size_t r = 0; r < nrec; ++r)
        before[r + 1] += before[r];
    const std::unique_ptr<float[]> gathered(keep ? new float[before[nrec] + parts] : nullptr);
    float* const points = keep ? gathered.get() : rowValues;
    std::vector<size_t> partBegin(parts + 1, nrec), partAt(parts, 0);
    inParts(parts, nrec, [&](unsigned p, size_t begin, size_t end) {
        partBegin[p] = begin;
        partAt[p] = keep ? before[begin] + p : rowStart[begin];
        float* out = points + partAt[p];
        for (size_t r = begin; r < end; ++r) {
            const Visibility& rec = (*allVis)[vis[r]];
            const float* row = rowValues + rowStart[r];
            const uint8_t* flags = rec.flags.data();
            const uint32_t n = channelsOf(rec);
            for (uint32_t c = 0; c < n; ++c) {
                *out = sed ? static_cast<float>(row[c] - chan[c].median) : row[c];
                out += flags[c] == 0;
            }
        }
    });
    for (unsigned p = 1; p < parts; ++p)
        std::memmove(points + before[partBegin[p]], points + partAt[p],
                     sizeof(float) * (before[partBegin[p + 1]] - before[partBegin[p]]));
    if (keep) {
        rows->filled = true;
        rows->tcal = tcal;
    }
    done.points[mode] = stat(points, before[nrec]);
}

stats Baseline::phaseStats(bool tcal, bool sed, PointRows* rows)
{
    if (Params::debug2)
        std::cout << "Baseline::phaseStats(" << tcal << ", " << sed << ") - vis.size=" << vis.size() << std::endl;
    compute(false, tcal, sed, false, rows);
    return *computed[1].points[int(tcal) + 2 * int(sed)];
}

stats Baseline::ampStats(bool tcal, bool sed, PointRows* rows)
{
    compute(true, tcal, sed, false, rows);
    return *computed[0].points[int(tcal) + 2 * int(sed)];
}
