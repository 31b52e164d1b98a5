// The C interface of the plotting library, on top of the session core, the GLUT window layer and
// the CPU rasteriser that draws pictures without a window.
#include "plot/plot.h"

#include "plot/device.h"
#include "plot/raster.h"
#include "plot/s2winglut.h"
#include "plot/session.h"
#include "plot/snapshot.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kestrum::plot;

namespace {

bool g_pictureDevice = false;  // "/PNG" is open

// One frame of the session's scene drawn off-screen from the home camera for a width x height
// picture, turned by `right` and `up` radians; valid until the next call.
const std::vector<unsigned char>& drawPicture(int width, int height, double right, double up)
{
    static Raster raster;
    static bool fontWarned = false;
    if (!fontWarned && !raster.fontProblem().empty()) {
        fontWarned = true;
        warn(stderr, "s2png", ("no text in pictures: " + raster.fontProblem()).c_str());
    }
    Session& s = session();
    s.scene.beginFrame();
    if (s.frameCallback != nullptr) {
        double t = 0.0;
        int kc = s.spacePresses;
        s.frameCallback(&t, &kc);
    }
    Camera camera =
        homeCamera(s.scene.mapping.viewportLo(), s.scene.mapping.viewportHi(), static_cast<double>(width) / height);
    orbit(camera, right, up);
    return raster.draw(s.scene, camera, width, height, Overlays{});
}

}  // namespace

extern "C" {

int s2opend(const char* device, int argc, char** argv)
{
    const Device* d = findDevice(device, std::getenv("S2GL_DEV"), stdin, stdout, stderr);
    if (d == nullptr)
        return 0;
    if (d->projection == Projection::Picture) {
        g_pictureDevice = true;
        return 1;
    }
    if (d->projection != Projection::Mono) {
        const std::string text = std::string(d->name) + " is drawn as a monoscopic view here";
        warn(stderr, "s2opend", text.c_str());
    }
    if (!openWindow(argc, argv, d->fullScreen))
        return 0;
    session().cameraSpeed = 1.0;
    return 1;
}

void s2svp(float x1, float x2, float y1, float y2, float z1, float z2)
{
    const float lo[3] = {x1, y1, z1}, hi[3] = {x2, y2, z2};
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(lo[i]) || !std::isfinite(hi[i])) {
            warn(stderr, "s2svp", "viewport bounds must be finite numbers; viewport unchanged");
            return;
        }
    session().scene.mapping.setViewport(lo, hi);
}

void s2swin(float x1, float x2, float y1, float y2, float z1, float z2)
{
    const float lo[3] = {x1, y1, z1}, hi[3] = {x2, y2, z2};
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(lo[i]) || !std::isfinite(hi[i])) {
            warn(stderr, "s2swin", "world window bounds must be finite numbers; window unchanged");
            return;
        }
    session().scene.mapping.setWindow(lo, hi);
}

void s2box(const char* xopt, float xtick, int, const char* yopt, float ytick, int, const char* zopt, float ztick, int)
{
    const char* opt[3] = {xopt, yopt, zopt};
    const float step[3] = {xtick, ytick, ztick};
    session().scene.addBox(opt, step);
}

void s2lab(const char* xlabel, const char* ylabel, const char* zlabel, const char* title)
{
    session().scene.setLabels(xlabel, ylabel, zlabel, title);
}

void ns2point(float x, float y, float z, float r, float g, float b)
{
    session().scene.addPoint(x, y, z, r, g, b);
}

void ns2line(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b)
{
    session().scene.addLine(x1, y1, z1, x2, y2, z2, r, g, b);
}

void s2image(int nx, int ny, const unsigned char* rgb, float x1, float x2, float y1, float y2, float z)
{
    session().scene.addImage(nx, ny, rgb, x1, x2, y1, y2, z);
}

void s2cbar(int n, const unsigned char* rgb, float lo, float hi, const char* label)
{
    session().scene.setColourBar(n, rgb, lo, hi, label);
}

