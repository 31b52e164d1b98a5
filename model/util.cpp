// Statistics and text utilities shared by the model and the application.
#include "model/util.h"

#include "model/simd.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

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

// The middle of a list once a[at] holds the value at its middle rank, with no larger value before
// it: that value or, with an even list (not `odd`), the mean of it and the largest before it.
template <typename T>
double middleOfSelected(const T* a, size_t at, bool odd)
{
    if (odd)
        return a[at];
    const T lower = at > 0 ? *std::max_element(a, a + at) : -std::numeric_limits<T>::infinity();
    return (static_cast<double>(lower) + static_cast<double>(a[at])) * 0.5;
}

// Median of a[0, n) (n > 0, no NaN): the middle value, or the mean of the two middle values.
// Reorders a.
template <typename T>
double medianOf(T* a, size_t n)
{
    selectInPlace(a, n, n / 2);
    return middleOfSelected(a, n / 2, n % 2 == 1);
}

// Lists longer than this take their order statistics from a histogram instead of reordering.
constexpr size_t kHistogramFrom = size_t(1) << 16;

constexpr size_t kBuckets = size_t(1) << 16;

// A key of 32 bits that orders like the value: -0 and +0 share a key. Histograms of long lists
// bucket values by its top bits.
uint32_t orderKey(float x)
{
    const float y = x + 0.0f;  // -0 becomes +0
    const uint32_t bits = std::bit_cast<uint32_t>(y);
    return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}
// Non-decreasing in x, which is all the bucketing needs; the values themselves decide the order.
uint32_t orderKey(double x)
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
template <typename T>
double medianOfMiddle(T* middle, size_t m, size_t n, const MiddleBuckets& b)
{
    const size_t at = n / 2 - b.below;
    selectInPlace(middle, m, at);
    return middleOfSelected(middle, at, n % 2 == 1);
}

// Histograms of the top 16 bits of the keys of n values, one per part of [0, n) on a thread of its
// own: countPart(part, begin, end, count) adds the values of [begin, end) to count[0] and count[1]
// (and may do more with them while it has them), which are summed into one afterwards.
// Neighbouring values often fall in the same bucket: alternating between two histograms (see
// inPairs) keeps each increment from waiting on the one before.
template <typename C>
std::vector<uint32_t> histograms(unsigned parts, size_t n, C countPart)
{
    std::vector<uint32_t> counts(parts * kBuckets, 0);
    inParts(parts, n, [&](unsigned p, size_t begin, size_t end) {
        uint32_t* const count = &counts[p * kBuckets];
        std::vector<uint32_t> second(kBuckets, 0);
        uint32_t* both[2] = {count, second.data()};
        countPart(p, begin, end, both);
        for (size_t k = 0; k < kBuckets; ++k)
            count[k] += second[k];
    });
    return counts;
}

// Calls step(i, lane) for every i in [begin, end), the lane alternating 0, 1: a loop that keeps a
// running total (or histogram) per lane has two independent chains instead of one.
template <typename F>
void inPairs(size_t begin, size_t end, F step)
{
    size_t i = begin;
    for (; i + 2 <= end; i += 2) {
        step(i, 0);
        step(i + 1, 1);
    }
    if (i < end)
        step(i, 0);
}

