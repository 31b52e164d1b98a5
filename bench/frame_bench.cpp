// Frame cost of the baseline view under a private Xvfb with the software renderer: frames
// per second for one baseline of 2,000 records x 1,024 channels in points mode and in
// cross-hatch mode, against the plotting library drawing the same points (or segments)
// straight from arrays in the same run; the share of a frame spent in the viewer's callback;
// and the time from a key press ("m", "n") to the end of the next frame, with the part of it
// spent in the viewer (key handler and the next callback, which recomputes the points).
#include "app/kestrum.h"
#include "app/view.h"
#include "bench/window.h"
#include "plot/plot.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRecords = 2000;
constexpr int kChannels = 1024;

// What a child reports.
struct FrameResult {
    double fps = 0.0;
    double callbackShare = 0.0;  // time in the per-frame callback / frame time
    double keyM = 0.0;  // seconds from "m" to the end of the frame drawn after it
    double keyN = 0.0;
    double keyMCompute = 0.0;  // of which in the viewer: the key handler and the next callback
    double keyNCompute = 0.0;
    int ok = 0;
};

// ---- Child side ----------------------------------------------------------------------

enum class Mode { viewerPoints, viewerHatch, rawPoints, rawLines };

Mode mode;
int resultFd = -1;
std::vector<float> rx, ry, rz;  // raw points, or raw segment end points in pairs
FrameResult result;

// The measurement runs through these steps, one frame callback at a time.
enum class Step { warmUp, measure, afterKey, keyShown };
Step step = Step::warmUp;
int frames = 0;
Clock::time_point measureStart, keyAt;
double callbackSeconds = 0.0, keyCompute = 0.0;
unsigned char pressed = 0;

void rawDraw()
{
    if (mode == Mode::rawPoints) {
        for (size_t p = 0; p < rx.size(); ++p)
            ns2point(rx[p], ry[p], rz[p], 1.0f, 1.0f, 1.0f);
    } else {
        for (size_t p = 0; p + 1 < rx.size(); p += 2)
            ns2line(rx[p], ry[p], rz[p], rx[p + 1], ry[p + 1], rz[p + 1], 1.0f, 1.0f, 1.0f);
    }
}

void finish()
{
    result.ok = 1;
    sendToParent(resultFd, result);
}

double since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Presses `key` through the viewer's key handler, as the event loop would between frames.
void press(unsigned char key)
{
    pressed = key;
    keyAt = Clock::now();
    kcb(&key);
    keyCompute = since(keyAt);
    step = Step::afterKey;
}

// Wraps the frame: counts frames and the time in the callback, then presses "m" and "n".
void frame(double* t, int* kc)
{
    const bool viewer = mode == Mode::viewerPoints || mode == Mode::viewerHatch;
    ++frames;
    if (step == Step::warmUp && frames == 2) {
        step = Step::measure;
        measureStart = Clock::now();
        frames = 0;
        callbackSeconds = 0.0;
    } else if (step == Step::measure) {
        const double elapsed = since(measureStart);
        if ((frames >= 3 && elapsed > 3.0) || elapsed > 60.0) {
            result.fps = frames / elapsed;
            result.callbackShare = callbackSeconds / elapsed;
            if (!viewer)
                finish();
            press('m');
        }
    } else if (step == Step::keyShown) {
        // The frame drawn after the key is on screen: this call begins the next one.
        (pressed == 'm' ? result.keyM : result.keyN) = since(keyAt);
        if (pressed == 'n')
            finish();
        press('n');
    }
    const auto c0 = Clock::now();
    if (viewer)
        cb(t, kc);
    else
        rawDraw();
    const double spent = since(c0);
    callbackSeconds += spent;
    if (step == Step::afterKey) {
        (pressed == 'm' ? result.keyMCompute : result.keyNCompute) = keyCompute + spent;
        step = Step::keyShown;
    }
}

