// Frames per second of points submitted through ns2point every frame, against a bare GL program
// that draws the same points from a vertex buffer object, in the same window and run. Needs
// Xvfb: the benchmark starts a private server (Mesa's software renderer draws).
#define GL_GLEXT_PROTOTYPES 1
#include "plot/plot.h"
#include "plot/s2winglut.h"
#include "plot/scene.h"
#include "plot/session.h"
#include "tests/support/xsession.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glu.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The window, opened once for every benchmark.
bool openOnce()
{
    static kestrum::test::XServer server;  // a private one for the whole run
    static const bool open = [] {
        if (!server.ok())
            return false;
        setenv("DISPLAY", server.display().c_str(), 1);
        char name[] = "kestrum_bench";
        char* argv[] = {name, nullptr};
        if (s2opend("/S2MONO", 1, argv) == 0)
            return false;
        s2svp(-1, 1, -1, 1, -1, 1);
        s2swin(0, 1, 0, 1, 0, 1);
        // The home camera, as s2show places it before its loop.
        kestrum::plot::Session& s = kestrum::plot::session();
        s.home = kestrum::plot::homeCamera(s.scene.mapping.viewportLo(), s.scene.mapping.viewportHi(),
                                           kestrum::plot::windowAspect());
        s.camera = s.home;
        return true;
    }();
    return open;
}

int g_points = 0;

// The per-frame callback a caller writes: one ns2point per point, positions from a cheap hash.
void submitPoints(double*, int*)
{
    for (int i = 0; i < g_points; ++i) {
        const unsigned h = static_cast<unsigned>(i) * 2654435761u;
        ns2point((h & 1023) / 1023.0f, (h >> 10 & 1023) / 1023.0f, (h >> 20 & 1023) / 1023.0f, 1, 1, 1);
    }
}

// The same points, as the bare program keeps them in a buffer object.
GLuint makeBareBuffer(int n)
{
    std::vector<kestrum::plot::Vertex> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const unsigned h = static_cast<unsigned>(i) * 2654435761u;
        v[static_cast<std::size_t>(i)] = {
            (h & 1023) / 511.5f - 1, (h >> 10 & 1023) / 511.5f - 1, (h >> 20 & 1023) / 511.5f - 1, 255, 255, 255, 255};
    }
    GLuint buffer = 0;
    glGenBuffers(1, &buffer);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(v.size() * sizeof v[0]), v.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return buffer;
}

void bareFrame(GLuint buffer, int n)
{
    glViewport(0, 0, 800, 600);
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(45.0, 800.0 / 600.0, 0.01, 100.0);  // the library's home view of the same cube
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslated(0, 0, -4.526);
    glBindBuffer(GL_ARRAY_BUFFER, buffer);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    glVertexPointer(3, GL_FLOAT, sizeof(kestrum::plot::Vertex), nullptr);
    glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(kestrum::plot::Vertex), reinterpret_cast<void*>(12));
    glDrawArrays(GL_POINTS, 0, n);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glutSwapBuffers();
    glFinish();
}

double secondsOf(void (*f)(GLuint, int), GLuint b, int n)
{
    const auto t0 = Clock::now();
    f(b, n);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Each iteration draws one library frame (timed) and one bare frame; the counters give both
// frame rates and their ratio.
void BM_PointsPerFrame(benchmark::State& state)
{
    if (!openOnce()) {
        state.SkipWithError("no Xvfb or no window");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    const GLuint buffer = makeBareBuffer(n);
    g_points = n;
    cs2scb(submitPoints);
    kestrum::plot::drawFrame();  // first frame grows the buffers
    glFinish();
    double library = 0, bare = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        kestrum::plot::drawFrame();
        glFinish();
        const double t = std::chrono::duration<double>(Clock::now() - t0).count();
        state.SetIterationTime(t);
        library += t;
        bare += secondsOf(bareFrame, buffer, n);
    }
    glDeleteBuffers(1, &buffer);
    const double frames = static_cast<double>(state.iterations());
    state.counters["library_fps"] = frames / library;
    state.counters["bare_fps"] = frames / bare;
    state.counters["ratio"] = bare / library;
}
BENCHMARK(BM_PointsPerFrame)
    ->Arg(100000)
    ->Arg(1000000)
    ->Arg(4000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
