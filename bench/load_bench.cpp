// Loading a whole observation: MB/s of "visdata" through the viewer's loader, against a
// plain read-and-decode loop over the same file in the same run, and the loader's peak
// resident memory against the bytes that the kept records need.
//
// The data set is simulated once per run: 10 antennas, 4 polarisations, 1024 channels and
// enough integrations for about KESTRUM_BENCH_LOAD_MB megabytes (default 1100) of "visdata".
#include "bench/load.h"
#include "bench/simset.h"
#include "tests/support/support.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const SimulatedSet& bigSet()
{
    static const std::unique_ptr<SimulatedSet> set = simulateSet("big.uv", 10, "KESTRUM_BENCH_LOAD_MB");
    return *set;
}

uint32_t be32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// The plain loop: read "visdata" in large blocks, walk its entries, and decode every value
// of "corr" (big-endian reals) into native floats, summing them so that nothing is skipped.
double plainReadAndDecode(const std::string& vis)
{
    std::vector<char> types;
    std::istringstream table(kestrum::test::readFile(vis + "/vartable"));
    std::string line;
    int corr = -1;
    while (std::getline(table, line)) {
        if (line.size() < 3)
            continue;
        if (line.substr(2) == "corr")
            corr = static_cast<int>(types.size());
        types.push_back(line[0]);
    }
    std::vector<uint32_t> length(types.size(), 0);
    const int fd = open((vis + "/visdata").c_str(), O_RDONLY);
    std::vector<unsigned char> buf;
    std::vector<unsigned char> block(8 << 20);
    double sum = 0.0;
    size_t at = 0;
    for (;;) {
        const ssize_t n = read(fd, block.data(), block.size());
        if (n <= 0)
            break;
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(at));
        at = 0;
        buf.insert(buf.end(), block.begin(), block.begin() + n);
        while (at + 8 <= buf.size()) {
            const unsigned char* e = buf.data() + at;
            const int var = e[0], code = e[2];
            if (code == 0) {
                length[var] = be32(e + 4);
                at += 8;
            } else if (code == 1) {
                const size_t start = (types[var] == 'd' || types[var] == 'c') ? 8 : 4;
                const size_t end = (at + start + length[var] + 7) / 8 * 8;
                if (end > buf.size())
                    break;
                if (var == corr) {
                    float acc = 0.0f;
                    for (uint32_t k = 0; k < length[var]; k += 4) {
                        const uint32_t v = be32(e + start + k);
                        float f;
                        std::memcpy(&f, &v, 4);
                        acc += f;
                    }
                    sum += acc;
                }
                at = end;
            } else {
                at += 8;
            }
        }
    }
    close(fd);
    return sum;
}

void BM_LoadObservation(benchmark::State& state, const char* stokes)
{
    const SimulatedSet& set = bigSet();
    const double mb = set.visdataBytes / 1e6;
    double plainSeconds = 0.0, loadSeconds = 0.0;
    LoadResult last;
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(plainReadAndDecode(set.vis));
        plainSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
        last = loadInChild(set.vis, stokes);
        loadSeconds += last.wall;
        state.SetIterationTime(last.wall);
    }
    if (last.records < 0) {
        state.SkipWithError("the loader failed");
        return;
    }
    const double n = static_cast<double>(state.iterations());
    const double keptBytes = static_cast<double>(last.records) * set.nchan * 9.0;
    const double rss = last.maxRssKiB * 1024.0;
    state.counters["visdata_MB"] = mb;
    state.counters["plain_MBps"] = mb / (plainSeconds / n);
    state.counters["load_MBps"] = mb / (loadSeconds / n);
    state.counters["load_vs_plain"] = (plainSeconds / n) / (loadSeconds / n);
    state.counters["records"] = static_cast<double>(last.records);
    state.counters["kept_MiB"] = keptBytes / 1048576.0;
    state.counters["peak_rss_MiB"] = rss / 1048576.0;
    // At most 1 is the aim: peak <= 1.2 x kept + 64 MiB.
    state.counters["rss_vs_budget"] = rss / (1.2 * keptBytes + 64.0 * 1048576.0);
}

BENCHMARK_CAPTURE(BM_LoadObservation, stokes_xx, "xx")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);
BENCHMARK_CAPTURE(BM_LoadObservation, stokes_i, "i")->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);

}  // namespace
