// Statistics and text utilities shared by the model and the application: robust summary
// statistics (`stats`, `stat`) and the threads they share out, rounding and polarisation names
// (string splitting sits below, in params/params.h).
#pragma once

#include <bit>
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

// The count and median of stat(values, n), the other fields 0; reorders the values as stat does.
stats medianStat(float* values, size_t n);

// stat(values).median alone; like stat it may reorder `values` (and drops NaN values).
double median(std::vector<double>& values);
double median(std::vector<float>& values);

// A key of 32 bits that orders like the value: -0 and +0 share a key. Histograms of long lists
// bucket values by its top bits.
inline uint32_t orderKey(float x)
{
    const float y = x + 0.0f;  // -0 becomes +0
    const uint32_t bits = std::bit_cast<uint32_t>(y);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}
// Non-decreasing in x, which is all the bucketing needs; the values themselves decide the order.
inline uint32_t orderKey(double x)
{
    return orderKey(static_cast<float>(x));
}

// The buckets of a histogram of the order keys' top 16 bits that hold the middle ranks of its n
// counted values (n > 0): first .. last, with `below` values in the buckets before them and
// `inside` in them.
struct MiddleBuckets {
    size_t below = 0, inside = 0;
    uint32_t first = 0, last = 0;
    // 1 when x falls in those buckets, else 0.
    template <typename T>
    uint32_t holds(T x) const
    {
        return (orderKey(x) >> 16) - first <= last - first;
    }
};
template <typename C>
MiddleBuckets middleBuckets(const C* counts, size_t n)
{
    const size_t upper = n / 2, lower = n % 2 == 1 ? upper : upper - 1;
    MiddleBuckets b;
    while (b.below + counts[b.first] <= lower)
        b.below += counts[b.first++];
    b.last = b.first;
    size_t through = b.below + counts[b.first];
    while (through <= upper)
        through += counts[++b.last];
    b.inside = through - b.below;
    return b;
}
// The median of the n values whose middle buckets are `b`, from the m of them gathered at
// `middle` (reordered).
double medianOfMiddle(float* middle, size_t m, size_t n, const MiddleBuckets& b);
double medianOfMiddle(double* middle, size_t m, size_t n, const MiddleBuckets& b);

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