void buildRaw()
{
    // The same points (or cross-hatch segments) as the viewer draws for the first baseline.
    const Baseline& bl = b->second;
    auto z = [&](int i) {
        return static_cast<float>((pobs->allVis[bl.vis[i]].time - pobs->allVis[bl.vis[0]].time) * 24);
    };
    if (mode == Mode::rawPoints) {
        for (int i = 0; i < kRecords; ++i)
            for (int c = 0; c < kChannels; ++c)
                rx.push_back(static_cast<float>(c)), ry.push_back(bl.Amp(i, c, false, false)), rz.push_back(z(i));
        return;
    }
    auto seg = [](float x1, float y1, float z1, float x2, float y2, float z2) {
        rx.push_back(x1), ry.push_back(y1), rz.push_back(z1);
        rx.push_back(x2), ry.push_back(y2), rz.push_back(z2);
    };
    for (int i = 0; i < kRecords; ++i)
        for (int c = 1; c < kChannels; ++c)
            seg(c - 1.0f, bl.Amp(i, c - 1, false, false), z(i), static_cast<float>(c), bl.Amp(i, c, false, false),
                z(i));
    for (int c = 0; c < kChannels; ++c)
        for (int i = 1; i < kRecords; ++i)
            seg(static_cast<float>(c), bl.Amp(i - 1, c, false, false), z(i - 1), static_cast<float>(c),
                bl.Amp(i, c, false, false), z(i));
}

[[noreturn]] void runChild(Mode m, int fd)
{
    mode = m;
    resultFd = fd;
    buildObservation(kRecords, kChannels, {258.0, 259.0});
    if (m == Mode::viewerHatch)
        doLine = 3;
    if (m == Mode::rawPoints || m == Mode::rawLines)
        buildRaw();
    openWindow();
    rescale();
    cs2scb(frame);
    cs2skcb(kcb);
    s2show(1);
    _exit(3);
}

FrameResult measure(Mode m)
{
    return measureInWindow<FrameResult>([m](int fd) { runChild(m, fd); });
}

void BM_Frame(benchmark::State& state, Mode viewerMode, Mode rawMode)
{
    // The two programs take turns, so that a change in the machine's load hits both alike.
    FrameResult viewer, raw;
    int runs = 0;
    bool ok = true;
    for (auto _ : state) {
        const bool rawFirst = runs % 2 == 0;
        FrameResult r1 = measure(rawFirst ? rawMode : viewerMode);
        FrameResult r2 = measure(rawFirst ? viewerMode : rawMode);
        const FrameResult& v = rawFirst ? r2 : r1;
        const FrameResult& r = rawFirst ? r1 : r2;
        ok = ok && v.ok && r.ok;
        viewer.fps += v.fps, viewer.callbackShare += v.callbackShare;
        viewer.keyM += v.keyM, viewer.keyN += v.keyN;
        viewer.keyMCompute += v.keyMCompute, viewer.keyNCompute += v.keyNCompute;
        raw.fps += r.fps, raw.callbackShare += r.callbackShare;
        ++runs;
        state.SetIterationTime(v.fps > 0 ? 1.0 / v.fps : 0.0);
    }
    if (!ok) {
        state.SkipWithError("no frames: Xvfb or the window did not come up");
        return;
    }
    state.counters["viewer_fps"] = viewer.fps / runs;
    state.counters["library_fps"] = raw.fps / runs;
    state.counters["fps_vs_library"] = viewer.fps / raw.fps;  // aim: at least 0.8
    state.counters["callback_share"] = viewer.callbackShare / runs;
    state.counters["library_callback_share"] = raw.callbackShare / runs;
    state.counters["key_m_s"] = viewer.keyM / runs;  // aim: under 0.5 s
    state.counters["key_n_s"] = viewer.keyN / runs;
    state.counters["key_m_viewer_s"] = viewer.keyMCompute / runs;
    state.counters["key_n_viewer_s"] = viewer.keyNCompute / runs;
}

BENCHMARK_CAPTURE(BM_Frame, points_2M, Mode::viewerPoints, Mode::rawPoints)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Frame, crosshatch_2M, Mode::viewerHatch, Mode::rawLines)
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
