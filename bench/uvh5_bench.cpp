// Loading a whole UVH5 file: the viewer's loader against one H5Dread of the file's visdata
// into a buffer allocated beforehand, in the same run and in process CPU time (the machine is
// shared), for an uncompressed and an LZF-compressed file; and the loader's peak resident
// memory against the bytes that the kept records need. Each of the three is timed every
// iteration and the fastest iteration counts, which the neighbours' load disturbs least.
//
// Two baselines: a buffer already written once (its pages in memory, so the H5Dread pays only
// for the copy out of the file), the one the aim is measured against; and a buffer freshly
// allocated, whose pages the H5Dread brings in as it writes them, as the loader does for the
// memory it keeps.
//
// The files are written once per run: 10 antennas (45 baselines), 4 polarisations, 1024
// channels and enough time stamps for KESTRUM_BENCH_UVH5_MIB mebibytes (default 1024) of visdata.
#include "bench/cputime.h"
#include "bench/load.h"
#include "tests/support/support.h"
#include "tools/sim/uvh5writer.h"

#include <benchmark/benchmark.h>
#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kChan = 1024;

struct Files {
    kestrum::test::TempDir dir;
    std::string plain, lzf;
    double visdataBytes = 0.0;
};

const Files& files()
{
    static std::unique_ptr<Files> set = [] {
        auto s = std::make_unique<Files>();
        const char* mib = std::getenv("KESTRUM_BENCH_UVH5_MIB");
        const double target = (mib ? std::atof(mib) : 1024.0) * 1048576.0;
        kestrum::sim::UvDescription d;
        d.nants = 10;
        d.windows = {kestrum::sim::Window{kChan, 1.4, 0.0001, 1.42040575}};
        d.pols = {-5, -6, -7, -8};
        const double perTime = 45.0 * 4 * kChan * 8;
        d.times.clear();
        for (int t = 0; t < static_cast<int>(std::ceil(target / perTime)); ++t)
            d.times.push_back(2460000.5 + t * 10.0 / 86400);
        d.source = [](int) { return std::string("3c286"); };
        // Noise-like values, which LZF compresses about as little as it does real data.
        d.value = [](const kestrum::sim::UvRecord& r, int c) {
            const uint32_t x = static_cast<uint32_t>(r.index) * 2654435761u ^ static_cast<uint32_t>(c) * 40503u;
            return std::complex<float>((x & 0xffff) / 65536.0f, (x >> 16) / 65536.0f);
        };
        d.good = [](const kestrum::sim::UvRecord&, int c) { return c >= 8 && c < kChan - 8; };
        s->plain = s->dir.file("big.uvh5");
        s->lzf = s->dir.file("big-lzf.uvh5");
        kestrum::sim::writeUvh5(s->plain, d, false);
        kestrum::sim::writeUvh5(s->lzf, d, true);
        s->visdataBytes = perTime * static_cast<double>(d.times.size());
        return s;
    }();
    return *set;
}

// The baseline: visdata read whole, as stored, into `buffer`.
double readVisdata(const std::string& path, void* buffer)
{
    hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    hid_t d = H5Dopen2(f, "Data/visdata", H5P_DEFAULT);
    hid_t type = H5Dget_type(d);
    const double t0 = cpuSeconds();
    const herr_t status = H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, buffer);
    const double seconds = cpuSeconds() - t0;
    H5Tclose(type);
    H5Dclose(d);
    H5Fclose(f);
    return status < 0 ? -1.0 : seconds;
}

void BM_LoadUvh5(benchmark::State& state, bool lzf, const char* stokes)
{
    const Files& set = files();
    const std::string& path = lzf ? set.lzf : set.plain;
    const auto bytes = static_cast<size_t>(set.visdataBytes);
    double touchedSeconds = 1e30, freshSeconds = 1e30, loadSeconds = 1e30;
    LoadResult last;
    for (auto _ : state) {
        double touched, fresh;
        {
            std::vector<char> buffer(bytes, 1);  // every page written before the read
            touched = readVisdata(path, buffer.data());
        }
        {
            const std::unique_ptr<char[]> buffer(new char[bytes]);  // no page written yet
            fresh = readVisdata(path, buffer.get());
        }
        if (touched < 0 || fresh < 0) {
            state.SkipWithError("H5Dread of visdata failed");
            return;
        }
        last = loadInChild(path, stokes);
        touchedSeconds = std::min(touchedSeconds, touched);
        freshSeconds = std::min(freshSeconds, fresh);
        loadSeconds = std::min(loadSeconds, last.cpu);
        state.SetIterationTime(last.cpu);
    }
    if (last.records < 0) {
        state.SkipWithError("the loader failed");
        return;
    }
    const double mib = set.visdataBytes / 1048576.0;
    const double keptBytes = static_cast<double>(last.records) * kChan * 9.0;
    const double rss = last.maxRssKiB * 1024.0;
    state.counters["visdata_MiB"] = mib;
    state.counters["h5dread_MiBps"] = mib / touchedSeconds;
    state.counters["load_MiBps"] = mib / loadSeconds;
    // At least 0.5 is the aim.
    state.counters["load_vs_h5dread"] = touchedSeconds / loadSeconds;
    state.counters["load_vs_h5dread_fresh"] = freshSeconds / loadSeconds;
    state.counters["records"] = static_cast<double>(last.records);
    state.counters["kept_MiB"] = keptBytes / 1048576.0;
    state.counters["peak_rss_MiB"] = rss / 1048576.0;
    // At most 1 is the aim: peak <= 1.2 x kept + 64 MiB.
    state.counters["rss_vs_budget"] = rss / (1.2 * keptBytes + 64.0 * 1048576.0);
}

BENCHMARK_CAPTURE(BM_LoadUvh5, plain_xx, false, "xx")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_LoadUvh5, plain_i, false, "i")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_LoadUvh5, lzf_xx, true, "xx")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_LoadUvh5, lzf_i, true, "i")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(3);

}  // namespace