// The median of the n values value(0) .. value(n - 1) (n > 0, no NaN) without reordering or
// copying them all, in `parts` pieces on as many threads: their histograms (as `histograms`
// makes them) find the buckets that hold the middle ranks, and only the values in those buckets
// are gathered and selected from. Each value is computed again, so `value` may compute it on the
// fly.
template <typename U, typename F>
double medianByHistogram(unsigned parts, size_t n, const std::vector<uint32_t>& counts, F value,
                         std::vector<U>& candidates)
{
    std::vector<size_t> total(kBuckets, 0);
    for (unsigned p = 0; p < parts; ++p)
        for (size_t k = 0; k < kBuckets; ++k)
            total[k] += counts[p * kBuckets + k];
    const MiddleBuckets b = middleBuckets(total.data(), n);
    // Each part gathers its values from those buckets after the parts before it.
    std::vector<size_t> start(parts + 1, 0);
    for (unsigned p = 0; p < parts; ++p) {
        start[p + 1] = start[p];
        for (size_t k = b.first; k <= b.last; ++k)
            start[p + 1] += counts[p * kBuckets + k];
    }
    candidates.resize(b.inside);
    U* const out = candidates.data();
    inParts(parts, n, [&](unsigned p, size_t begin, size_t end) {
        size_t gathered = start[p];
        for (size_t i = begin; i < end; ++i) {
            const U x = value(i);
            if (b.holds(x))
                out[gathered++] = x;
        }
    });
    return medianOfMiddle(out, b.inside, n, b);
}

// Median of a[0, n) (n > 0, no NaN); may reorder a.
template <typename T>
double medianAny(T* a, size_t n)
{
    if (n < kHistogramFrom)
        return medianOf(a, n);
    const unsigned parts = partsFor(n);
    const std::vector<uint32_t> counts =
        histograms(parts, n, [a](unsigned, size_t begin, size_t end, uint32_t** count) {
            inPairs(begin, end, [&](size_t i, int lane) { ++count[lane][orderKey(a[i]) >> 16]; });
        });
    std::vector<T> candidates;
    return medianByHistogram<T>(
        parts, n, counts, [a](size_t i) { return a[i]; }, candidates);
}

// NaN has no place in an ordering: such values are moved to the end of a[0, n) and left out of
// every statistic. Returns the number of the others.
template <typename T>
size_t dropNaN(T* a, size_t n)
{
    // Lists seldom hold NaN: a first pass without branches looks for one.
    int any = 0;
    for (size_t i = 0; i < n; ++i)
        any |= a[i] != a[i];
    if (any == 0)
        return n;
    return static_cast<size_t>(std::remove_if(a, a + n, [](T x) { return std::isnan(x); }) - a);
}

// The smallest and the largest of a[0, n) (n > 0, no NaN), as a loop of std::min and std::max
// from a[0] finds them: the first of the equal extremes, which only matters for -0 and +0.
// Eight running extremes apart make the loop as fast as its loads.
template <typename T>
void extremes(const T* a, size_t n, T& lo, T& hi)
{
    constexpr size_t lanes = 8;
    T l[lanes], h[lanes];
    std::fill_n(l, lanes, a[0]);
    std::fill_n(h, lanes, a[0]);
    size_t i = 0;
    for (; i + lanes <= n; i += lanes)
        for (size_t k = 0; k < lanes; ++k) {
            l[k] = a[i + k] < l[k] ? a[i + k] : l[k];
            h[k] = h[k] < a[i + k] ? a[i + k] : h[k];
        }
    for (; i < n; ++i) {
        l[0] = a[i] < l[0] ? a[i] : l[0];
        h[0] = h[0] < a[i] ? a[i] : h[0];
    }
    lo = *std::min_element(l, l + lanes);
    hi = *std::max_element(h, h + lanes);
    if (lo == 0)
        lo = *std::find(a, a + n, T(0));
    if (hi == 0)
        hi = *std::find(a, a + n, T(0));
}

// Running sums of one part of a list.
template <typename T>
struct PartSums {
    T lo, hi;
    long double sum = 0.0L;
    double squares = 0.0;
    bool nan = false;
};

