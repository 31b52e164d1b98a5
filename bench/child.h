// Measurements taken in a forked child process, so that its peak memory, CPU time and window are
// its own: the child sends one plain result back to the benchmark through a pipe.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The peak resident memory of this process so far, in KiB.
inline long peakRssKiB()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Sends the child's result to the benchmark and ends the child.
template <class R>
[[noreturn]] void sendToParent(int fd, const R& r)
{
    _exit(write(fd, &r, sizeof r) == static_cast<ssize_t>(sizeof r) ? 0 : 1);
}

// Runs child(fd) in a child process with its standard output sent to /dev/null; the child writes
// one R to fd. False, with r untouched, when none came back. The child is killed once it has
// answered, since one that opened a window never leaves its event loop.
template <class R, class Child>
bool runInChild(R& r, Child child)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        dup2(open("/dev/null", O_WRONLY), 1);
        child(fds[1]);
        _exit(1);
    }
    close(fds[1]);
    R got;
    const bool ok = read(fds[0], &got, sizeof got) == static_cast<ssize_t>(sizeof got);
    close(fds[0]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (ok)
        r = got;
    return ok;
}
