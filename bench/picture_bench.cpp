// Pictures without a display: kestrum-survey's pictures per second for 28 baselines of 128
// channels x 200 records (against the survey of the same data in the same run); one picture of
// a baseline of 1 M points (against the view's statistics of that baseline); and the CPU
// rasteriser's frame of 2 M points against the GL renderer's frame of the same points under a
// private Xvfb with Mesa's software GL (both given the points anew in every frame, as the
// viewer does), which is why pictures are drawn on the CPU.
#include "app/kestrum.h"
#include "app/surveypictures.h"
#include "app/surveyprogram.h"
#include "app/view.h"
#include "bench/cputime.h"
#include "plot/plot.h"
#include "plot/raster.h"
#include "tests/support/support.h"
#include "tests/support/xsession.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <complex>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// An observation in memory: every baseline of `antennas` antennas, records x channels of noise
// around a smooth band.
Observation* observation(int antennas, int records, int channels)
{
    opts.bchan = 0;
    opts.echan = channels - 1;
    auto* obs = new Observation(opts, false);
    obs->nchan = channels;
    obs->tint = 10.0;
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    std::vector<std::complex<float>> data(static_cast<size_t>(channels));
    std::vector<int> flags(static_cast<size_t>(channels), 0);
    for (int i = 0; i < records; ++i)
        for (int a1 = 1; a1 <= antennas; ++a1)
            for (int a2 = a1 + 1; a2 <= antennas; ++a2) {
                for (int c = 0; c < channels; ++c)
                    data[c] = {5.0f + 0.002f * c + noise(rng), noise(rng)};
                obs->allVis.emplace_back(i, 0.0, 0.0, 2459000.5 + i * 10.0 / 86400, 256.0 * a1 + a2, 0.0, -5, channels,
                                         data.data(), flags.data(), false, obs->channels);
                obs->add("bench", static_cast<int>(obs->allVis.size() - 1));
            }
    return obs;
}

KrellParams pictureParams(const std::string& dir, int channels)
{
    KrellParams p(eAppSurvey);
    p.vis = "bench";
    p.png = dir;
    p.top = 0;
    p.echan = channels - 1;
    return p;
}