// stat of a long list: two passes find the median and with it the count, extremes and sum; two
// more the median of the deviations and the squares about the mean. None when the list holds
// NaN (found in the first pass).
template <typename T>
std::optional<stats> longStat(T* v, size_t n)
{
    stats s;
    s.count = static_cast<int32_t>(n);
    const unsigned parts = partsFor(n);
    std::vector<PartSums<T>> sums(parts, PartSums<T>{v[0], v[0]});
    std::vector<uint32_t> counts = histograms(parts, n, [&](unsigned p, size_t begin, size_t end, uint32_t** count) {
        PartSums<T> part = sums[p];
        long double sum[2] = {0.0L, 0.0L};
        int nan = 0;
        inPairs(begin, end, [&](size_t i, int lane) {
            const T x = v[i];
            nan |= x != x;
            part.lo = std::min(part.lo, x);
            part.hi = std::max(part.hi, x);
            sum[lane] += x;
            ++count[lane][orderKey(x) >> 16];
        });
        part.sum = sum[0] + sum[1];
        part.nan = nan != 0;
        sums[p] = part;
    });
    long double sum = 0.0L;
    T lo = v[0], hi = v[0];
    for (const PartSums<T>& part : sums) {
        if (part.nan)
            return std::nullopt;
        lo = std::min(lo, part.lo);
        hi = std::max(hi, part.hi);
        sum += part.sum;
    }
    std::vector<T> values;
    s.median = medianByHistogram<T>(
        parts, n, counts, [v](size_t i) { return v[i]; }, values);
    s.min = lo;
    s.max = hi;
    s.mean = static_cast<double>(sum / static_cast<long double>(n));
    const double m = s.median, mean = s.mean;
    const auto deviation = [v, m](size_t i) { return std::fabs(m - static_cast<double>(v[i])); };
    counts = histograms(parts, n, [&](unsigned p, size_t begin, size_t end, uint32_t** count) {
        double squares[2] = {0.0, 0.0};
        inPairs(begin, end, [&](size_t i, int lane) {
            ++count[lane][orderKey(deviation(i)) >> 16];
            const double d = v[i] - mean;
            squares[lane] += d * d;
        });
        sums[p].squares = squares[0] + squares[1];
    });
    std::vector<double> deviations;
    s.mad = medianByHistogram<double>(parts, n, counts, deviation, deviations);
    double squares = 0.0;
    for (const PartSums<T>& part : sums)
        squares += part.squares;
    s.rms = std::sqrt(squares / static_cast<double>(n - 1));
    return s;
}

template <typename T>
stats statOf(T* v, size_t n)
{
    if (n >= kHistogramFrom)
        if (const std::optional<stats> s = longStat(v, n))
            return *s;
    n = dropNaN(v, n);
    if (n >= kHistogramFrom)
        return *longStat(v, n);
    stats s;
    s.count = static_cast<int32_t>(n);
    if (n == 0)
        return s;

    s.median = medianOf(v, n);
    T lo, hi;
    extremes(v, n, lo, hi);
    long double sum = 0.0L;
    for (size_t i = 0; i < n; ++i)
        sum += v[i];
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

// Where the processor has AVX-512, the values kept go out sixteen tested at a time, compressed
// into one store: those in [from, to] or, with kDistance, those whose distance from `centre` is.
// A whole vector's store reaches no further than a[i + 16), for which out, even when it is a, has
// room; the last few values go out in a masked store.
template <bool kDistance>
__attribute__((target("avx512f"))) inline __m512 tested(__m512 x, __m512 centre)
{
    return kDistance ? _mm512_abs_ps(_mm512_sub_ps(x, centre)) : x;
}

template <bool kDistance>
__attribute__((target("avx512f,popcnt"))) size_t gather512(const float* a, size_t n, float centre, float from, float to,
                                                           float* out)
{
    const __m512 c = _mm512_set1_ps(centre), lo = _mm512_set1_ps(from), hi = _mm512_set1_ps(to);
    size_t m = 0, i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512 x = _mm512_loadu_ps(a + i);
        appendKeptWhole(out, m, inRange(0xffff, tested<kDistance>(x, c), lo, hi), x);
    }
    if (i < n) {
        const __mmask16 load = firstLanes(n - i);
        const __m512 x = _mm512_maskz_loadu_ps(load, a + i);
        appendKept(out, m, inRange(load, tested<kDistance>(x, c), lo, hi), x);
    }
    return m;
}

const bool kAvx512 = haveAvx512();

