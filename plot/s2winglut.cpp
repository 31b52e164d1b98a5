// GLUT window layer: everything that talks to X11 and freeglut. The drawing itself is the
// renderer's, the state and key dispatch the session's.
#define GL_GLEXT_PROTOTYPES 1
#include "plot/s2winglut.h"

#include "plot/device.h"
#include "plot/raster.h"
#include "plot/refine.h"
#include "plot/render.h"
#include "plot/session.h"
#include "plot/snapshot.h"

#include <GL/freeglut.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kestrum::plot {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFrameInterval = 1.0 / 90.0;  // at most 90 frames a second
constexpr double kFadeSeconds = 0.4;
constexpr double kDragRadiansPerPixel = 0.5 * 0.0174532925;

struct Window {
    int id = 0;
    int width = 800, height = 600;
    Clock::time_point started = Clock::now();
    bool timerPending = false;
    bool quitting = false;
    Clock::time_point quitStarted;
    bool snapshotWanted = false;
    bool dragging = false;
    int dragX = 0, dragY = 0;
    Renderer renderer;
    // On a software GL the frames are drawn on the CPU and put on the screen in one go.
    bool onCpu = false;
    Raster raster;
    Refiner refiner;
    const std::vector<unsigned char>* picture = nullptr;  // the last one drawn on the CPU
    std::vector<unsigned char> pixels;  // snapshot buffer, kept between snapshots
};

Window& window()
{
    static Window w;
    return w;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// freeglut reports fatal errors here. While the window is being opened the error jumps back to
// openWindow, which warns and fails; later they end the process as freeglut itself would.
std::jmp_buf g_openJump;
bool g_opening = false;

void onGlutError(const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    warn(stderr, "freeglut", text);
    if (g_opening)
        std::longjmp(g_openJump, 1);
    std::exit(1);
}

void onGlutWarning(const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    warn(stderr, "freeglut", text);
}

// The display name glutInit will use: a "-display" argument, else $DISPLAY.
const char* displayName(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] != nullptr && std::strcmp(argv[i], "-display") == 0)
            return argv[i + 1];
    const char* env = std::getenv("DISPLAY");
    return env != nullptr && *env != '\0' ? env : nullptr;
}

// Opens the display the way freeglut will and checks that it offers OpenGL, so that glutInit
// does not fail (a failure in glutCreateWindow still comes back as a warning). Returns the open display,
// which the caller keeps until the window exists: a server whose last client leaves resets,
// and a connection made during the reset would fail. Null after a warning.
Display* probeDisplay(const char* name)
{
    char text[300];
    Display* display = XOpenDisplay(name);
    if (display == nullptr) {
        std::snprintf(text, sizeof text, "cannot open display \"%s\"; no window", name);
        warn(stderr, "s2opend", text);
        return nullptr;
    }
    // The core protocol's extension query: unlike the GLX calls it loads no GL driver into
    // this short-lived connection.
    int opcode = 0, eventBase = 0, errorBase = 0;
    const bool ok = XQueryExtension(display, "GLX", &opcode, &eventBase, &errorBase);
    if (!ok) {
        XCloseDisplay(display);
        std::snprintf(text, sizeof text, "display \"%s\" has no OpenGL (GLX) support; no window", name);
        warn(stderr, "s2opend", text);
        return nullptr;
    }
    return display;
}

void saveSnapshot(Window& w)
{
    w.pixels.resize(static_cast<std::size_t>(w.width) * static_cast<std::size_t>(w.height) * 3);
    glPushAttrib(GL_PIXEL_MODE_BIT);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, w.width, w.height, GL_RGB, GL_UNSIGNED_BYTE, w.pixels.data());
    glPopClientAttrib();
    glPopAttrib();
    std::string why;
    const std::string path = saveFrame("", w.width, w.height, w.pixels.data(), why);
    if (path.empty())
        warn(stderr, "s2show", ("frame not saved: " + why).c_str());
    else
        std::fprintf(stderr, "s2show: frame saved to %s\n", path.c_str());
}

