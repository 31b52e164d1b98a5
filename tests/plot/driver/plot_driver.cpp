// Test program for the plotting library's window tests: opens a device and draws a fixed scene
// whose pixels the tests know, with keyboard callbacks chosen on the command line.
//   plot_driver [--device NAME] [--static] [--block-home] [--chdir DIR] [--image]
//               [--png FILE RIGHT UP]
// --image adds a 4 x 3 image over the whole world window at z 5 and a colour bar of 5 colours,
// cell (i, j) coloured (60 i + 20, 80 j + 40, 200) and bar step k (50 k, 100, 250 - 50 k).
// Prints "s2opend: N" with the result of s2opend; exits 0 when it returns 0 and when the device
// draws off-screen. At exit it prints what the per-frame callback saw. --png opens no device:
// it writes the 800 x 600 picture turned RIGHT and UP degrees with s2png and prints "s2png: N".
#include "plot/plot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

bool g_blockHome = false;
bool g_image = false;

// World window x 0..100, y -50..50, z 0..10 onto the cube -1..1: these points land at device
// (-0.5, -0.5, 0), (0.5, -0.5, 0), (-0.5, 0.5, 0), (0.5, 0.5, 0) and (0, 0, 0).
const float kPoints[][3] = {{25, -25, 5}, {75, -25, 5}, {25, 25, 5}, {75, 25, 5}, {50, 0, 5}};

void drawScene()
{
    if (g_image) {
        unsigned char cells[3][4][3], bar[5][3];
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 4; ++i) {
                cells[j][i][0] = static_cast<unsigned char>(60 * i + 20);
                cells[j][i][1] = static_cast<unsigned char>(80 * j + 40);
                cells[j][i][2] = 200;
            }
        for (int k = 0; k < 5; ++k) {
            bar[k][0] = static_cast<unsigned char>(50 * k);
            bar[k][1] = 100;
            bar[k][2] = static_cast<unsigned char>(250 - 50 * k);
        }
        s2image(4, 3, &cells[0][0][0], 0, 100, -50, 50, 5);
        s2cbar(5, &bar[0][0], 0.0f, 1.0f, "Value");
    }
    for (const auto& p : kPoints)
        ns2point(p[0], p[1], p[2], 1, 1, 1);
    s2box("BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0, "BCDETMNOPQ", 0, 0);
    s2lab("Channel", "Amplitude", "time", "Test scene\nsecond line");
}

// What the per-frame callback saw, printed at exit: "frames N rate R spaces K".
int g_frames = 0;
double g_firstT = 0, g_lastT = 0;
int g_spaces = 0;

void frame(double* t, int* kc)
{
    if (g_frames++ == 0)
        g_firstT = *t;
    g_lastT = *t;
    g_spaces = *kc;
    drawScene();
}

void printFrames()
{
    const double rate = g_frames > 1 && g_lastT > g_firstT ? (g_frames - 1) / (g_lastT - g_firstT) : 0.0;
    std::printf("frames %d rate %.2f spaces %d\n", g_frames, rate, g_spaces);
}

int key(unsigned char* k)
{
    if (g_blockHome && (*k == 'h' || *k == 'H'))
        return 1;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* device = "/S2MONO";
    bool staticScene = false;
    const char* png = nullptr;
    float right = 0, up = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc)
            device = argv[++i];
        else if (std::strcmp(argv[i], "--png") == 0 && i + 3 < argc) {
            png = argv[++i];
            right = std::strtof(argv[++i], nullptr);
            up = std::strtof(argv[++i], nullptr);
        } else if (std::strcmp(argv[i], "--static") == 0)
            staticScene = true;
        else if (std::strcmp(argv[i], "--block-home") == 0)
            g_blockHome = true;
        else if (std::strcmp(argv[i], "--image") == 0)
            g_image = true;
        else if (std::strcmp(argv[i], "--chdir") == 0 && i + 1 < argc) {
            if (chdir(argv[++i]) != 0)
                return 2;
        }
    }
    if (png != nullptr) {
        s2svp(-1, 1, -1, 1, -1, 1);
        s2swin(0, 100, -50, 50, 0, 10);
        cs2scb(frame);
        std::printf("s2png: %d\n", s2png(png, 800, 600, right, up));
        return 0;
    }
    const int opened = s2opend(device, argc, argv);
    std::printf("s2opend: %d\n", opened);
    std::fflush(stdout);
    if (opened == 0)
        return 0;
    s2svp(-1, 1, -1, 1, -1, 1);
    s2swin(0, 100, -50, 50, 0, 10);
    std::atexit(printFrames);
    if (staticScene)
        drawScene();
    else
        cs2scb(frame);
    cs2skcb(key);
    s2show(1);
    return std::strcmp(device, "/PNG") == 0 ? 0 : 3;  // a window's s2show never returns
}