// countBelow at kCutsNear cuts where the processor has AVX-512: each count kept in sixteen lanes
// that a compare's mask adds one to.
constexpr size_t kCutsNear = 5;
__attribute__((target("avx512f"))) uint32_t countUnder512(const float* a, size_t n, const float* cut, uint32_t* under)
{
    __m512 c[kCutsNear];
    __m512i counts[kCutsNear];
    for (size_t j = 0; j < kCutsNear; ++j) {
        c[j] = _mm512_set1_ps(cut[j]);
        counts[j] = _mm512_setzero_si512();
    }
    __m512i used = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi32(1);
    // The last few values are loaded as NaN, which lies below no cut and is not counted.
    for (size_t i = 0; i < n; i += 16) {
        const __m512 x = i + 16 <= n
            ? _mm512_loadu_ps(a + i)
            : _mm512_mask_loadu_ps(_mm512_set1_ps(std::numeric_limits<float>::quiet_NaN()), firstLanes(n - i), a + i);
        for (size_t j = 0; j < kCutsNear; ++j)
            counts[j] = _mm512_mask_add_epi32(counts[j], _mm512_cmp_ps_mask(x, c[j], _CMP_LT_OQ), counts[j], one);
        used = _mm512_mask_add_epi32(used, _mm512_cmp_ps_mask(x, x, _CMP_ORD_Q), used, one);
    }
    for (size_t j = 0; j < kCutsNear; ++j)
        under[j] = static_cast<uint32_t>(_mm512_reduce_add_epi32(counts[j]));
    return static_cast<uint32_t>(_mm512_reduce_add_epi32(used));
}

// Where the processor has AVX-512, middleAt narrows lists down to this many values (at most 32),
// and then orders them in registers.
constexpr size_t kSortedInRegisters = 32;

// Lanes of one step of a bitonic network over sixteen floats: lane i is paired with lane i ^ j and
// keeps the smaller of the pair when it is the lower lane of a block of k lanes meant to ascend
// (i & k == 0), or the upper lane of one meant to descend.
constexpr __mmask16 keepsSmaller(unsigned k, unsigned j)
{
    unsigned mask = 0;
    for (unsigned i = 0; i < 16; ++i)
        if (((i & j) == 0) == ((i & k) == 0))
            mask |= 1u << i;
    return static_cast<__mmask16>(mask);
}

template <unsigned k, unsigned j>
__attribute__((target("avx512f"))) __m512 exchange(__m512 v)
{
    constexpr int p = static_cast<int>(j);
    const __m512i other = _mm512_set_epi32(15 ^ p, 14 ^ p, 13 ^ p, 12 ^ p, 11 ^ p, 10 ^ p, 9 ^ p, 8 ^ p, 7 ^ p, 6 ^ p,
                                           5 ^ p, 4 ^ p, 3 ^ p, 2 ^ p, 1 ^ p, 0 ^ p);
    const __m512 w = _mm512_permutexvar_ps(other, v);
    return _mm512_mask_blend_ps(keepsSmaller(k, j), _mm512_max_ps(v, w), _mm512_min_ps(v, w));
}

// The sixteen floats of v (no NaN) in ascending order.
__attribute__((target("avx512f"))) __m512 sort16(__m512 v)
{
    v = exchange<2, 1>(v);
    v = exchange<4, 1>(exchange<4, 2>(v));
    v = exchange<8, 1>(exchange<8, 2>(exchange<8, 4>(v)));
    return exchange<16, 1>(exchange<16, 2>(exchange<16, 4>(exchange<16, 8>(v))));
}

// A bitonic v (rising then falling, or the reverse) in ascending order.
__attribute__((target("avx512f"))) __m512 mergeBitonic16(__m512 v)
{
    return exchange<32, 1>(exchange<32, 2>(exchange<32, 4>(exchange<32, 8>(v))));
}