void BM_SurveyPictures(benchmark::State& state)
{
    Observation* obs = observation(8, 200, 128);
    const KrellParams params = pictureParams("", 128);
    double surveySeconds = 0.0, pictureSeconds = 0.0;
    size_t pictures = 0;
    for (auto _ : state) {
        kestrum::test::TempDir dir;
        KrellParams p = params;
        p.png = dir.path();
        double t0 = cpuSeconds();
        const Survey sv = survey(*obs, surveyThresholds(p));
        surveySeconds += cpuSeconds() - t0;
        t0 = cpuSeconds();
        if (!writeSurveyPictures(*obs, sv, p)) {
            state.SkipWithError("pictures not written");
            return;
        }
        pictureSeconds += cpuSeconds() - t0;
        pictures = sv.baselines.size();
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["baselines"] = static_cast<double>(pictures);
    state.counters["pictures_per_s"] = pictures * runs / pictureSeconds;  // aim: at least 5
    state.counters["survey_s"] = surveySeconds / runs;
    state.counters["pictures_vs_survey"] = pictureSeconds / surveySeconds;
}
BENCHMARK(BM_SurveyPictures)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_MillionPointPicture(benchmark::State& state)
{
    pobs = observation(2, 1000, 1000);
    s = pobs->sources.begin();
    b = s->second.baselines.begin();
    subMedian = 0;
    doLine = 0;
    kestrum::test::TempDir dir;
    double statsSeconds = 0.0, pictureSeconds = 0.0;
    for (auto _ : state) {
        double t0 = cpuSeconds();
        updateStatistics();
        statsSeconds += cpuSeconds() - t0;
        rescale();
        cs2scb(cb);
        t0 = cpuSeconds();
        if (s2png(dir.file("one.png").c_str(), 800, 600, -35, 25) != 1) {
            state.SkipWithError("picture not written");
            return;
        }
        pictureSeconds += cpuSeconds() - t0;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["picture_s"] = pictureSeconds / runs;  // aim: at most 0.5
    state.counters["statistics_s"] = statsSeconds / runs;
    state.counters["picture_vs_statistics"] = pictureSeconds / statsSeconds;
}
BENCHMARK(BM_MillionPointPicture)->Iterations(3)->Unit(benchmark::kMillisecond);

// ---- The same 2 M points drawn by the GL renderer in a window and by the rasteriser ----------

constexpr int kPoints = 2000 * 1024;

float coordinate(int i, int k)
{
    return static_cast<float>((static_cast<unsigned>(i) * 2654435761u >> (k * 7)) % 1000) / 999.0f;
}

void addPoints()
{
    for (int i = 0; i < kPoints; ++i)
        ns2point(coordinate(i, 0), coordinate(i, 1), coordinate(i, 2), 1.0f, 1.0f, 1.0f);
}

int g_frames = 0;
int g_fd = -1;
std::chrono::steady_clock::time_point g_start;

// Draws the points, as the viewer does in every frame; counts frames from the third on, and
// after 3 s reports the frame time and ends the child.
void countFrame(double*, int*)
{
    addPoints();
    if (++g_frames == 3)
        g_start = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
    if (g_frames > 3 && (elapsed > 3.0 || g_frames > 200)) {
        const double frameSeconds = elapsed / (g_frames - 3);
        _exit(write(g_fd, &frameSeconds, sizeof frameSeconds) == sizeof frameSeconds ? 0 : 1);
    }
}

// Seconds per frame of the GL renderer under Xvfb with Mesa's software GL; 0 when it failed.
double glFrameSeconds(const kestrum::test::XServer& x)
{
    int fds[2];
    if (!x.ok() || pipe(fds) != 0)
        return 0.0;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_fd = fds[1];
        setenv("DISPLAY", x.display().c_str(), 1);
        setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
        char name[] = "picture_bench";
        char* argv[] = {name, nullptr};
        if (!s2opend("/S2MONO", 1, argv))
            _exit(2);
        s2svp(-1, 1, -1, 1, -1, 1);
        s2swin(0, 1, 0, 1, 0, 1);
        cs2scb(countFrame);
        s2show(1);
        _exit(3);
    }
    close(fds[1]);
    double seconds = 0.0;
    if (read(fds[0], &seconds, sizeof seconds) != sizeof seconds)
        seconds = 0.0;
    close(fds[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return seconds;
}

void BM_RasterAgainstGl(benchmark::State& state)
{
    kestrum::plot::Scene scene;
    const float lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1}, wlo[3] = {0, 0, 0}, whi[3] = {1, 1, 1};
    scene.mapping.setViewport(lo, hi);
    scene.mapping.setWindow(wlo, whi);
    const kestrum::plot::Camera camera = kestrum::plot::homeCamera(lo, hi, 800.0 / 600.0);
    kestrum::plot::Raster raster;
    kestrum::test::XServer x;
    double rasterSeconds = 0.0, glSeconds = 0.0;
    // Wall time on both sides: GL's work is shared between the program, the driver's threads and
    // the X server, so the process's CPU time would leave part of it out.
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        for (int k = 0; k < 10; ++k) {
            scene.beginFrame();
            for (int i = 0; i < kPoints; ++i)
                scene.addPoint(coordinate(i, 0), coordinate(i, 1), coordinate(i, 2), 1.0f, 1.0f, 1.0f);
            benchmark::DoNotOptimize(raster.draw(scene, camera, 800, 600, {}).data());
        }
        rasterSeconds += std::chrono::duration<double>(Clock::now() - t0).count() / 10;
        glSeconds += glFrameSeconds(x);
    }
    if (!(glSeconds > 0.0)) {
        state.SkipWithError("no GL frames: Xvfb or the window did not come up");
        return;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["raster_frame_ms"] = 1e3 * rasterSeconds / runs;
    state.counters["gl_frame_ms"] = 1e3 * glSeconds / runs;
    state.counters["raster_vs_gl"] = rasterSeconds / glSeconds;
}
BENCHMARK(BM_RasterAgainstGl)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
