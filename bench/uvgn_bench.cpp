// Reading a data set with gains, delays and a bandpass applied to every record, against reading
// the same data set without calibration (aim: at least 0.7 of its speed). The records are read
// with the record reader directly, as the access layer does, so that the ratio is not diluted
// by the access layer's own work.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "dataset/uvio.h"
#include "task/basant.h"
#include "task/uvgn.h"
#include "tests/support/support.h"
#include "tools/sim/calwriter.h"

namespace {

constexpr int kAnts = 16;
constexpr int kTimes = 40;
constexpr int kChan = 512;
constexpr double kT0 = 2460000.5;
constexpr double kMinute = 1.0 / 1440.0;

// A data set of every baseline of 16 antennas, 40 time stamps a minute apart, 512 channels in
// two windows, with gain solutions every 5 minutes, each valid for 5 minutes (so that records
// between two solutions interpolate), and a bandpass; with `delays`, also a delay term per
// antenna (power-law index and phase slope) that changes from solution to solution.
std::string writeDataSet(const std::string& p, bool delays)
{
    using kestrum::sim::Gain;
    const int ntau = delays ? 1 : 0;
    std::vector<kestrum::sim::SpectralWindow> windows{{kChan / 2, 0.12, 0.0001}, {kChan / 2, 0.15, 0.0001}};
    kestrum::sim::GainTable gains(kAnts, 1, ntau, 5 * kMinute);
    gains.freq0 = 0.14;
    for (int k = 0; k * 5 < kTimes; k++) {
        const int s = gains.addSolution(kT0 + 5 * k * kMinute);
        for (int a = 1; a <= kAnts; a++) {
            gains.gain(s, a, 1) = std::polar(1.0f + 0.01f * a, 0.1f * a + 0.05f * k);
            if (delays)
                gains.delay(s, a) = Gain(0.01f * a, 2.0f * a + 0.5f * k);
        }
    }
    kestrum::sim::BandpassTable bp(kAnts, 1, ntau, windows);
    bp.addSolution();
    for (int a = 1; a <= kAnts; a++)
        for (int c = 0; c < kChan; c++)
            bp.value(0, a, 1, c) = std::polar(1.0f + 0.001f * c, 0.01f * c * a);

    int tno;
    uvopen_c(&tno, p.c_str(), "new");
    uvset_c(tno, "preamble", "uv/time/baseline", 0, 0, 0, 0);
    const int nspect = 2, npol = 1, pol = -5;
    const int nschan[2] = {kChan / 2, kChan / 2};
    const double sfreq[2] = {0.12, 0.15}, sdf[2] = {0.0001, 0.0001};
    std::vector<float> data(2 * kChan);
    std::vector<int> flags(kChan, 1);
    for (int j = 0; j < kTimes; j++)
        for (int a1 = 1; a1 <= kAnts; a1++)
            for (int a2 = a1; a2 <= kAnts; a2++) {
                uvputvr_c(tno, 2, "nspect", &nspect, 1);
                uvputvr_c(tno, 2, "nschan", nschan, 2);
                uvputvr_c(tno, 5, "sfreq", sfreq, 2);
                uvputvr_c(tno, 5, "sdf", sdf, 2);
                uvputvr_c(tno, 2, "npol", &npol, 1);
                uvputvr_c(tno, 2, "pol", &pol, 1);
                for (int c = 0; c < kChan; c++) {
                    data[2 * c] = float(a1 + c % 7);
                    data[2 * c + 1] = float(a2 - j % 5);
                }
                const double preamble[4] = {1.0 * a1, 1.0 * a2, kT0 + j * kMinute, antbas(a1, a2)};
                uvwrite_c(tno, preamble, data.data(), flags.data(), kChan);
            }
    kestrum::sim::writeGains(tno, gains);
    kestrum::sim::writeBandpass(tno, bp, false);
    uvclose_c(tno);
    return p;
}

const std::string& dataSet(bool delays)
{
    static kestrum::test::TempDir dir;
    static const std::string plain = writeDataSet(dir.file("gains.uv"), false);
    static const std::string withDelays = writeDataSet(dir.file("delays.uv"), true);
    return delays ? withDelays : plain;
}

// Reads every record as the access layer does without Stokes processing: the record reader,
// then (when `calibrate`) the calibration of each record. Returns the records read.
long readAll(const std::string& path, bool calibrate)
{
    int tno = 0;
    uvopen_c(&tno, path.c_str(), "old");
    if (calibrate)
        uvgnini(tno, 1, 1);
    std::vector<float> data(2 * kChan);
    std::vector<int> flags(kChan);
    double preamble[4];
    int nread = 0;
    long records = 0;
    for (;;) {
        uvread_c(tno, preamble, data.data(), flags.data(), kChan, &nread);
        if (nread == 0)
            break;
        if (calibrate) {
            float grms;
            uvgnfac(preamble[2], preamble[3], 0, 0, data.data(), flags.data(), nread, &grms);
        }
        records++;
    }
    if (calibrate)
        uvgnfin();
    uvclose_c(tno);
    return records;
}

// The baseline: the data set with gains and bandpass, read without applying them.
void BM_ReadUncalibrated(benchmark::State& state)
{
    const std::string& path = dataSet(false);
    for (auto _ : state)
        benchmark::DoNotOptimize(readAll(path, false));
}
BENCHMARK(BM_ReadUncalibrated)->Unit(benchmark::kMillisecond);

// The target: the same data set with its gains and bandpass applied (aim: time ratio >= 0.7).
void BM_ReadWithGainsAndBandpass(benchmark::State& state)
{
    const std::string& path = dataSet(false);
    for (auto _ : state)
        benchmark::DoNotOptimize(readAll(path, true));
}
BENCHMARK(BM_ReadWithGainsAndBandpass)->Unit(benchmark::kMillisecond);

double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// The two reads interleaved, so that the load of a shared machine falls on both alike; the
// counter "ratio" is the uncalibrated CPU time over the calibrated one (aim: >= 0.7).
void BM_GainsAndBandpassRatio(benchmark::State& state)
{
    const std::string& path = dataSet(false);
    double plain = 0, calibrated = 0;
    bool calibratedFirst = false;
    for (auto _ : state) {
        // Which goes first alternates, so that neither always finds the other's leftovers.
        for (bool calibrate : {calibratedFirst, !calibratedFirst}) {
            const double t0 = cpuSeconds();
            benchmark::DoNotOptimize(readAll(path, calibrate));
            (calibrate ? calibrated : plain) += cpuSeconds() - t0;
        }
        calibratedFirst = !calibratedFirst;
    }
    state.counters["ratio"] = plain / calibrated;
}
BENCHMARK(BM_GainsAndBandpassRatio)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// For information: delay terms too (a data set of the same size), which cost a power law and a
// phase per antenna, channel and time stamp when they change with every time stamp.
void BM_ReadWithGainsDelaysAndBandpass(benchmark::State& state)
{
    const std::string& path = dataSet(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(readAll(path, true));
}
BENCHMARK(BM_ReadWithGainsDelaysAndBandpass)->Unit(benchmark::kMillisecond);

}  // namespace
