// uvread_c throughput over a data set of 512 MiB of "visdata" (real 32-bit "corr" of 1,024
// channels, flags present), all records and one polarisation in four, against a plain read
// and byte swap of the same file in the same run; and velocity-line reading (the default
// grid, resampled) against channel-line reading of the same data set.
#include "bench/cputime.h"
#include "dataset/pack.h"
#include "dataset/uvio.h"
#include "tests/support/support.h"
#include "tools/sim/uvwriter.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int nchan = 1024;

struct Fixture {
    kestrum::test::TempDir dir;
    std::string ds = dir.file("bench.uv");
    int64_t records = 0;
    off_t visBytes = 0;

    Fixture()
    {
        kestrum::sim::UvDescription d;
        d.nants = 16;  // 120 baselines
        d.pols = {-5, -6, -7, -8};
        d.windows = {kestrum::sim::Window{nchan, 1.0, 0.0001, 1.42}};
        for (int t = 0; t < 136; ++t)
            d.times.push_back(2460000.5 + t / 8640.0);
        d.value = [](const kestrum::sim::UvRecord& r, int k) {
            return std::complex<float>(float((r.index + k) % 97), float(k % 13));
        };
        d.good = [](const kestrum::sim::UvRecord& r, int k) { return (r.index * 7 + k) % 50 != 0; };
        records = kestrum::sim::writeUv(ds, d);
        struct stat st;
        stat((ds + "/visdata").c_str(), &st);
        visBytes = st.st_size;
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

int64_t readAll(bool onePol, bool velocity = false)
{
    int tno = 0;
    uvopen_c(&tno, fixture().ds.c_str(), "old");
    if (velocity)
        uvset_c(tno, "data", "velocity", 0, 0, 0, 0);
    else
        uvset_c(tno, "data", "channel", 0, 1, 1, 1);
    if (onePol)
        uvselect_c(tno, "polarization", -6, 0, 1);
    std::vector<double> pre(4);
    std::vector<float> data(2 * nchan);
    std::vector<int> flags(nchan);
    int64_t n = 0;
    int nread = 0;
    for (;;) {
        uvread_c(tno, pre.data(), data.data(), flags.data(), nchan, &nread);
        if (!nread)
            break;
        ++n;
    }
    uvclose_c(tno);
    benchmark::DoNotOptimize(data.data());
    return n;
}

void plainReadSwap()
{
    const size_t chunk = 1 << 20;
    std::vector<char> raw(chunk);
    std::vector<float> out(chunk / 4);
    const int fd = open((fixture().ds + "/visdata").c_str(), O_RDONLY);
    for (off_t off = 0;; off += static_cast<off_t>(chunk)) {
        ssize_t got = pread(fd, raw.data(), chunk, off);
        if (got <= 0)
            break;
        unpackr_c(raw.data(), out.data(), static_cast<int>(got / 4));
    }
    close(fd);
    benchmark::DoNotOptimize(out.data());
}

void run(benchmark::State& state, bool onePol)
{
    Fixture& f = fixture();
    double uv = 0, plain = 0;
    int64_t recs = 0;
    for (auto _ : state) {
        double t0 = cpuSeconds();
        recs = readAll(onePol);
        double t1 = cpuSeconds();
        plainReadSwap();
        double t2 = cpuSeconds();
        uv += t1 - t0;
        plain += t2 - t1;
    }
    const double it = static_cast<double>(state.iterations());
    const double mb = static_cast<double>(f.visBytes) / 1e6 * it;
    state.counters["visdata_MB"] = static_cast<double>(f.visBytes) / 1e6;
    state.counters["uvread_MBps"] = mb / uv;
    state.counters["plain_MBps"] = mb / plain;
    state.counters["ratio_to_plain"] = plain / uv;
    state.counters["records_per_s"] = static_cast<double>(recs) * it / uv;
    state.counters["records_read"] = static_cast<double>(recs);
}

// Every record delivered.
void BM_UvReadAll(benchmark::State& state)
{
    run(state, false);
}
// A polarisation selection keeping one record in four.
void BM_UvReadOnePolInFour(benchmark::State& state)
{
    run(state, true);
}

// Velocity lines against channel lines, every record of the same data set.
void BM_UvReadVelocity(benchmark::State& state)
{
    Fixture& f = fixture();
    double vel = 0, chan = 0;
    int64_t recs = 0;
    for (auto _ : state) {
        double t0 = cpuSeconds();
        recs = readAll(false, true);
        double t1 = cpuSeconds();
        readAll(false, false);
        double t2 = cpuSeconds();
        vel += t1 - t0;
        chan += t2 - t1;
    }
    const double it = static_cast<double>(state.iterations());
    state.counters["velocity_MBps"] = static_cast<double>(f.visBytes) / 1e6 * it / vel;
    state.counters["channel_MBps"] = static_cast<double>(f.visBytes) / 1e6 * it / chan;
    state.counters["ratio_to_channel"] = chan / vel;
    state.counters["records_per_s"] = static_cast<double>(recs) * it / vel;
}

BENCHMARK(BM_UvReadAll)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UvReadOnePolInFour)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UvReadVelocity)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
