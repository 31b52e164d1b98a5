// Xvfb servers, background programs, xwd screenshots and xdotool keys.
#include "tests/support/xsession.h"

#include "tests/support/support.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrum::test {
namespace {

void pause(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string readIfThere(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t bigEndian32(const std::string& s, std::size_t at)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// Image from an xwd file of a 24- or 32-bit TrueColor window; empty if it is anything else.
Image parseXwd(const std::string& data)
{
    Image img;
    if (data.size() < 100)
        return img;
    std::uint32_t h[25];
    for (int i = 0; i < 25; ++i)
        h[i] = bigEndian32(data, 4 * static_cast<std::size_t>(i));
    const std::uint32_t headerSize = h[0], width = h[4], height = h[5], byteOrder = h[7], bpp = h[11],
                        bytesPerLine = h[12], masks[3] = {h[14], h[15], h[16]}, ncolors = h[19];
    const std::size_t offset = headerSize + static_cast<std::size_t>(ncolors) * 12;
    if (bpp != 32 || width == 0 || height == 0 || width > 8192 || height > 8192 ||
        data.size() < offset + static_cast<std::size_t>(bytesPerLine) * height)
        return img;
    img.width = static_cast<int>(width);
    img.height = static_cast<int>(height);
    img.pixels.resize(static_cast<std::size_t>(width) * height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::size_t at =
                offset + static_cast<std::size_t>(y) * bytesPerLine + 4 * static_cast<std::size_t>(x);
            std::uint32_t v = 0;
            for (std::size_t i = 0; i < 4; ++i) {
                const std::uint32_t byte = static_cast<unsigned char>(data[at + i]);
                v |= byteOrder == 0 ? byte << (8 * i) : byte << (8 * (3 - i));
            }
            std::uint32_t rgb = 0;
            for (std::uint32_t m : masks)
                rgb = (rgb << 8) | ((v & m) >> std::countr_zero(m) & 0xff);
            img.pixels[static_cast<std::size_t>(y) * width + x] = rgb;
        }
    return img;
}

}  // namespace

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double secondsSince(double start)
{
    return now() - start;
}

XServer::XServer(const std::vector<std::string>& extraArgs)
{
    // -noreset: the short-lived xdotool and xwd clients must not make the server reset
    // between them. A display number far above the usual ones, so that a server someone else
    // started on :0 or :99 is never ours; Xvfb's own lock files settle clashes, and -displayfd
    // tells when the server accepts connections on the number asked for.
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 20 && display_.empty(); ++attempt) {
        const std::string number = std::to_string(std::uniform_int_distribution<int>(300, 9000)(pick));
        if (start(number, extraArgs))
            display_ = ":" + number;
    }
}

bool XServer::start(const std::string& number, const std::vector<std::string>& extraArgs)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::vector<std::string> args = {"Xvfb",    ":" + number, "-displayfd",  std::to_string(fds[1]),
                                     "-screen", "0",          "1024x768x24", "-nolisten",
                                     "tcp",     "-noreset"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    auto argv = execPointers(args);
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execv("/usr/bin/Xvfb", argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return false;
    }
    // Xvfb writes the display number once it accepts connections; end of file means it gave up.
    std::string written;
    const double begin = now();
    while (secondsSince(begin) < 20.0) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char c;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        written.push_back(c);
    }
    close(fds[0]);
    if (written == number)
        return true;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return false;
}

XServer::~XServer()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

Background::Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& dir, const std::string& name)
    : outPath_(dir + "/" + name + ".out"), errPath_(dir + "/" + name + ".err")
{
    // Windows draw through GL unless a test asks for the CPU rasteriser, so that the window tests
    // check the GL renderer even where Mesa's software GL would make the CPU the default.
    std::vector<std::string> withRenderer = {"S2GL_RENDER=gl"};
    withRenderer.insert(withRenderer.end(), env.begin(), env.end());
    std::vector<std::string> envStore = environmentWith(withRenderer), argStore(argv);
    auto envp = execPointers(envStore), args = execPointers(argStore);
    // The output files exist before the program starts, so that reading them never races it.
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
}

Background::~Background()
{
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Background::running()
{
    if (pid_ <= 0)
        return false;
    int wstatus = 0;
    if (waitpid(pid_, &wstatus, WNOHANG) != pid_)
        return true;
    status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    pid_ = -1;
    return false;
}

bool Background::wait(double seconds, int& status)
{
    const double start = now();
    while (running()) {
        if (secondsSince(start) > seconds)
            return false;
        pause(0.02);
    }
    status = status_;
    return status_ >= 0;
}

std::string Background::out() const
{
    return readIfThere(outPath_);
}
std::string Background::err() const
{
    return readIfThere(errPath_);
}

bool Background::waitForOutput(const std::string& text, double seconds) const
{
    const double start = now();
    while (out().find(text) == std::string::npos) {
        if (secondsSince(start) > seconds)
            return false;
        pause(0.05);
    }
    return true;
}

bool Image::brightNear(int x, int y, int radius, int level) const
{
    for (int j = y - radius; j <= y + radius; ++j)
        for (int i = x - radius; i <= x + radius; ++i) {
            if (i < 0 || j < 0 || i >= width || j >= height)
                continue;
            const std::uint32_t p = at(i, j);
            if (static_cast<int>(p >> 16) >= level && static_cast<int>(p >> 8 & 0xff) >= level &&
                static_cast<int>(p & 0xff) >= level)
                return true;
        }
    return false;
}

std::size_t Image::lit() const
{
    return static_cast<std::size_t>(
        std::count_if(pixels.begin(), pixels.end(), [](std::uint32_t p) { return p != 0; }));
}

Image screenshot(const XServer& x, const std::string& title)
{
    TempDir dir;
    const std::string file = dir.file("shot.xwd");
    const RunResult r = run({"/usr/bin/xwd", "-silent", "-name", title, "-out", file}, "", {x.env()}, 30.0);
    if (r.status != 0)
        return {};
    return parseXwd(readFile(file));
}

bool waitForWindow(const XServer& x, double seconds, const std::string& title)
{
    const double start = now();
    while (secondsSince(start) < seconds) {
        const RunResult r = run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", title}, "", {x.env()}, 10.0);
        if (r.status == 0 && !r.out.empty()) {
            const std::string window = r.out.substr(0, r.out.find('\n'));
            run({"/usr/bin/xdotool", "windowmove", window, "0", "0"}, "", {x.env()}, 10.0);
            run({"/usr/bin/xdotool", "windowfocus", "--sync", window}, "", {x.env()}, 20.0);
            return true;
        }
        pause(0.1);
    }
    return false;
}

void pressKeys(const XServer& x, const std::vector<std::string>& keys)
{
    std::vector<std::string> argv = {"/usr/bin/xdotool", "key", "--delay", "30"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    run(argv, "", {x.env()}, 30.0);
}

Image readPng(const std::string& path)
{
    Image img;
    png_image p{};
    p.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&p, path.c_str()))
        return img;
    p.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> buf(PNG_IMAGE_SIZE(p));
    if (!png_image_finish_read(&p, nullptr, buf.data(), 0, nullptr))
        return img;
    img.width = static_cast<int>(p.width);
    img.height = static_cast<int>(p.height);
    for (std::size_t i = 0; i + 2 < buf.size(); i += 3)
        img.pixels.push_back(static_cast<std::uint32_t>(buf[i]) << 16 | buf[i + 1] << 8 | buf[i + 2]);
    return img;
}

}  // namespace kestrum::test
