// Statistics and text utilities shared by the model and the application.
#include "model/util.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

// Median of `v` (non-empty, no NaN): the middle value, or the mean of the two middle values.
// Reorders v.
template <typename T>
double medianOf(std::vector<T>& v)
{
    const size_t n = v.size();
    const size_t upper = n / 2;
    selectInPlace(v.data(), n, upper);
    if (n % 2 == 1)
        return v[upper];
    // After selection no element before `upper` is larger than v[upper]; the largest of them
    // is the lower middle value.
    const double lower = *std::max_element(v.begin(), v.begin() + upper);
    return (lower + static_cast<double>(v[upper])) * 0.5;
}

// NaN has no place in an ordering: such values are dropped before any statistic.
template <typename T>
void dropNaN(std::vector<T>& v)
{
    v.erase(std::remove_if(v.begin(), v.end(), [](T x) { return std::isnan(x); }), v.end());
}

template <typename T>
stats statOf(std::vector<T>& values)
{
    stats s;
    dropNaN(values);
    const size_t n = values.size();
    s.count = static_cast<int32_t>(n);
    if (n == 0)
        return s;

    s.median = medianOf(values);
    T lo = values[0];
    T hi = values[0];
    long double sum = 0.0L;
    for (T x : values) {
        lo = std::min(lo, x);
        hi = std::max(hi, x);
        sum += x;
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
        const double x = values[i];
        squares += (x - s.mean) * (x - s.mean);
        deviations[i] = std::fabs(s.median - x);
    }
    s.rms = std::sqrt(squares / static_cast<double>(n - 1));
    s.mad = medianOf(deviations);
    return s;
}

template <typename T>
double medianOrZero(std::vector<T>& values)
{
    dropNaN(values);
    return values.empty() ? 0.0 : medianOf(values);
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

double median(std::vector<double>& values)
{
    return medianOrZero(values);
}
double median(std::vector<float>& values)
{
    return medianOrZero(values);
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
