// Driving the real viewer under a private X server: an Xvfb of the test's own, the kestrum
// process running in the background, key presses through xdotool and screenshots through xwd.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kestrum::test {

// A private virtual X server; stopped on destruction.
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& display() const { return display_; }   // ":N"

private:
    int pid_ = -1;
    std::string display_;
};

// A program running in the background with its output going to files; killed on
// destruction when it is still running.
class Background {
public:
    Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& outFile, const std::string& errFile);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits up to `seconds` for the program to end; true with its exit status (128 + signal
    // when killed) in *status, false when it is still running.
    bool wait(double seconds, int* status);

private:
    int pid_ = -1;
    bool done_ = false;
};

// The viewer on one data set under its own X server.
class ViewerSession {
public:
    // Starts Xvfb and kestrum with these arguments; waits until its window is mapped.
    ViewerSession(const std::string& workDir, const std::vector<std::string>& args);

    bool windowFound() const { return !window_.empty(); }
    // Presses the key (an xdotool key name such as "a", "shift+q", "question").
    void key(const std::string& name);
    // A screenshot of the whole screen, taken once two successive ones agree, so that the
    // frame after the last key press is complete.
    std::string screenshot();
    // Stable screenshots until one satisfies `want` (the frame after a key may take a while
    // under load), for at most `seconds`; returns the last one.
    template <typename Pred>
    std::string screenshotWhen(Pred want, double seconds = 20.0);
    // Waits until standard output contains `text`; false after `seconds`.
    bool waitForOutput(const std::string& text, double seconds = 20.0);
    std::string out() const;
    std::string err() const;
    // Waits for the viewer to end; its exit status, or -1 when it did not end in time.
    int waitExit(double seconds = 20.0);

private:
    std::string workDir_;
    Xvfb server_;
    std::string window_;
    Background viewer_;
};

template <typename Pred>
std::string ViewerSession::screenshotWhen(Pred want, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::string shot = screenshot();
    while (!want(shot) && std::chrono::steady_clock::now() < until)
        shot = screenshot();
    return shot;
}

}  // namespace kestrum::test
