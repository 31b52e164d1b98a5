// Statistics and text utilities shared by the model and the application: robust summary
// statistics (`stats`, `stat`), medians of runs of similar lists (`NearMedian`) with the ranks and
// gathers they share, the threads work is shared out to, rounding and polarisation names (string
// splitting sits below, in params/params.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

// Seven-number summary of a list of values; all zeros when the list is empty.
struct stats {
    double mad = 0.0;  // median of the absolute deviations from the median
    double median = 0.0;
    double mean = 0.0;
    double rms = 0.0;  // sample standard deviation about the mean (n - 1 denominator)
    double min = 0.0;
    double max = 0.0;
    int32_t count = 0;  // number of values
};

// Summary statistics of `values`. NaN values are removed from the vector and counted in no
// statistic. The vector is reordered; callers must not rely on its order afterwards.
stats stat(std::vector<double>& values);
// The same statistics of single-precision values (each widened to double, so the result
// equals stat of the widened list) without doubling the memory they take.
stats stat(std::vector<float>& values);
// The same statistics of the n values at `values`, which are reordered (NaN values to the end).
stats stat(float* values, size_t n);

// stat(values).median alone; like stat it may reorder `values` (and drops NaN values).
double median(std::vector<double>& values);
double median(std::vector<float>& values);

// Reorders a[0, n) (no NaN, k < n) so that a[k] is the value a full sort would put there, with no
// larger value before it and no smaller one after it.
void selectInPlace(float* a, size_t n, size_t k);

// Copies the values of a[0, n) that lie in [from, to] to out (room for n values), in order, and
// returns how many; `expected` says about how many that will be. out may be a itself.
size_t gatherInRange(const float* a, size_t n, float from, float to, float* out, size_t expected);
// The same for the values whose distance from `centre` (|a[i] - centre| in single precision) lies
// in [from, to].
size_t gatherAtDistance(const float* a, size_t n, float centre, float from, float to, float* out, size_t expected);

// Narrows a[0, m) (no NaN; reordered) down to at most about `enough` values, or as near as the
// values allow, that hold those of ranks `from` to `to` (from <= to < m): by rounds that count the
// values below a few cuts across their span and keep, at the front, those between the cuts either
// side of the ranks. Returns how many are kept; `below` is set to how many of the rest lie below.
size_t narrowToRanks(float* a, size_t m, size_t from, size_t to, size_t enough, size_t& below);

// The middle of a list whose middle rank is `at` within a[0, m) (no NaN; reordered): the value at
// that rank, or with an even list (not `odd`) the mean of it and the value at rank at - 1. A list
// of more than a few values is first narrowed down to the few that hold those ranks, which are
// then ordered.
double middleAt(float* a, size_t m, size_t at, bool odd);

// Exact medians that start from a guess, for runs of similar lists (the records of a baseline,
// its neighbouring channels): a bracket around the guess is cut into a few parts, one pass
// counts the values below each cut, and a second gathers only the part that holds the middle,
// mostly a few values inside the bracket, which are then ordered. The bracket's half-width
// follows how the last calls went. Short lists are ordered at once. NaN values are left out and
// the result equals what `median` gives.
class NearMedian {
public:
    // Lists shorter than `shortest` are ordered at once.
    explicit NearMedian(size_t shortest) : shortest_(shortest) {}

    // Median of a[0, n).
    double operator()(const float* a, size_t n, double guess);

private:
    // The bracket is cut into this many parts of equal width.
    static constexpr size_t kParts = 4;

    size_t shortest_;
    double width_ = 0.0;  // 0: no bracket yet
    std::vector<float> part_, all_;
};

// Whether the loops written for AVX-512 run: the processor has it (F and DQ) and the environment
// does not set KESTRUM_NO_AVX512, which sends them to their portable twins (the same results).
bool haveAvx512();

// How many parts, one per thread, a job over `values` values is cut into: small jobs are not
// worth a thread; large ones use every core (at most eight).
unsigned partsFor(size_t values);
// Runs work(part, begin, end) for the `parts` contiguous pieces of [0, n), each on a thread of
// its own (the first on the caller's), and waits for them all.
template <typename F>
void inParts(unsigned parts, size_t n, F work)
{
    std::vector<std::thread> threads;
    for (unsigned p = 1; p < parts; ++p)
        threads.emplace_back(work, p, n * p / parts, n * (p + 1) / parts);
    work(0u, size_t(0), n / parts);
    for (std::thread& t : threads)
        t.join();
}

// x rounded to the nearest integer, halves away from zero (2.5 -> 3, -2.5 -> -3); values
// beyond the range of int saturate and NaN gives 0.
int nint(double x);

// Lower-case name of a polarisation code -8 .. 4 ("yx" .. "v"); null for 0 and any other code.
const char* polName(int code);
