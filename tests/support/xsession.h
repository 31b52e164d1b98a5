// Real windows under a private X server, for the window tests and the frame benchmarks: an Xvfb
// of the caller's own, programs running in the background on it, xdotool keys, xwd screenshots.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrum::test {

// The title freeglut gives the plotting library's window.
inline const std::string kWindowTitle = "S2GL application";

// Under the sanitizer build the GL driver keeps buffers until exit and is unloaded before the
// leak check runs, so its allocations show up without a module to suppress them by. Programs
// that open a real window therefore run without the leak check (environment entry).
inline const std::string kNoGlLeakCheck = "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0";

// An Xvfb server of its own (1024x768x24, -noreset) on a free display number; stopped on
// destruction. `extraArgs` go to Xvfb as they are (e.g. "-extension", "GLX").
class XServer {
public:
    explicit XServer(const std::vector<std::string>& extraArgs = {});
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool ok() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N"
    std::string env() const { return "DISPLAY=" + display_; }

private:
    bool start(const std::string& number, const std::vector<std::string>& extraArgs);
    pid_t pid_ = -1;
    std::string display_;
};

// A program running in the background with its output collected in files under `dir`
// (named after `name`); killed on destruction when it still runs.
class Background {
public:
    Background(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& dir,
               const std::string& name = "background");
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits up to `seconds` for the program to end; true with its exit status (128 + signal).
    bool wait(double seconds, int& status);
    bool running();
    std::string out() const;
    std::string err() const;
    // Waits until standard output contains `text`; false after `seconds`.
    bool waitForOutput(const std::string& text, double seconds = 20.0) const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_, errPath_;
};

struct Image {
    int width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // 0xRRGGBB, rows top down

    std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    // Whether any pixel within `radius` of (x, y) has all three channels at least `level`.
    bool brightNear(int x, int y, int radius, int level = 128) const;
    // How many pixels are not black.
    std::size_t lit() const;
    bool operator==(const Image& o) const = default;
};

// An 8-bit RGB PNG file as an image; empty when it cannot be read.
Image readPng(const std::string& path);

// The contents of the window titled `title`, read with xwd; empty when it cannot be read.
Image screenshot(const XServer& x, const std::string& title = kWindowTitle);
// Waits until a window titled `title` is mapped, then puts it at the screen's origin (there is
// no window manager) and gives it the keyboard focus.
bool waitForWindow(const XServer& x, double seconds, const std::string& title = kWindowTitle);
// Sends key presses (xdotool key names such as "h", "Right", "shift+Escape", "question").
void pressKeys(const XServer& x, const std::vector<std::string>& keys);
double now();
double secondsSince(double start);

// Takes screenshots until `want` holds for one (a frame may take a while under load), for at
// most `seconds`; returns the last one.
template <typename Pred>
Image screenshotWhen(const XServer& x, double seconds, Pred want)
{
    const double start = now();
    Image img = screenshot(x);
    while (!want(img) && secondsSince(start) < seconds)
        img = screenshot(x);
    return img;
}

}  // namespace kestrum::test