// Whether to draw on the CPU: when the GL renderer is Mesa's software one (which draws millions
// of points several times slower) and the fonts for the text are there. S2GL_RENDER=gl keeps the
// GL renderer, S2GL_RENDER=cpu takes the CPU one on any GL.
bool drawOnCpu(Raster& raster)
{
    const char* choice = std::getenv("S2GL_RENDER");
    if (choice != nullptr && std::strcmp(choice, "gl") == 0)
        return false;
    const char* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    const bool software = name != nullptr &&
        (std::strstr(name, "llvmpipe") != nullptr || std::strstr(name, "softpipe") != nullptr ||
         std::strstr(name, "Software Rasterizer") != nullptr);
    return (software || (choice != nullptr && std::strcmp(choice, "cpu") == 0)) && raster.fontProblem().empty();
}

// Draws the frame on the CPU (or keeps the last picture when it is exact and nothing changed)
// and puts it on the screen.
void drawCpuFrame(Window& w, const Scene& scene, const Camera& camera, const Overlays& overlays)
{
    const Refiner::Plan plan = w.refiner.plan(scene, camera, w.width, w.height, overlays);
    if (!plan.reuse || w.picture == nullptr) {
        const Clock::time_point start = Clock::now();
        w.picture = &w.raster.draw(scene, camera, w.width, w.height, overlays, plan.every);
        w.refiner.drawn(plan, seconds(Clock::now() - start));
    }
    glPushAttrib(GL_ALL_ATTRIB_BITS);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glDisable(GL_BLEND);
    glDisable(GL_TEXTURE_2D);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glWindowPos2i(0, 0);
    glDrawPixels(std::max(w.width, 1), std::max(w.height, 1), GL_RGB, GL_UNSIGNED_BYTE, w.picture->data());
    glPopClientAttrib();
    glPopAttrib();
}

void onTimer(int)
{
    window().timerPending = false;
    glutPostRedisplay();
}

// One frame: the callback's geometry, the drawing, a requested snapshot, the buffer swap, and
// at the end of the fade-out the exit.
void drawFrameAt(Clock::time_point now)
{
    Window& w = window();
    Session& s = session();
    s.scene.beginKeepableFrame();
    if (s.frameCallback != nullptr) {
        double t = seconds(now - w.started);
        int kc = s.spacePresses;
        s.frameCallback(&t, &kc);
    }
    s.scene.endCallback();
    Overlays overlays;
    overlays.help = s.helpShown;
    if (w.quitting)
        overlays.fade = seconds(now - w.quitStarted) / kFadeSeconds;
    if (w.onCpu)
        drawCpuFrame(w, s.scene, s.camera, overlays);
    else
        w.renderer.draw(s.scene, s.camera, w.width, w.height, overlays);
    if (w.snapshotWanted) {
        w.snapshotWanted = false;
        saveSnapshot(w);
    }
    glutSwapBuffers();

    if (w.quitting && overlays.fade >= 1.0) {
        glutDestroyWindow(w.id);
        w.id = 0;
        std::fflush(nullptr);
        std::exit(0);
    }
}

void onDisplay()
{
    Window& w = window();
    const Clock::time_point now = Clock::now();
    drawFrameAt(now);
    if (!w.timerPending) {
        // The next frame starts no earlier than one frame interval after this one.
        const double wait = kFrameInterval - seconds(Clock::now() - now);
        w.timerPending = true;
        glutTimerFunc(wait > 0.0 ? static_cast<unsigned>(std::ceil(wait * 1000.0)) + 1 : 1, onTimer, 0);
    }
}

void onReshape(int width, int height)
{
    window().width = width > 0 ? width : 1;
    window().height = height > 0 ? height : 1;
}

void startQuit()
{
    Window& w = window();
    if (w.quitting)
        return;
    w.quitting = true;
    w.quitStarted = Clock::now();
}

void onKeyboard(unsigned char key, int, int)
{
    if (window().quitting)
        return;
    const bool shift = (glutGetModifiers() & GLUT_ACTIVE_SHIFT) != 0;
    if (pressKey(session(), key, shift) == KeyAction::Quit)
        startQuit();
}

