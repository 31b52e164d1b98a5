// Helpers for the plot window tests: a private Xvfb server per test, a program running in the
// background on it, screenshots with xwd and key presses with xdotool.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrum::test {

// An Xvfb server of its own (1024x768x24) on a free display number; stopped on destruction.
// `extraArgs` go to Xvfb as they are (e.g. "-extension", "GLX" for a server without OpenGL).
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

// A program running in the background with its output collected in files under `dir`.
class Background {
public:
    Background(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& dir);
    ~Background();  // kills the program if it still runs
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits up to `seconds` for the program to end; true with its exit status (128 + signal).
    bool wait(double seconds, int& status);
    bool running();
    std::string out() const;
    std::string err() const;

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
    bool operator==(const Image& o) const = default;
};

// The contents of the window titled `title`, read with xwd; empty when it cannot be read.
Image screenshot(const XServer& x, const std::string& title = "S2GL application");
// Waits until a window titled `title` is mapped.
bool waitForWindow(const XServer& x, double seconds, const std::string& title = "S2GL application");
// Sends key presses (xdotool key names such as "h", "Right", "shift+Escape").
void pressKeys(const XServer& x, const std::vector<std::string>& keys);
// Takes screenshots until `want` holds for one, for at most `seconds`; returns the last one.
template <typename Pred>
Image screenshotWhen(const XServer& x, double seconds, Pred want);
double secondsSince(double start);
double now();

template <typename Pred>
Image screenshotWhen(const XServer& x, double seconds, Pred want)
{
    const double start = now();
    Image img = screenshot(x);
    while (!want(img) && secondsSince(start) < seconds) img = screenshot(x);
    return img;
}

}  // namespace kestrum::test
