// s2demo: tries the plotting library on its own. Draws a few thousand points on a wobbling
// spiral inside a labelled box, redrawn every frame; "l" switches between points and lines,
// "q" quits like "Q", and the library's own keys (h, arrows, F1 help, F2 PNG) work as usual.
//   s2demo [device]      (default /S2MONO; "/?" asks)
#include "plot/plot.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr int kPoints = 5000;
constexpr float kTurns = 6.0f;
bool g_lines = false;

// Position of spiral point i at time t: x is the turn count, y a wobbling sine, z the angle.
void spiral(int i, double t, float& x, float& y, float& z)
{
    const float u = static_cast<float>(i) / kPoints;
    const float angle = u * kTurns * 2.0f * static_cast<float>(M_PI);
    x = u * kTurns;
    y = std::sin(angle) * (1.0f + 0.2f * static_cast<float>(std::sin(t + u * 10.0)));
    z = std::cos(angle) * 5.0f + 5.0f;
}

void frame(double* t, int* spaces)
{
    float px = 0, py = 0, pz = 0;
    for (int i = 0; i < kPoints; ++i) {
        float x, y, z;
        spiral(i, *t, x, y, z);
        const float u = static_cast<float>(i) / kPoints;
        if (!g_lines)
            ns2point(x, y, z, 1.0f, u, 1.0f - u);
        else if (i > 0)
            ns2line(px, py, pz, x, y, z, 1.0f, u, 1.0f - u);
        px = x;
        py = y;
        pz = z;
    }
    char title[128];
    std::snprintf(title, sizeof title, "Spiral of %d %s\ntime %.1f s, space pressed %d times", kPoints,
                  g_lines ? "segments" : "points", *t, *spaces);
    s2box("BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0);
    s2lab("Turns", "Height", "Depth", title);
}

int key(unsigned char* k)
{
    if (*k == 'l' || *k == 'L') {
        g_lines = !g_lines;
        return 1;
    }
    if (*k == 'q')
        *k = 'Q';  // passed on: the library quits on "Q"
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* device = argc > 1 ? argv[1] : "/S2MONO";
    if (s2opend(device, argc, argv) == 0)
        return 1;
    s2svp(-1, 1, -1, 1, -1, 1);
    s2swin(0, kTurns, -1.2f, 1.2f, 0, 10);
    cs2scb(frame);
    cs2skcb(key);
    std::printf("s2demo: l toggles points and lines, q quits, F1 shows the library's keys\n");
    std::fflush(stdout);
    s2show(1);
    return 0;
}
