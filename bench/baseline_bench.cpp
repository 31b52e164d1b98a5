// Baseline statistics over 4,000 records x 2,048 channels as the viewer computes them on a
// key press (on every core), against the same statistics taken with plain full sorts over the
// same data; and what one Visibility costs per channel.
#include "bench/cputime.h"
#include "model/baseline.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <random>

namespace {

constexpr int nrec = 4000;
constexpr int nchan = 2048;
constexpr double points = double(nrec) * nchan;

// One baseline of noisy records with about one point in twenty flagged.
struct Data {
    ChannelStore store;
    std::vector<Visibility> records;
    Baseline base;

    Data()
    {
        std::mt19937 rng(5);
        std::normal_distribution<float> normal(0, 1);
        std::uniform_int_distribution<int> twentieth(0, 19);
        std::vector<std::complex<float>> d(nchan);
        std::vector<int> f(nchan);
        records.reserve(nrec);
        for (int r = 0; r < nrec; ++r) {
            for (int c = 0; c < nchan; ++c) {
                d[c] = {5.0f + normal(rng), normal(rng)};
                f[c] = twentieth(rng) == 0 ? 3 : 0;
            }
            records.emplace_back(r, 0, 0, 2460000.0 + r / 8640.0, 258, 0, 1, nchan, d.data(), f.data(), false, store);
        }
        base = Baseline(258, &records, nchan, 0);
        for (int r = 0; r < nrec; ++r)
            base.add(r);
    }
};

Data& data()
{
    static Data d;
    return d;
}

// The plain way: full sorts for every median.
double sortedMedian(std::vector<double>& v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) * 0.5;
}

stats sortStat(std::vector<double>& v)
{
    stats s;
    s.count = static_cast<int32_t>(v.size());
    if (v.empty())
        return s;
    s.median = sortedMedian(v);
    s.min = v.front();
    s.max = v.back();
    long double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = static_cast<double>(sum / v.size());
    double sq = 0;
    for (double x : v)
        sq += (x - s.mean) * (x - s.mean);
    s.rms = v.size() > 1 ? std::sqrt(sq / (v.size() - 1)) : 0.0;
    std::vector<double> dev(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        dev[i] = std::fabs(s.median - v[i]);
    s.mad = sortedMedian(dev);
    return s;
}

// updateStats(true, true) + ampStats(true, true) written plainly with full sorts, visiting
// the points channel by channel across the records.
stats fullSortReference(Data& d)
{
    std::vector<double> tcalAmp(nrec), v;
    for (int r = 0; r < nrec; ++r) {
        const Visibility& rec = d.records[r];
        v.clear();
        for (int c = 0; c < nchan; ++c)
            v.push_back(rec.Amp(c, false));
        tcalAmp[r] = sortedMedian(v);
        v.clear();
        for (int c = 0; c < nchan; ++c)
            v.push_back(rec.Phase(c, false));
        benchmark::DoNotOptimize(sortedMedian(v));
    }
    std::vector<double> sed(nchan);
    for (int c = 0; c < nchan; ++c) {
        std::vector<double> a, p;
        for (int r = 0; r < nrec; ++r) {
            const Visibility& rec = d.records[r];
            if (rec.Flagged(c) == 0) {
                a.push_back(static_cast<float>(rec.Amp(c, false) - tcalAmp[r]));
                p.push_back(rec.Phase(c, true));
            }
        }
        sed[c] = sortStat(a).median;
        benchmark::DoNotOptimize(sortStat(p));
    }
    std::vector<double> all;
    for (int r = 0; r < nrec; ++r)
        for (int c = 0; c < nchan; ++c)
            if (d.records[r].Flagged(c) == 0)
                all.push_back(static_cast<float>(static_cast<float>(d.records[r].Amp(c, false) - tcalAmp[r]) - sed[c]));
    return sortStat(all);
}

double referenceSeconds()
{
    static const double once = [] {
        Data& d = data();
        const double start = cpuSeconds();
        benchmark::DoNotOptimize(fullSortReference(d));
        return cpuSeconds() - start;
    }();
    return once;
}

void BM_FullSortReference(benchmark::State& state)
{
    for (auto _ : state)
        state.counters["cpu_seconds"] = referenceSeconds();
    state.counters["ns_per_point"] = referenceSeconds() * 1e9 / points;
}

// What a key that changes the baseline or the median mode costs the first time: a new Baseline
// over the records each time (a Baseline keeps what it computed), its statistics for tcal and
// SED and the amplitudes' summary; with phases (the second argument) the phases' too, as the
// viewer computes them while it shows phases.
void BM_UpdateStatsAndAmpStats(benchmark::State& state)
{
    Data& d = data();
    const bool phases = state.range(0) != 0;
    const double reference = referenceSeconds();
    double spent = 0, elapsed = 0;
    for (auto _ : state) {
        Baseline base(258, &d.records, nchan, 0);
        for (int r = 0; r < nrec; ++r)
            base.add(r);
        const double start = cpuSeconds();
        const auto wallStart = std::chrono::steady_clock::now();
        base.updateStats(true, true, true, phases);
        benchmark::DoNotOptimize(base.ampStats(true, true));
        if (phases)
            benchmark::DoNotOptimize(base.phaseStats(true, true));
        spent += cpuSeconds() - start;
        elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    }
    const double each = spent / static_cast<double>(state.iterations());
    // CPU time counts every thread; the wall time is what the viewer waits for (aim: at most
    // 10 ns a point), but it also counts the time other processes take the cores.
    state.counters["ns_per_point"] = each * 1e9 / points;
    state.counters["wall_ns_per_point"] = elapsed / static_cast<double>(state.iterations()) * 1e9 / points;
    state.counters["cpu_seconds"] = each;
    state.counters["ratio_to_full_sort"] = each / reference;
}

// Bytes a record keeps in its store for its channels, beyond the object itself, per channel; and
// the fixed cost of the object, against the 9 bytes of one complex float and one flag byte.
void BM_VisibilityBytesPerChannel(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<std::complex<float>> d(n, {1, 2});
    std::vector<int> f(n, 0);
    ChannelStore store;
    size_t bytes = 0;
    for (auto _ : state) {
        const size_t before = store.kept();
        const Visibility rec(0, 0, 0, 0, 258, 0, 1, n, d.data(), f.data(), false, store);
        bytes = store.kept() - before;
        benchmark::DoNotOptimize(rec);
    }
    state.counters["bytes_per_channel"] = double(bytes) / n;
    state.counters["ratio_to_9_bytes"] = double(bytes) / n / 9.0;
    state.counters["fixed_bytes"] = double(sizeof(Visibility));
}

}  // namespace

BENCHMARK(BM_FullSortReference)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_UpdateStatsAndAmpStats)->ArgName("phases")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
// A store keeps what every iteration adds: few iterations.
BENCHMARK(BM_VisibilityBytesPerChannel)->Arg(64)->Arg(2048)->Iterations(100);