// The values at ranks at - 1 (when at > 0) and at of a[0, m) (m at most 32, no NaN), from the list
// padded with infinities to sixteen or thirty-two values and ordered by a bitonic network: each
// half ordered, the second reversed against the first, and the smaller and larger of each pair
// ordered again. Unlike a selection, the network has no branch to mispredict.
__attribute__((target("avx512f"))) void valuesAtRanks512(const float* a, size_t m, size_t at, float& previous,
                                                         float& value)
{
    const __m512 infinity = _mm512_set1_ps(std::numeric_limits<float>::infinity());
    float sorted[32];
    __m512 low = sort16(_mm512_mask_loadu_ps(infinity, firstLanes(m), a));
    if (m > 16) {
        const __m512i reverse = _mm512_set_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m512 high =
            _mm512_permutexvar_ps(reverse, sort16(_mm512_mask_loadu_ps(infinity, firstLanes(m - 16), a + 16)));
        _mm512_storeu_ps(sorted + 16, mergeBitonic16(_mm512_max_ps(low, high)));
        low = mergeBitonic16(_mm512_min_ps(low, high));
    }
    _mm512_storeu_ps(sorted, low);
    value = sorted[at];
    if (at > 0)
        previous = sorted[at - 1];
}

// The parts of a list of `count` values cut at cuts[0, k) (ascending; part p holds the values in
// [cuts[p - 1], cuts[p]), the first from -infinity, the last to +infinity) that hold ranks `from`
// to `to`, given under[j], the number of values below cuts[j]: they hold the values in [lo, hi],
// `kept` of them, with `below` values under lo.
struct Parts {
    float lo, hi;
    size_t below, kept;
};
Parts partsHolding(const float* cuts, const uint32_t* under, size_t k, size_t count, size_t from, size_t to)
{
    size_t first = 0, last = 0;
    while (first < k && under[first] <= from)
        ++first;
    while (last < k && under[last] <= to)
        ++last;
    const float infinity = std::numeric_limits<float>::infinity();
    Parts p;
    p.lo = first == 0 ? -infinity : cuts[first - 1];
    p.hi = last == k ? infinity : std::nextafter(cuts[last], -infinity);
    p.below = first == 0 ? 0 : under[first - 1];
    p.kept = (last == k ? count : under[last]) - p.below;
    return p;
}

// narrowToRanks cuts the span of a long list in this many places.
constexpr size_t kCuts = 15;

// under[j] = how many of a[0, n) lie below cuts[j], for K cuts; returns how many are not NaN. The
// loop has no stores, so it takes the values several at a time in the clone it is inlined into.
template <size_t K>
[[gnu::always_inline]] inline uint32_t countCuts(const float* a, size_t n, const float* cuts, uint32_t* under)
{
    float cut[K];
    std::copy_n(cuts, K, cut);
    uint32_t count[K] = {}, used = 0;
    for (size_t i = 0; i < n; ++i) {
        const float x = a[i];
        for (size_t j = 0; j < K; ++j)
            count[j] += x < cut[j];
        used += x == x;
    }
    std::copy_n(count, K, under);
    return used;
}

// The counts of NearMedian and of narrowToRanks: countCuts at kCutsNear cuts (in AVX-512
// registers where the processor has it) or at kCuts.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) uint32_t countBelow(const float* a, size_t n,
                                                                                        const float* cuts, size_t k,
                                                                                        uint32_t* under)
{
    if (k == kCuts)
        return countCuts<kCuts>(a, n, cuts, under);
    return kAvx512 ? countUnder512(a, n, cuts, under) : countCuts<kCutsNear>(a, n, cuts, under);
}

// The portable gathers: the values x of a[0, n) for which keeps(x) holds, in order, to out. When
// about `expected` of them, fewer than one in sixteen, are kept, four values are tested at a time
// and only a group that holds one of them is copied value by value; else every value is copied
// and kept or overwritten, which has no branch to mispredict. keeps takes four values at a time
// (giving a mask of them) or one.
template <typename Keeps>
size_t gatherKept(const float* a, size_t n, float* out, size_t expected, Keeps keeps)
{
    size_t m = 0, i = 0;
    if (expected * 16 < n) {
        using Floats = float __attribute__((vector_size(16)));
        for (; i + 4 <= n; i += 4) {
            Floats x;
            std::memcpy(&x, a + i, sizeof x);
            const auto in = keeps(x);
            if ((in[0] | in[1] | in[2] | in[3]) == 0)
                continue;
            for (size_t j = 0; j < 4; ++j) {
                out[m] = x[j];
                m += in[j] != 0;
            }
        }
    }
    for (; i < n; ++i) {
        out[m] = a[i];
        m += keeps(a[i]) ? 1 : 0;
    }
    return m;
}

}  // namespace