void s2qcam(float position[3], float target[3], float up[3])
{
    const Camera& c = session().camera;
    const Vec3 v[3] = {c.position, c.target, c.up};
    float* out[3] = {position, target, up};
    for (int i = 0; i < 3; ++i) {
        out[i][0] = static_cast<float>(v[i].x);
        out[i][1] = static_cast<float>(v[i].y);
        out[i][2] = static_cast<float>(v[i].z);
    }
}

void s2scam(const float position[3], const float target[3], const float up[3])
{
    const Vec3 p = {position[0], position[1], position[2]}, t = {target[0], target[1], target[2]},
               u = {up[0], up[1], up[2]};
    const Vec3 sight = {t.x - p.x, t.y - p.y, t.z - p.z};
    const Vec3 side = {sight.y * u.z - sight.z * u.y, sight.z * u.x - sight.x * u.z, sight.x * u.y - sight.y * u.x};
    if (!(side.x * side.x + side.y * side.y + side.z * side.z > 0.0)) {
        warn(stderr, "s2scam", "the up direction is zero or along the line of sight; camera unchanged");
        return;
    }
    Camera& c = session().camera;
    c.position = p;
    c.target = t;
    c.up = u;
}

void ns2points(int n, const float* x, const float* y, const float* z, const float* rgb, float r, float g, float b)
{
    if (n > 0)
        session().scene.addPoints(static_cast<std::size_t>(n), x, y, z, rgb, r, g, b);
}

void ns2polyline(int n, const float* x, const float* y, const float* z, const float* rgb, float r, float g, float b)
{
    if (n > 1)
        session().scene.addPolyline(static_cast<std::size_t>(n), x, y, z, rgb, r, g, b);
}

void ns2polylines(int nlines, const std::size_t* start, const float* x, const float* y, const float* z,
                  const float* rgb, float r, float g, float b)
{
    if (nlines > 0)
        session().scene.addPolylines(static_cast<std::size_t>(nlines), start, x, y, z, rgb, r, g, b);
}

int ns2keep(void)
{
    return session().scene.keepGeometry() ? 1 : 0;
}

void cs2scb(void (*callback)(double* t, int* kc))
{
    session().frameCallback = callback;
}

void cs2skcb(int (*callback)(unsigned char* key))
{
    session().keyCallback = callback;
}

void s2show(int)
{
    if (g_pictureDevice) {
        const int width = sizeFromEnv("S2GL_WIDTH", 800), height = sizeFromEnv("S2GL_HEIGHT", 600);
        std::string why;
        const std::string path = saveFrame("", width, height, drawPicture(width, height, 0.0, 0.0).data(), why);
        if (path.empty())
            warn(stderr, "s2show", ("frame not saved: " + why).c_str());
        else
            std::fprintf(stderr, "s2show: frame saved to %s\n", path.c_str());
        return;
    }
    if (!windowIsOpen()) {
        warn(stderr, "s2show", "no device is open (s2opend failed or was not called)");
        return;
    }
    Session& s = session();
    s.home = homeCamera(s.scene.mapping.viewportLo(), s.scene.mapping.viewportHi(), windowAspect());
    s.camera = s.home;
    std::fprintf(stderr, "Entering interactive mode.  Shift-ESC or Shift-Q to quit.\n");
    std::fflush(stderr);
    runEventLoop();
}

int s2png(const char* path, int width, int height, float right, float up)
{
    if (path == nullptr || *path == '\0' || width < 1 || height < 1 || width > 16384 || height > 16384) {
        warn(stderr, "s2png", "a picture needs a file name and a size of 1 .. 16384 pixels each way; nothing written");
        return 0;
    }
    constexpr double kRadiansPerDegree = 0.0174532925199432958;
    const std::vector<unsigned char>& rgb =
        drawPicture(width, height, right * kRadiansPerDegree, up * kRadiansPerDegree);
    std::string why;
    if (!replacePng(path, width, height, rgb.data(), why)) {
        warn(stderr, "s2png", ("picture not written: " + why).c_str());
        return 0;
    }
    return 1;
}

}  // extern "C"