void onSpecial(int key, int, int)
{
    Session& s = session();
    if (window().quitting)
        return;
    const double step = kArrowStep * s.cameraSpeed;
    switch (key) {
    case GLUT_KEY_LEFT:
        orbit(s.camera, -step, 0.0);
        break;
    case GLUT_KEY_RIGHT:
        orbit(s.camera, step, 0.0);
        break;
    case GLUT_KEY_UP:
        orbit(s.camera, 0.0, step);
        break;
    case GLUT_KEY_DOWN:
        orbit(s.camera, 0.0, -step);
        break;
    case GLUT_KEY_F1:
        s.helpShown = !s.helpShown;
        break;
    case GLUT_KEY_F2:
        window().snapshotWanted = true;
        break;
    default:
        break;
    }
}

void onMouse(int button, int state, int x, int y)
{
    Window& w = window();
    if (button == GLUT_LEFT_BUTTON || button == GLUT_MIDDLE_BUTTON || button == GLUT_RIGHT_BUTTON) {
        w.dragging = state == GLUT_DOWN;
        w.dragX = x;
        w.dragY = y;
    }
}

void onMotion(int x, int y)
{
    Window& w = window();
    if (!w.dragging)
        return;
    Session& s = session();
    orbit(s.camera, (x - w.dragX) * kDragRadiansPerPixel * s.cameraSpeed,
          (w.dragY - y) * kDragRadiansPerPixel * s.cameraSpeed);
    w.dragX = x;
    w.dragY = y;
}

void onWheel(int, int direction, int, int)
{
    zoom(session().camera, direction > 0 ? 1.0 / 1.1 : 1.1);
}

}  // namespace

bool openWindow(int argc, char** argv, bool fullScreen)
{
    Window& w = window();
    if (w.id != 0) {
        warn(stderr, "s2opend", "a device is already open; drawing goes to it");
        if (fullScreen)
            glutFullScreen();
        return true;
    }
    const char* display = displayName(argc, argv);
    if (display == nullptr) {
        warn(stderr, "s2opend", "no display (DISPLAY is not set); no window");
        return false;
    }
    Display* probe = probeDisplay(display);
    if (probe == nullptr)
        return false;

    w.width = sizeFromEnv("S2GL_WIDTH", 800);
    w.height = sizeFromEnv("S2GL_HEIGHT", 600);
    glutInitErrorFunc(onGlutError);
    glutInitWarningFunc(onGlutWarning);
    int glutArgc = argc > 0 && argv != nullptr ? argc : 0;
    char fallbackName[] = "s2";
    char* fallbackArgv[] = {fallbackName, nullptr};
    g_opening = true;
    if (setjmp(g_openJump) != 0) {
        g_opening = false;
        XCloseDisplay(probe);
        warn(stderr, "s2opend", "the window system could not open a window");
        return false;
    }
    if (glutArgc > 0) {
        glutInit(&glutArgc, argv);
    } else {
        glutArgc = 1;
        glutInit(&glutArgc, fallbackArgv);
    }
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);  // no depth buffer: nothing is depth-tested
    glutInitWindowSize(w.width, w.height);
    w.id = glutCreateWindow("S2GL application");
    g_opening = false;
    w.onCpu = drawOnCpu(w.raster);
    // S2GL_QUICK_FRAME: the seconds within which a changing frame drawn on the CPU is drawn in
    // part (0.08 otherwise).
    if (const char* quick = std::getenv("S2GL_QUICK_FRAME"); quick != nullptr && std::strtod(quick, nullptr) > 0.0)
        w.refiner = Refiner(std::strtod(quick, nullptr));
    XCloseDisplay(probe);
    if (fullScreen)
        glutFullScreen();

    glutDisplayFunc(onDisplay);
    glutReshapeFunc(onReshape);
    glutKeyboardFunc(onKeyboard);
    glutSpecialFunc(onSpecial);
    glutMouseFunc(onMouse);
    glutMotionFunc(onMotion);
    glutMouseWheelFunc(onWheel);
    return true;
}

bool windowIsOpen()
{
    return window().id != 0;
}

double windowAspect()
{
    return static_cast<double>(window().width) / window().height;
}

void drawFrame()
{
    if (window().id != 0)
        drawFrameAt(Clock::now());
}

void runEventLoop()
{
    Window& w = window();
    if (w.id == 0)
        return;
    w.started = Clock::now();
    glutMainLoop();
}

}  // namespace kestrum::plot
