// The file layer: thin wrappers over the POSIX file and directory calls. Nothing else in the
// data-set code calls the operating system for files, so the fault switch below can make any
// of these operations fail for a test.
#include "dataset/dio.h"

#include "dataset/bug.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fault injection: when `faultCountdown` reaches 0 the operation fails with `faultErrno`.
int faultCountdown = 0;
int faultErrno = 0;
int operationsRun = 0;

// Counts one file operation; returns the error number it must fail with, or 0 to run it.
int injectedFault()
{
    ++operationsRun;
    if (faultCountdown > 0 && --faultCountdown == 0)
        return faultErrno;
    return 0;
}

// `path` without one trailing "/".
std::string withoutSlash(const char* path)
{
    std::string p(path);
    if (!p.empty() && p.back() == '/')
        p.pop_back();
    return p;
}

// Appends `word` to the expansion, separated by ",".
void appendWord(std::string& out, const char* word)
{
    if (!out.empty())
        out += ',';
    out += word;
}

}  // namespace

extern "C" {

int dfault_c(int countdown, int errnum)
{
    const int ran = operationsRun;
    operationsRun = 0;
    faultCountdown = countdown > 0 ? countdown : 0;
    faultErrno = errnum;
    return ran;
}

void dopen_c(int* fd, const char* name, const char* status, off_t* size, int* iostat)
{
    int flags;
    std::string path = name;
    const bool scratch = std::strcmp(status, "scratch") == 0;
    if (std::strcmp(status, "read") == 0) {
        flags = O_RDONLY;
    } else if (std::strcmp(status, "write") == 0 || scratch) {
        flags = O_RDWR | O_CREAT | O_TRUNC;
    } else if (std::strcmp(status, "append") == 0) {
        flags = O_RDWR | O_CREAT;
    } else {
        bug_c('f', "dopen_c: Unrecognised status");
        return;
    }
    if (scratch) {
        const char* tmpdir = std::getenv("TMPDIR");
        path = (tmpdir ? std::string(tmpdir) + "/" : std::string()) + name + "." + std::to_string(getpid());
    }
    *fd = -1;
    *size = 0;
    if ((*iostat = injectedFault()) != 0)
        return;
    int f;
    do {
        f = open(path.c_str(), flags | O_CLOEXEC, 0644);
    } while (f < 0 && errno == EINTR);
    if (f < 0) {
        *iostat = errno;
        return;
    }
    const off_t end = lseek(f, 0, SEEK_END);
    if (end < 0) {
        *iostat = errno;
        close(f);
        return;
    }
    if (scratch)
        unlink(path.c_str());
    *fd = f;
    *size = end;
    *iostat = 0;
}

void dclose_c(int fd, int* iostat)
{
    if ((*iostat = injectedFault()) != 0) {
        close(fd);
        return;
    }
    *iostat = close(fd) < 0 ? errno : 0;
}

void dread_c(int fd, void* buffer, off_t offset, size_t length, int* iostat)
{
    if ((*iostat = injectedFault()) != 0)
        return;
    char* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *iostat = errno;
            return;
        }
        if (n == 0) {
            // A short read is an error of its own; what was not read is zero.
            std::memset(p + done, 0, length - done);
            *iostat = EIO;
            return;
        }
        done += static_cast<size_t>(n);
    }
    *iostat = 0;
}

void dwrite_c(int fd, const void* buffer, off_t offset, size_t length, int* iostat)
{
    if ((*iostat = injectedFault()) != 0)
        return;
    const char* p = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = pwrite(fd, p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *iostat = errno;
            return;
        }
        if (n == 0) {
            *iostat = EIO;
            return;
        }
        done += static_cast<size_t>(n);
    }
    *iostat = 0;
}

void dwait_c(int, int* iostat)
{
    *iostat = 0;
}

void ddelete_c(const char* name, int* iostat)
{
    if ((*iostat = injectedFault()) != 0)
        return;
    *iostat = unlink(name) < 0 ? errno : 0;
}

void dtrans_c(const char* name, char* path, int pathlen, int* iostat)
{
    std::string p = name;
    if (p.empty() || p.back() != '/')
        p += '/';
    if (static_cast<int>(p.size()) >= pathlen) {
        *iostat = ENAMETOOLONG;
        return;
    }
    std::memcpy(path, p.c_str(), p.size() + 1);
    *iostat = 0;
}

void dmkdir_c(const char* path, int* iostat)
{
    if ((*iostat = injectedFault()) != 0)
        return;
    *iostat = mkdir(withoutSlash(path).c_str(), 0777) < 0 ? errno : 0;
}

void drmdir_c(const char* path, int* iostat)
{
    if ((*iostat = injectedFault()) != 0)
        return;
    *iostat = rmdir(withoutSlash(path).c_str()) < 0 ? errno : 0;
}

void dopendir_c(void** contxt, const char* path)
{
    *contxt = nullptr;
    if (const int err = injectedFault(); err != 0) {
        errno = err;
        return;
    }
    *contxt = opendir(path);
}

void dreaddir_c(void* contxt, char* path, int length)
{
    if (length <= 0)
        return;
    path[0] = 0;
    if (!contxt)
        return;
    DIR* dir = static_cast<DIR*>(contxt);
    for (const dirent* e = readdir(dir); e; e = readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        std::snprintf(path, static_cast<size_t>(length), "%s%s", e->d_name, isDir ? "/" : "");
        return;
    }
}

void dclosedir_c(void* contxt)
{
    if (contxt)
        closedir(static_cast<DIR*>(contxt));
}

int dexpand_c(const char* tmplt, char* output, int length)
{
    // Each blank-separated word is matched against the file system by glob(3); a word that
    // matches nothing (or has no wildcard) stands as written. No shell is involved.
    std::string out;
    std::string text = tmplt ? tmplt : "";
    size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(" \t\n", pos);
        if (pos == std::string::npos)
            break;
        const size_t end = text.find_first_of(" \t\n", pos);
        const std::string word = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
        glob_t g;
        const int rc = glob(word.c_str(), GLOB_NOCHECK, nullptr, &g);
        if (rc == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i)
                appendWord(out, g.gl_pathv[i]);
        } else {
            appendWord(out, word.c_str());
        }
        globfree(&g);
        if (pos == std::string::npos)
            break;
    }
    if (length <= 0 || out.size() >= static_cast<size_t>(length))
        return -1;
    std::memcpy(output, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}

}  // extern "C"
