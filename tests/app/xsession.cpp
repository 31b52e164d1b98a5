// Private X servers, background processes, key presses and screenshots for the viewer tests.
#include "tests/app/xsession.h"

#include "tests/support/support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kestrum::test {
namespace {

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    for (const auto& e : extra) {
        const std::string name = e.substr(0, e.find('='));
        std::erase_if(env, [&](const std::string& s) { return s.rfind(name + "=", 0) == 0; });
        env.push_back(e);
    }
    return env;
}

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

std::string readIfThere(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

Xvfb::Xvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        dup2(devnull, 2);
        std::vector<std::string> argv{"/usr/bin/Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                                      "800x600x24", "-nolisten", "tcp"};
        auto args = pointers(argv);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
}

Xvfb::~Xvfb()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

Background::Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& outFile, const std::string& errFile)
{
    auto envStore = environment(env);
    auto argStore = argv;
    pid_ = fork();
    if (pid_ == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        auto args = pointers(argStore);
        auto envp = pointers(envStore);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
}

Background::~Background()
{
    if (pid_ > 0 && !done_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Background::wait(double seconds, int* status)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int st = 0;
        if (!done_ && waitpid(pid_, &st, WNOHANG) == pid_) {
            done_ = true;
            *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        }
        if (std::chrono::steady_clock::now() > until)
            return false;
        sleepSeconds(0.05);
    }
}

ViewerSession::ViewerSession(const std::string& workDir, const std::vector<std::string>& args)
    : workDir_(workDir),
      viewer_([&] {
          std::vector<std::string> argv{binary("app/kestrum")};
          argv.insert(argv.end(), args.begin(), args.end());
          return argv;
      }(),
              // Under the sanitizer build the GL driver's buffers defeat the leak check.
              {"DISPLAY=" + server_.display(), "S2GL_WIDTH=640", "S2GL_HEIGHT=480", "LIBGL_ALWAYS_SOFTWARE=1",
               "ASAN_OPTIONS=detect_leaks=0:abort_on_error=0"},
              workDir + "/viewer.out", workDir + "/viewer.err")
{
    const RunResult r = run({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name", "S2GL application"},
                            "", {"DISPLAY=" + server_.display()}, 60.0);
    window_ = r.out.substr(0, r.out.find('\n'));
    if (!window_.empty())
        run({"/usr/bin/xdotool", "windowfocus", "--sync", window_}, "", {"DISPLAY=" + server_.display()}, 20.0);
}

void ViewerSession::key(const std::string& name)
{
    run({"/usr/bin/xdotool", "key", name}, "", {"DISPLAY=" + server_.display()}, 20.0);
}

std::string ViewerSession::screenshot()
{
    std::string previous;
    for (int tries = 0; tries < 40; ++tries) {
        sleepSeconds(0.15);
        const RunResult r = run({"/usr/bin/xwd", "-root", "-silent"}, "", {"DISPLAY=" + server_.display()}, 30.0);
        if (!r.out.empty() && r.out == previous)
            return r.out;
        previous = r.out;
    }
    return previous;
}

bool ViewerSession::waitForOutput(const std::string& text, double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (out().find(text) != std::string::npos)
            return true;
        sleepSeconds(0.05);
    }
    return false;
}

std::string ViewerSession::out() const { return readIfThere(workDir_ + "/viewer.out"); }
std::string ViewerSession::err() const { return readIfThere(workDir_ + "/viewer.err"); }

int ViewerSession::waitExit(double seconds)
{
    int status = -1;
    return viewer_.wait(seconds, &status) ? status : -1;
}

}  // namespace kestrum::test
