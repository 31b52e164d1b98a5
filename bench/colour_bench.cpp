// Frame cost of the view's colouring and waterfall under a private Xvfb with the software
// renderer, each against a baseline drawn in the same run:
//   - the waterfall of one baseline of 8,600 records x 1,024 channels (8.8 M cells), against
//     the same frame without the picture (box, labels and colour bar only);
//   - 2,000 x 1,024 points coloured by value, against the same points in white.
// Each case runs in a child process of its own with its own window; frames are counted over
// three seconds after the first two (which compute the points or the picture), in wall time and
// in the process's CPU time (the software renderer draws in the process).
#include "app/kestrum.h"
#include "app/view.h"
#include "app/waterfall.h"
#include "bench/cputime.h"
#include "plot/plot.h"
#include "tests/support/xsession.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <complex>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Case { waterfall, emptyFrame, valueColour, white };

struct Result {
    double fps = 0.0, cpuPerFrame = 0.0;
    int ok = 0;
};

kestrum::test::XServer& server()
{
    static kestrum::test::XServer s;
    return s;
}

// ---- Child side ----------------------------------------------------------------------

Case what;
int resultFd = -1;
int frames = 0;
Clock::time_point wallStart;
double cpuStart = 0.0;

void frame(double* t, int* kc)
{
    if (++frames == 3) {
        wallStart = Clock::now();
        cpuStart = cpuSeconds();
    } else if (frames > 3) {
        const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
        if (wall > 3.0 && frames > 6) {
            Result r;
            r.fps = (frames - 3) / wall;
            r.cpuPerFrame = (cpuSeconds() - cpuStart) / (frames - 3);
            r.ok = 1;
            if (write(resultFd, &r, sizeof r) != static_cast<ssize_t>(sizeof r))
                _exit(1);
            _exit(0);
        }
    }
    if (what == Case::emptyFrame) {
        // What the waterfall frame draws besides its picture.
        static const unsigned char grey[6] = {0, 0, 0, 255, 255, 255};
        s2cbar(2, grey, 0.0f, 1.0f, "Amplitude");
        const std::string title = viewTitle();
        s2box("BCNT", 0, 0, "BCNT", 0, 0, "", 0, 0);
        s2lab("Channel", "time", "", title.c_str());
        return;
    }
    cb(t, kc);
}

// One baseline of `records` records of 1,024 channels, 10 s apart, held in memory.
void buildObservation(int records)
{
    constexpr int kChannels = 1024;
    pobs = new Observation(opts, false);
    pobs->nchan = kChannels;
    pobs->tint = 10.0;
    opts.bchan = 0;
    opts.echan = kChannels - 1;
    std::vector<std::complex<float>> data(kChannels);
    std::vector<int> flags(kChannels, 0);
    unsigned seed = 1;
    for (int i = 0; i < records; ++i) {
        for (int c = 0; c < kChannels; ++c) {
            seed = seed * 1664525u + 1013904223u;
            data[c] = std::polar(5.0f + 0.001f * static_cast<float>(seed >> 22), 0.001f * c + 0.01f * i);
        }
        pobs->allVis.emplace_back(i, 0.0, 0.0, 2459000.5 + i * 10.0 / 86400, 258.0, 0.0, -5, kChannels, data.data(),
                                  flags.data(), false);
        pobs->add("bench", i);
    }
    s = pobs->sources.begin();
    b = s->second.baselines.begin();
    updateStatistics();
}

[[noreturn]] void runChild(Case c, int fd)
{
    what = c;
    resultFd = fd;
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    setenv("DISPLAY", server().display().c_str(), 1);
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    const bool fall = c == Case::waterfall || c == Case::emptyFrame;
    buildObservation(fall ? 8600 : 2000);
    char name[] = "kestrum_bench";
    char* argv[] = {name, nullptr};
    if (!s2opend("/S2MONO", 1, argv))
        _exit(2);
    colourMode = c == Case::valueColour ? 1 : 0;
    if (fall)
        toggleWaterfall();
    rescale();
    cs2scb(frame);
    s2show(1);
    _exit(3);
}

Result measure(Case c)
{
    Result r;
    int fds[2];
    if (!server().ok() || pipe(fds) != 0)
        return r;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        runChild(c, fds[1]);
    }
    close(fds[1]);
    if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r))
        r.ok = 0;
    close(fds[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return r;
}

void BM_Colour(benchmark::State& state, Case measured, Case baseline, const char* ratioName)
{
    // The two take turns, so that a change in the machine's load hits both alike.
    Result m, b;
    int runs = 0;
    for (auto _ : state) {
        const bool baselineFirst = runs % 2 == 0;
        const Result r1 = measure(baselineFirst ? baseline : measured);
        const Result r2 = measure(baselineFirst ? measured : baseline);
        const Result& rm = baselineFirst ? r2 : r1;
        const Result& rb = baselineFirst ? r1 : r2;
        if (!rm.ok || !rb.ok) {
            state.SkipWithError("no frames: Xvfb or the window did not come up");
            return;
        }
        m.fps += rm.fps, m.cpuPerFrame += rm.cpuPerFrame;
        b.fps += rb.fps, b.cpuPerFrame += rb.cpuPerFrame;
        ++runs;
        state.SetIterationTime(1.0 / rm.fps);
    }
    state.counters["fps"] = m.fps / runs;
    state.counters["baseline_fps"] = b.fps / runs;
    state.counters["cpu_ms_per_frame"] = 1e3 * m.cpuPerFrame / runs;
    state.counters["baseline_cpu_ms_per_frame"] = 1e3 * b.cpuPerFrame / runs;
    // Process CPU time per frame over the baseline's: the machine is shared, so wall time
    // mostly measures the neighbours.
    state.counters[ratioName] = m.cpuPerFrame / b.cpuPerFrame;
}

// Aim: at least 10 frames a second.
BENCHMARK_CAPTURE(BM_Colour, waterfall_8M8, Case::waterfall, Case::emptyFrame, "frame_time_vs_empty")
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
// Aim: frame time (in CPU time) at most 1.10 times that of white points.
BENCHMARK_CAPTURE(BM_Colour, value_colour_2M, Case::valueColour, Case::white, "frame_time_vs_white")
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