size_t gatherInRange(const float* a, size_t n, float from, float to, float* out, size_t expected)
{
    if (kAvx512)
        return gather512<false>(a, n, 0.0f, from, to, out);
    return gatherKept(a, n, out, expected, [from, to](auto x) { return (x >= from) & (x <= to); });
}

size_t gatherAtDistance(const float* a, size_t n, float centre, float from, float to, float* out, size_t expected)
{
    if (kAvx512)
        return gather512<true>(a, n, centre, from, to, out);
    return gatherKept(a, n, out, expected, [centre, from, to](auto x) {
        auto d = x - centre;
        // For a vector, a choice lane by lane; for one value, no branch on its sign.
        if constexpr (std::is_same_v<decltype(d), float>)
            d = std::fabs(d);
        else
            d = d < 0.0f ? -d : d;
        return (d >= from) & (d <= to);
    });
}

void selectInPlace(float* a, size_t n, size_t k)
{
    selectInPlace<float>(a, n, k);
}

// Lists no longer than this are cut in kCutsNear places.
constexpr size_t kFewCutsBelow = 256;

// narrowToRanks first places the ranks it seeks in lists at least this long by a sample of them,
// every kSampleEvery-th value.
constexpr size_t kSampledFrom = 2048, kSampleEvery = 16;

size_t narrowToRanks(float* a, size_t m, size_t from, size_t to, size_t enough, size_t& below)
{
    // Each round cuts a span of the values into parts of equal width, counts the values below
    // each cut, and keeps (at the front of a) only the parts that hold the ranks sought.
    below = 0;
    for (bool first = true; m > enough; first = false) {
        // The span the cuts cross: [lo, lo + span].
        double lo = 0.0, span = 0.0;
        bool sampled = false;
        if (first && m >= kSampledFrom) {
            // A long list's first cuts span the values that the sample's ranks put a little either
            // side of those sought: cuts across the whole span would take a round or more to get
            // past a few outliers far out. Should the sample mislead, the parts beyond the cuts
            // are kept, and the rounds that follow narrow them.
            const size_t count = m / kSampleEvery;
            for (size_t j = 1; j < count; ++j)
                std::swap(a[j], a[j * kSampleEvery]);
            const auto reach = static_cast<size_t>(2.0 * std::sqrt(static_cast<double>(count))) + 2;
            const size_t high = std::min(count - 1, to / kSampleEvery + reach);
            const size_t low = std::min(high, from / kSampleEvery > reach ? from / kSampleEvery - reach : 0);
            selectInPlace(a, count, high);
            const float hi = a[high];
            selectInPlace(a, high + 1, low);
            lo = a[low];
            span = static_cast<double>(hi) - lo;
            sampled = span > 0.0 && span <= std::numeric_limits<float>::max();
        }
        if (!sampled) {
            float least, most;
            extremes(a, m, least, most);
            lo = least;
            span = static_cast<double>(most) - least;
            if (!(span > 0.0 && span <= std::numeric_limits<float>::max()))
                break;
        }
        // Short lists, and long ones whose cuts the sample has placed, are cut in fewer places:
        // adding up fifteen counts would cost more than the counting, and parts that narrow are
        // enough.
        const size_t cuts = sampled || m <= kFewCutsBelow ? kCutsNear : kCuts;
        // The sample's cuts take in both ends of the span; cuts across the whole span, neither.
        const size_t parts = sampled ? cuts - 1 : cuts + 1, offset = sampled ? 0 : 1;
        float cut[kCuts];
        for (size_t j = 0; j < cuts; ++j)
            cut[j] = static_cast<float>(lo + span * static_cast<double>(j + offset) / static_cast<double>(parts));
        uint32_t under[kCuts];
        countBelow(a, m, cut, cuts, under);
        const Parts part = partsHolding(cut, under, cuts, m, from - below, to - below);
        if (part.kept == m && !sampled)
            break;
        m = gatherInRange(a, m, part.lo, part.hi, a, part.kept);
        below += part.below;
    }
    return m;
}

