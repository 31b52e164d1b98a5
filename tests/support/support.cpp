#include "tests/support/support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrum::test {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kestrum-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const
{
    return path_ + "/" + name;
}

namespace {

void drain(int fd, std::string& into, bool& open)
{
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::string& input, const std::vector<std::string>& env,
              double timeoutSeconds)
{
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e)
        envStore.emplace_back(*e);
    for (const auto& e : env) {
        std::string name = e.substr(0, e.find('='));
        std::erase_if(envStore, [&](const std::string& s) { return s.rfind(name + "=", 0) == 0; });
        envStore.push_back(e);
    }
    std::vector<char*> envp, args;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStore(argv);
    for (auto& a : argStore)
        args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        execve(args[0], args.data(), envp.data());
        std::fprintf(stderr, "exec %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty())
        (void)!write(in[1], input.data(), input.size());
    close(in[1]);

    RunResult r;
    bool outOpen = true, errOpen = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (outOpen || errOpen) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{out[0], short(outOpen ? POLLIN : 0), 0}, {err[0], short(errOpen ? POLLIN : 0), 0}};
        int n = poll(fds, 2, static_cast<int>(std::min<long>(left.count(), 1000)));
        if (n < 0 && errno != EINTR)
            break;
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(out[0], r.out, outOpen);
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(err[0], r.err, errOpen);
    }
    close(out[0]);
    close(err[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return r;
}

std::string sharedData(const std::string& name)
{
    return std::string(KESTRUM_SHARED_DATA) + "/" + name;
}

std::string binary(const std::string& relativePath)
{
    return std::string(KESTRUM_BINARY_DIR) + "/" + relativePath;
}

double sortedMedian(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) * 0.5;
}

std::string readFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f || !f.write(contents.data(), static_cast<std::streamsize>(contents.size())))
        throw std::runtime_error("cannot write " + path);
}

}  // namespace kestrum::test
