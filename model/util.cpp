// Statistics and text utilities shared by the model and the application.
#include "model/util.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

namespace {

// Moves the elements of [first, last) that are below `pivot` (or not above it, with
// orEqual) to the front and returns the end of that part. Every element is swapped with the
// front part's end, whether it moves or not, so the loop has no branch to mispredict on
// random data.
template <typename T>
T* partitionBelow(T* first, T* last, T pivot, bool orEqual)
{
    T* store = first;
    if (orEqual) {
        for (T* read = first; read < last; ++read) {
            const T x = *read;
            *read = *store;
            *store = x;
            store += !(pivot < x);
        }
    } else {
        for (T* read = first; read < last; ++read) {
            const T x = *read;
            *read = *store;
            *store = x;
            store += x < pivot;
        }
    }
    return store;
}

// Reorders a[0, n) (no NaN) so that a[k] is the value a full sort would put there, with no
// larger value before it and no smaller one after it: quickselect with median-of-three pivots
// and branch-free partitions. A run that keeps choosing poor pivots hands the rest to
// std::nth_element, which bounds the worst case.
template <typename T>
void selectInPlace(T* a, size_t n, size_t k)
{
    T* lo = a;
    T* hi = a + n;
    T* const target = a + k;
    for (int rounds = 0; hi - lo > 32 && rounds < 64; ++rounds) {
        T x = lo[0], y = lo[(hi - lo) / 2], z = hi[-1];
        if (y < x)
            std::swap(x, y);
        if (z < y)
            y = z < x ? x : z;
        const T pivot = y;
        T* const mid = partitionBelow(lo, hi, pivot, false);
        if (target < mid) {
            hi = mid;
        } else if (mid > lo) {
            lo = mid;
        } else {
            // Nothing lies below the pivot: split off the values equal to it, which are all
            // in their sorted places.
            T* const equalEnd = partitionBelow(lo, hi, pivot, true);
            if (target < equalEnd)
                return;
            lo = equalEnd;
        }
    }
    std::nth_element(lo, target, hi);
}

// Median of a[0, n) (n > 0, no NaN): the middle value, or the mean of the two middle values.
// Reorders a.
template <typename T>
double medianOf(T* a, size_t n)
{
    const size_t upper = n / 2;
    selectInPlace(a, n, upper);
    if (n % 2 == 1)
        return a[upper];
    // After selection no element before `upper` is larger than a[upper]; the largest of them
    // is the lower middle value.
    const double lower = *std::max_element(a, a + upper);
    return (lower + static_cast<double>(a[upper])) * 0.5;
}

// Lists longer than this take their order statistics from a histogram instead of reordering.
constexpr size_t kHistogramFrom = size_t(1) << 16;

// A key of 32 bits that orders like the value: -0 and +0 share a key.
uint32_t orderKey(float x)
{
    uint32_t bits;
    const float y = x + 0.0f;  // -0 becomes +0
    std::memcpy(&bits, &y, sizeof bits);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}
// Non-decreasing in x, which is all the bucketing needs; the values themselves decide the order.
uint32_t orderKey(double x)
{
    return orderKey(static_cast<float>(x));
}

// The median of the n values value(0) .. value(n - 1) (n > 0, no NaN) without reordering or
// copying them all, computed in `parts` pieces on as many threads: a histogram of the top 16 bits
// of their keys finds the buckets that hold the middle ranks, and only the values in those
// buckets are gathered and selected from. Each value is computed twice, so `value` may compute
// it on the fly; visit(part, i, value(i)) sees every value once, in the histogram pass.
template <typename U, typename F, typename V>
double medianByHistogram(unsigned parts, size_t n, F value, V visit, std::vector<U>& candidates)
{
    constexpr size_t buckets = size_t(1) << 16;
    std::vector<uint32_t> histograms(parts * buckets, 0);
    inParts(parts, n, [&](unsigned p, size_t begin, size_t end) {
        uint32_t* const count = &histograms[p * buckets];
        for (size_t i = begin; i < end; ++i) {
            const U x = value(i);
            visit(p, i, x);
            ++count[orderKey(x) >> 16];
        }
    });
    std::vector<size_t> total(buckets, 0);
    for (unsigned p = 0; p < parts; ++p)
        for (size_t k = 0; k < buckets; ++k)
            total[k] += histograms[p * buckets + k];
    const size_t upper = n / 2, lower = n % 2 == 1 ? upper : upper - 1;
    size_t below = 0;
    uint32_t first = 0;
    while (below + total[first] <= lower)
        below += total[first++];
    uint32_t last = first;
    size_t through = below + total[first];
    while (through <= upper)
        through += total[++last];
    // Each part gathers its values from those buckets after the parts before it.
    std::vector<size_t> start(parts + 1, 0);
    for (unsigned p = 0; p < parts; ++p) {
        start[p + 1] = start[p];
        for (size_t k = first; k <= last; ++k)
            start[p + 1] += histograms[p * buckets + k];
    }
    candidates.resize(through - below);
    U* const out = candidates.data();
    inParts(parts, n, [&](unsigned p, size_t begin, size_t end) {
        size_t gathered = start[p];
        for (size_t i = begin; i < end; ++i) {
            const U x = value(i);
            if ((orderKey(x) >> 16) - first <= last - first)
                out[gathered++] = x;
        }
    });
    const size_t at = upper - below;
    selectInPlace(out, through - below, at);
    if (n % 2 == 1)
        return out[at];
    const double low = *std::max_element(out, out + at);
    return (low + static_cast<double>(out[at])) * 0.5;
}

// Median of a[0, n) (n > 0, no NaN); may reorder a.
template <typename T>
double medianAny(T* a, size_t n)
{
    if (n < kHistogramFrom)
        return medianOf(a, n);
    std::vector<T> candidates;
    return medianByHistogram<T>(
        partsFor(n), n, [a](size_t i) { return a[i]; }, [](unsigned, size_t, T) {}, candidates);
}

// NaN has no place in an ordering: such values are moved to the end of a[0, n) and left out of
// every statistic. Returns the number of the others.
template <typename T>
size_t dropNaN(T* a, size_t n)
{
    return static_cast<size_t>(std::remove_if(a, a + n, [](T x) { return std::isnan(x); }) - a);
}

// Running sums of one part of a list, on a cache line of their own.
template <typename T>
struct alignas(64) PartSums {
    T lo, hi;
    long double sum = 0.0L;
    double squares = 0.0;
};

// stat of a long list (no NaN): two passes find the median and with it the count, extremes and
// sum; two more the median of the deviations and the squares about the mean.
template <typename T>
stats longStat(T* v, size_t n)
{
    stats s;
    s.count = static_cast<int32_t>(n);
    const unsigned parts = partsFor(n);
    std::vector<PartSums<T>> sums(parts, PartSums<T>{v[0], v[0]});
    std::vector<T> values;
    s.median = medianByHistogram<T>(
        parts, n, [v](size_t i) { return v[i]; },
        [&sums](unsigned p, size_t, T x) {
            sums[p].lo = std::min(sums[p].lo, x);
            sums[p].hi = std::max(sums[p].hi, x);
            sums[p].sum += x;
        },
        values);
    long double sum = 0.0L;
    T lo = v[0], hi = v[0];
    for (const PartSums<T>& part : sums) {
        lo = std::min(lo, part.lo);
        hi = std::max(hi, part.hi);
        sum += part.sum;
    }
    s.min = lo;
    s.max = hi;
    s.mean = static_cast<double>(sum / static_cast<long double>(n));
    const double m = s.median, mean = s.mean;
    std::vector<double> deviations;
    s.mad = medianByHistogram<double>(
        parts, n, [v, m](size_t i) { return std::fabs(m - static_cast<double>(v[i])); },
        [&sums, v, mean](unsigned p, size_t i, double) {
            const double d = v[i] - mean;
            sums[p].squares += d * d;
        },
        deviations);
    double squares = 0.0;
    for (const PartSums<T>& part : sums)
        squares += part.squares;
    s.rms = std::sqrt(squares / static_cast<double>(n - 1));
    return s;
}

template <typename T>
stats statOf(T* v, size_t n)
{
    n = dropNaN(v, n);
    if (n >= kHistogramFrom)
        return longStat(v, n);
    stats s;
    s.count = static_cast<int32_t>(n);
    if (n == 0)
        return s;

    s.median = medianOf(v, n);
    T lo = v[0];
    T hi = v[0];
    long double sum = 0.0L;
    for (size_t i = 0; i < n; ++i) {
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
        sum += v[i];
    }
    s.min = lo;
    s.max = hi;
    if (n == 1) {
        s.mean = s.median;
        return s;
    }
    s.mean = static_cast<double>(sum / static_cast<long double>(n));

    double squares = 0.0;
    std::vector<double> deviations(n);
    for (size_t i = 0; i < n; ++i) {
        const double x = v[i];
        squares += (x - s.mean) * (x - s.mean);
        deviations[i] = std::fabs(s.median - x);
    }
    s.rms = std::sqrt(squares / static_cast<double>(n - 1));
    s.mad = medianOf(deviations.data(), n);
    return s;
}

template <typename T>
stats statOf(std::vector<T>& values)
{
    const stats s = statOf(values.data(), values.size());
    values.resize(static_cast<size_t>(s.count));
    return s;
}

template <typename T>
double medianOrZero(std::vector<T>& values)
{
    values.resize(dropNaN(values.data(), values.size()));
    return values.empty() ? 0.0 : medianAny(values.data(), values.size());
}

}  // namespace

stats stat(std::vector<double>& values)
{
    return statOf(values);
}
stats stat(std::vector<float>& values)
{
    return statOf(values);
}
stats stat(float* values, size_t n)
{
    return statOf(values, n);
}

double median(std::vector<double>& values)
{
    return medianOrZero(values);
}
double median(std::vector<float>& values)
{
    return medianOrZero(values);
}

unsigned partsFor(size_t values)
{
    if (values < (size_t(1) << 16))
        return 1;
    return std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
}

int nint(double x)
{
    // Values beyond the range of int saturate instead of overflowing; NaN gives 0.
    if (std::isnan(x))
        return 0;
    const double r = x < 0 ? x - 0.5 : x + 0.5;
    if (r >= 2147483648.0)
        return std::numeric_limits<int>::max();
    if (r <= -2147483649.0)
        return std::numeric_limits<int>::min();
    return static_cast<int>(r);
}

const char* polName(int code)
{
    static const char* const names[] = {"yx", "xy", "yy", "xx", "lr", "rl", "ll", "rr", nullptr, "i", "q", "u", "v"};
    if (code < -8 || code > 4)
        return nullptr;
    return names[code + 8];
}