double middleAt(float* a, size_t m, size_t at, bool odd)
{
    size_t below = 0;
    m = narrowToRanks(a, m, odd || at == 0 ? at : at - 1, at, kAvx512 ? kSortedInRegisters : 8, below);
    at -= below;
    if (kAvx512 && m <= kSortedInRegisters) {
        float previous = -std::numeric_limits<float>::infinity(), value = previous;
        valuesAtRanks512(a, m, at, previous, value);
        return odd ? value : (static_cast<double>(previous) + value) * 0.5;
    }
    std::nth_element(a, a + at, a + m);
    return middleOfSelected(a, at, odd);
}

__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) double NearMedian::operator()(const float* a,
                                                                                                  size_t n,
                                                                                                  double guess)
{
    const auto lo = static_cast<float>(guess - width_), hi = static_cast<float>(guess + width_);
    if (n < shortest_ || !(width_ > 0.0 && std::isfinite(lo) && std::isfinite(hi))) {
        all_.assign(a, a + n);
        const double middle = median(all_);
        // A call without a guess starts a new run of lists, whose medians may wander more or less
        // than the last run's did: the bracket starts again from this list's middle values, wide
        // enough to hold about one value in sixteen. (Its extremes would not do: a few values far
        // out, interference in a channel or two, would make it hold nearly all.)
        const size_t count = all_.size(), mid = count / 2, reach = count / 16;
        if (n >= shortest_ && reach > 0 && (!std::isfinite(guess) || !(width_ > 0.0 && std::isfinite(width_)))) {
            selectInPlace(all_.data(), count, mid + reach);
            const double high = all_[mid + reach];
            selectInPlace(all_.data(), mid + reach, mid - reach);
            width_ = (high - all_[mid - reach]) / 4.0;
            // Middle values all alike (counts, say) leave the whole spread to go by.
            if (!(width_ > 0.0)) {
                const auto [least, most] = std::minmax_element(all_.begin(), all_.end());
                width_ = (static_cast<double>(*most) - *least) / 64.0;
            }
        }
        return middle;
    }
    float cut[kParts + 1];
    for (size_t j = 0; j <= kParts; ++j)
        cut[j] = static_cast<float>(lo + (static_cast<double>(hi) - lo) * static_cast<double>(j) / kParts);
    uint32_t under[kParts + 1];
    static_assert(kParts + 1 == kCutsNear);
    const size_t count = countBelow(a, n, cut, kCutsNear, under);
    if (count == 0)
        return 0.0;
    const size_t upper = count / 2, lowest = count % 2 == 1 ? upper : upper - 1;
    // The bracket narrows a little after each hit and widens after a miss, which settles
    // where about one call in thirty-five misses; a miss gathers all of the side beyond it.
    const bool hit = under[0] <= lowest && upper < under[kParts];
    width_ *= hit ? 0.98 : 2.0;
    // The parts from the one that holds rank `lowest` to the one that holds rank `upper`.
    const Parts part = partsHolding(cut, under, kParts + 1, count, lowest, upper);
    part_.resize(n);
    const size_t size = gatherInRange(a, n, part.lo, part.hi, part_.data(), part.kept);
    return middleAt(part_.data(), size, upper - part.below, count % 2 == 1);
}

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

bool haveAvx512()
{
    static const bool have = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        std::getenv("KESTRUM_NO_AVX512") == nullptr;
    return have;
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
