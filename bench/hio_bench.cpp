// Storage-layer throughput: sequential hio_c reads of a 256 MiB item as big-endian reals in
// the request sizes the record reader uses, against a plain pread plus byte swap of the same
// file; and mask reads of 10^8 flags, whole-word fast path against a bit-by-bit decode.
#include "bench/cputime.h"
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/pack.h"
#include "tests/support/support.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr off_t itemBytes = off_t(256) << 20;
constexpr int64_t maskFlags = 100000000;
constexpr int chunkFlags = 1 << 16;  // flags per mask read

// One data set holding a 256 MiB item "visdata" and a mask "flags" of 10^8 flags, mostly
// good with scattered bad flags, as a real observation's mask looks.
struct Fixture {
    kestrum::test::TempDir dir;
    std::string ds = dir.file("bench.uv");

    Fixture()
    {
        int tno, st, it;
        hopen_c(&tno, ds.c_str(), "new", &st);
        haccess_c(tno, &it, "visdata", "write", &st);
        std::vector<float> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<float>(i % 1000) * 0.25f;
        const off_t blockBytes = static_cast<off_t>(block.size() * 4);
        for (off_t off = 0; off < itemBytes; off += blockBytes)
            hwriter_c(it, block.data(), off, blockBytes, &st);
        hdaccess_c(it, &st);
        const int m = mkopen_c(tno, "flags", "new");
        std::vector<int> flags(chunkFlags, 1);
        std::mt19937 rng(3);
        for (int64_t at = 0; at < maskFlags; at += chunkFlags) {
            const int n = static_cast<int>(std::min<int64_t>(chunkFlags, maskFlags - at));
            for (int i = 0; i < n; ++i)
                flags[static_cast<size_t>(i)] = rng() % 50 != 0;
            mkwrite_c(m, MK_FLAGS, flags.data(), at, n, n);
        }
        mkclose_c(m);
        hclose_c(tno);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

void hioReadReals(off_t request, std::vector<float>& out)
{
    int tno, st, it;
    hopen_c(&tno, fixture().ds.c_str(), "old", &st);
    haccess_c(tno, &it, "visdata", "read", &st);
    for (off_t off = 0; off + request <= itemBytes; off += request)
        hreadr_c(it, out.data(), off, request, &st);
    hdaccess_c(it, &st);
    hclose_c(tno);
    benchmark::DoNotOptimize(out.data());
}

void plainPreadSwap(off_t request, std::vector<float>& out)
{
    std::vector<char> raw(static_cast<size_t>(request));
    const int fd = open((fixture().ds + "/visdata").c_str(), O_RDONLY);
    for (off_t off = 0; off + request <= itemBytes; off += request) {
        if (pread(fd, raw.data(), static_cast<size_t>(request), off) != request)
            break;
        unpackr_c(raw.data(), out.data(), static_cast<int>(request / 4));
    }
    close(fd);
    benchmark::DoNotOptimize(out.data());
}

// hio_c against the plain loop in the same iteration; ratio_to_plain is the throughput of
// hio_c over that of the plain loop (CPU time).
void BM_HioReadReals(benchmark::State& state)
{
    const off_t request = state.range(0);
    std::vector<float> out(static_cast<size_t>(request / 4));
    fixture();
    double hio = 0, plain = 0;
    for (auto _ : state) {
        double t0 = cpuSeconds();
        hioReadReals(request, out);
        double t1 = cpuSeconds();
        plainPreadSwap(request, out);
        double t2 = cpuSeconds();
        hio += t1 - t0;
        plain += t2 - t1;
    }
    const double mb = static_cast<double>(itemBytes) / 1e6 * static_cast<double>(state.iterations());
    state.counters["hio_MBps"] = mb / hio;
    state.counters["plain_MBps"] = mb / plain;
    state.counters["ratio_to_plain"] = plain / hio;
}

// Request sizes of one record's correlations: 64, 1024 and 8192 complex channels.
BENCHMARK(BM_HioReadReals)->Arg(512)->Arg(8192)->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond);

void maskFastPath(std::vector<int>& flags)
{
    int tno, st;
    hopen_c(&tno, fixture().ds.c_str(), "old", &st);
    const int m = mkopen_c(tno, "flags", "old");
    for (int64_t at = 0; at < maskFlags; at += chunkFlags) {
        const int n = static_cast<int>(std::min<int64_t>(chunkFlags, maskFlags - at));
        mkread_c(m, MK_FLAGS, flags.data(), at, n, n);
    }
    mkclose_c(m);
    hclose_c(tno);
    benchmark::DoNotOptimize(flags.data());
}

// The same flags from the same 128-word windows, each flag taken by its own shift and mask.
void maskBitByBit(std::vector<int>& flags)
{
    const int wordsPerWindow = 128;
    std::vector<char> raw(4 * wordsPerWindow);
    std::vector<int> words(wordsPerWindow);
    const int fd = open((fixture().ds + "/flags").c_str(), O_RDONLY);
    int64_t windowStart = -1;  // first position held in `words`
    for (int64_t at = 0; at < maskFlags; at += chunkFlags) {
        const int n = static_cast<int>(std::min<int64_t>(chunkFlags, maskFlags - at));
        for (int i = 0; i < n; ++i) {
            const int64_t p = at + i + 31;
            if (windowStart < 0 || p >= windowStart + 31 * wordsPerWindow) {
                windowStart = p - p % 31;
                const ssize_t got = pread(fd, raw.data(), raw.size(), windowStart / 31 * 4);
                unpack32_c(raw.data(), words.data(), static_cast<int>(got / 4));
            }
            const int64_t rel = p - windowStart;
            flags[static_cast<size_t>(i)] = (words[static_cast<size_t>(rel / 31)] >> (rel % 31)) & 1;
        }
    }
    close(fd);
    benchmark::DoNotOptimize(flags.data());
}

// mkread_c mode 1 over 10^8 flags against the bit-by-bit decode; ratio_to_bitwise is the
// flag rate of mkread_c over that of the bit-by-bit loop (CPU time).
void BM_MaskRead(benchmark::State& state)
{
    std::vector<int> flags(chunkFlags);
    fixture();
    double fast = 0, bitwise = 0;
    for (auto _ : state) {
        double t0 = cpuSeconds();
        maskFastPath(flags);
        double t1 = cpuSeconds();
        maskBitByBit(flags);
        double t2 = cpuSeconds();
        fast += t1 - t0;
        bitwise += t2 - t1;
    }
    const double n = static_cast<double>(maskFlags) * static_cast<double>(state.iterations());
    state.counters["fast_flags_per_s"] = n / fast;
    state.counters["bitwise_flags_per_s"] = n / bitwise;
    state.counters["ratio_to_bitwise"] = bitwise / fast;
}

BENCHMARK(BM_MaskRead)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
