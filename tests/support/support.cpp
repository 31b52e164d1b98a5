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

    std::vector<std::string> envStore = environmentWith(env), argStore(argv);
    const std::vector<char*> envp = execPointers(envStore), args = execPointers(argStore);

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

std::vector<std::string> environmentWith(const std::vector<std::string>& env)
{
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e)
        all.emplace_back(*e);
    for (const auto& e : env) {
        const std::string prefix = e.substr(0, e.find('=') + 1);
        std::erase_if(all, [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
        all.push_back(e);
    }
    return all;
}

std::vector<char*> execPointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
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

std::vector<std::vector<std::string>> readCsv(const std::string& path)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        rows.emplace_back();
        std::istringstream cells(line + ",");
        for (std::string cell; std::getline(cells, cell, ',');)
            rows.back().push_back(cell);
    }
    return rows;
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f || !f.write(contents.data(), static_cast<std::streamsize>(contents.size())))
        throw std::runtime_error("cannot write " + path);
}

namespace {

uint32_t be32(const std::string& b, size_t at)
{
    return (uint32_t(uint8_t(b[at])) << 24) | (uint32_t(uint8_t(b[at + 1])) << 16) |
        (uint32_t(uint8_t(b[at + 2])) << 8) | uint32_t(uint8_t(b[at + 3]));
}

template <typename T>
T beAs(const std::string& b, size_t at)
{
    T x;
    if constexpr (sizeof(T) == 4) {
        const uint32_t u = be32(b, at);
        std::memcpy(&x, &u, 4);
    } else {
        const uint64_t u = (uint64_t(be32(b, at)) << 32) | be32(b, at + 4);
        std::memcpy(&x, &u, 8);
    }
    return x;
}

}  // namespace

std::vector<RawRecord> rawRecords(const std::string& dataset)
{
    std::vector<std::pair<char, std::string>> vars;
    std::istringstream table(readFile(dataset + "/vartable"));
    char type;
    std::string name;
    while (table >> type >> name)
        vars.emplace_back(type, name);
    const std::string v = readFile(dataset + "/visdata");
    const std::string mask = std::filesystem::exists(dataset + "/flags") ? readFile(dataset + "/flags") : "";
    std::vector<size_t> length(vars.size(), 0);
    std::vector<RawRecord> out;
    RawRecord r;
    bool corr = false;
    uint64_t position = 0;  // correlations before this record's, for the mask
    for (size_t at = 0; at + 4 <= v.size();) {
        const int var = uint8_t(v[at]), code = uint8_t(v[at + 2]);
        if (code == 0) {
            length[var] = be32(v, at + 4);
            at += 8;
            continue;
        }
        if (code == 2) {
            if (corr) {
                r.bad = 0;
                for (uint64_t k = position; k < position + uint64_t(r.nchan) && !mask.empty(); ++k)
                    r.bad += !((be32(mask, 4 * ((k + 31) / 31)) >> ((k + 31) % 31)) & 1);
                position += uint64_t(r.nchan);
                out.push_back(r);
            }
            corr = false;
            at += 8;
            continue;
        }
        const auto& [t, n] = vars.at(var);
        const size_t start = at + (t == 'd' || t == 'c' ? 8 : 4);
        if (n == "corr") {
            corr = true;
            r.nchan = int(length[var] / (t == 'j' ? 4 : 8));  // 16-bit or 32-bit pairs
            r.sum = 0;
            for (int k = 0; k < 2 * r.nchan && t == 'r'; ++k)
                r.sum += beAs<float>(v, start + 4 * size_t(k));
        } else if (n == "baseline") {
            r.baseline = int(beAs<float>(v, start) + 0.5f);
        } else if (n == "time") {
            r.time = beAs<double>(v, start);
        } else if (n == "pol") {
            r.pol = int(be32(v, start));
        } else if (n == "source") {
            r.source = std::string(v.data() + start, strnlen(v.data() + start, length[var]));
        }
        at = (start + length[var] + 7) / 8 * 8;
    }
    return out;
}

}  // namespace kestrum::test
