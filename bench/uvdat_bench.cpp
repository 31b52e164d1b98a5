// Throughput of the uv data access layer when it forms Stokes I from XX and YY record groups,
// as a ratio against reading one raw product (selected by the reader) of the same data set.
#include "bench/cputime.h"
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <time.h>

#include <string>
#include <vector>

#include "dataset/hio.h"
#include "dataset/uvio.h"
#include "task/key.h"
#include "task/uvdat.h"
#include "tests/support/support.h"

namespace {

constexpr int kChan = 1024;
constexpr double kTargetBytes = 520.0 * 1024 * 1024;  // at least 512 MiB of records
constexpr int kMax = 32772;

// One data set of XX, YY groups written once for the whole run.
struct DataSet {
    kestrum::test::TempDir dir;
    std::string vis;
    double bytes = 0;  // "visdata" and "flags" together

    DataSet() : vis(dir.file("stokesi.uv"))
    {
        int t = 0;
        uvopen_c(&t, vis.c_str(), "new");
        uvset_c(t, "preamble", "uv/time/baseline", 0, 0, 0, 0);
        uvset_c(t, "corr", "r", 0, 0, 0, 0);
        const int nchan = kChan, one = 1, two = 2;
        const double sfreq = 0.15, sdf = 0.0001;
        uvputvr_c(t, IO_INT, "nchan", &nchan, 1);
        uvputvr_c(t, IO_INT, "nspect", &one, 1);
        uvputvr_c(t, IO_INT, "nschan", &nchan, 1);
        uvputvr_c(t, IO_DBLE, "sfreq", &sfreq, 1);
        uvputvr_c(t, IO_DBLE, "sdf", &sdf, 1);
        uvputvr_c(t, IO_INT, "npol", &two, 1);
        std::vector<float> data(2 * kChan);
        std::vector<int> flags(kChan, 1);
        for (int j = 0; j < kChan; j++)
            data[2 * j] = 1.0f + j, data[2 * j + 1] = -0.5f * j;
        const long groups = static_cast<long>(kTargetBytes / (2.0 * 8 * kChan)) + 1;
        for (long g = 0; g < groups; g++) {
            const int a1 = 1 + static_cast<int>(g % 7), a2 = a1 + 1 + static_cast<int>(g % 3);
            const double pre[4] = {10.0 * a1, 20.0 * a2, 2458042.0 + g * 1e-5, 256.0 * a1 + a2};
            for (int pol : {-5, -6}) {
                uvputvr_c(t, IO_INT, "pol", &pol, 1);
                flags[g % kChan] = pol == -5 ? 0 : 1;
                uvwrite_c(t, pre, data.data(), flags.data(), kChan);
            }
        }
        uvclose_c(t);
        for (const char* item : {"/visdata", "/flags"}) {
            struct stat st;
            if (stat((vis + item).c_str(), &st) == 0)
                bytes += static_cast<double>(st.st_size);
        }
    }
};

const DataSet& dataSet()
{
    static DataSet set;
    return set;
}

// Reads every record of `stokes` as the viewer does; CPU seconds taken.
double readSeconds(const std::string& vis, const char* stokes, long* records)
{
    static std::vector<float> data(2 * kMax);
    static std::vector<int> flags(kMax);
    const double start = cpuSeconds();
    keyinic();
    keyputc(("vis=" + vis).c_str());
    keyputc((std::string("stokes=") + stokes).c_str());
    uvdatinp("vis", "sdlwbcef");
    int tno = 0, n = 0;
    double pre[4];
    *records = 0;
    if (uvdatopn(&tno)) {
        for (uvdatrd(pre, data.data(), flags.data(), kMax, &n); n > 0;
             uvdatrd(pre, data.data(), flags.data(), kMax, &n))
            ++*records;
        uvdatcls();
    }
    benchmark::DoNotOptimize(data.data());
    return cpuSeconds() - start;
}

void BM_StokesIFromXXYYAgainstRawXX(benchmark::State& state)
{
    const DataSet& set = dataSet();
    long raw = 0, formed = 0;
    readSeconds(set.vis, "xx", &raw);  // into the page cache
    double rawSeconds = 0, formedSeconds = 0;
    for (auto _ : state) {
        rawSeconds += readSeconds(set.vis, "xx", &raw);
        formedSeconds += readSeconds(set.vis, "i", &formed);
    }
    if (raw != formed)
        state.SkipWithError("formed and raw record counts differ");
    const double mb = set.bytes / 1e6 * static_cast<double>(state.iterations());
    state.counters["dataset_MB"] = set.bytes / 1e6;
    state.counters["raw_MBps"] = mb / rawSeconds;
    state.counters["formed_MBps"] = mb / formedSeconds;
    state.counters["ratio"] = rawSeconds / formedSeconds;  // formed MB/s over raw MB/s; aim >= 0.7
}
BENCHMARK(BM_StokesIFromXXYYAgainstRawXX)->Unit(benchmark::kSecond)->Iterations(5);

}  // namespace
