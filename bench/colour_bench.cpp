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
#include "bench/window.h"
#include "plot/plot.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

enum class Case { waterfall, emptyFrame, valueColour, white };

struct Result {
    double fps = 0.0, cpuPerFrame = 0.0;
    int ok = 0;
};

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
            sendToParent(resultFd, r);
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

[[noreturn]] void runChild(Case c, int fd)
{
    what = c;
    resultFd = fd;
    const bool fall = c == Case::waterfall || c == Case::emptyFrame;
    buildObservation(fall ? 8600 : 2000, 1024, {258.0});
    openWindow();
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
    return measureInWindow<Result>([c](int fd) { runChild(c, fd); });
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
