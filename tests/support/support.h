// Test support shared by every layer's tests: temporary directories, running the real
// programs as a user does, and where the real data sets and built binaries live.
#pragma once

#include <string>
#include <vector>

namespace kestrum::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// What a finished child process left behind.
struct RunResult {
    int status = -1;  // exit status, or 128 + signal number when killed by a signal
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
    bool timedOut = false;  // killed because it ran past the time limit
};

// Runs argv[0] (a path, no shell) with the given arguments and extra environment entries
// ("NAME=value"), feeding `input` to its standard input and collecting both output streams.
RunResult run(const std::vector<std::string>& argv, const std::string& input = "",
              const std::vector<std::string>& env = {}, double timeoutSeconds = 120.0);

// This process's environment with the entries of `env` ("NAME=value") replacing or adding to it.
std::vector<std::string> environmentWith(const std::vector<std::string>& env);
// Pointers to the strings' characters followed by a null pointer, for exec.
std::vector<char*> execPointers(std::vector<std::string>& strings);

// A real data set or file from tests/data, by its name.
std::string sharedData(const std::string& name);

// A program built by this build tree, e.g. binary("app/kestrum").
std::string binary(const std::string& relativePath);

// The median by a full sort, the plain way the tests check faster code against (the mean of
// the middle pair for an even count); 0 for no values.
double sortedMedian(std::vector<double> values);

// A record with channel data ("corr") of a uv data set, as its bytes say, read without the
// dataset layer from "vartable", "visdata" and (when there is one) "flags".
struct RawRecord {
    double time = 0;
    int baseline = 0, pol = 0, nchan = 0;
    std::string source;
    double sum = 0;  // of the real and imaginary parts of its channels
    int bad = 0;  // channels the mask flags
};
std::vector<RawRecord> rawRecords(const std::string& dataset);

// The lines of a comma-separated file, each split into its cells (a last empty cell kept).
std::vector<std::vector<std::string>> readCsv(const std::string& path);
// Reads a whole file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
// Writes a whole file, replacing it; throws std::runtime_error on failure.
void writeFile(const std::string& path, const std::string& contents);

}  // namespace kestrum::test
