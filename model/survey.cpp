// The survey of an observation: one pass per baseline over its records computes the residuals
// of the amplitudes after the per-record and per-channel medians (as the view subtracts them),
// their robust spread, the outliers, and the bad channels and integrations; then the scores,
// the ranks and the antenna and observation-wide summaries.
#include "model/survey.h"

#include "model/simd.h"
#include "model/util.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

namespace {

const bool kAvx512 = haveAvx512();

// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.482602218505602;
// Each channel's median is compared with what this many neighbours on either side predict.
constexpr int32_t kNeighbours = 6;

// Records are taken this many at a time, so that their channels go to the channel-major cells
// in runs rather than one value per channel and record.
constexpr size_t kBlock = 16;
// Medians of lists shorter than this are found by ordering them at once.
constexpr size_t kShortest = 32;
// The residuals of every this many channels are the sample that brackets their median and spread.
constexpr size_t kSampleStride = 32;

// The residuals of a baseline, made channel by channel in a pass that also adds up their count,
// sum and sum of squares and finds their median and median absolute deviation without ordering
// them all: a sample of the residuals gives a bracket around each of the two that holds it nearly
// always, the pass counts the residuals below each bracket and gathers the few that may lie
// inside it, and only those are ordered. When a bracket misses, the caller orders every finite
// residual instead.
class Residuals {
public:
    // Sets the brackets from the m finite residuals at `sample` (reordered), and makes room for
    // a pass over at most `cells` residuals.
    void start(float* sample, size_t m, size_t cells)
    {
        centre_.resize(cells + 16);
        near_.resize(cells + 16);
        below_ = surelyBelow_ = inCentre_ = nearby_ = finite_ = 0;
        sum_ = squares_ = Doubles{};
        const float none = std::numeric_limits<float>::quiet_NaN();
        lo_ = hi_ = none;
        middle_ = sureBelow_ = sureAbove_ = none;
        if (m < kFewest)
            return;
        // Each channel's residuals lie evenly either side of zero, its median taken off, so the
        // middle of all of them lies among the few nearest zero as the sample's does: the bracket
        // around the median reaches a few ranks either side of the sample's middle rank. The
        // sample's median absolute deviation strays as a sample's does, by about half the
        // square root of its size in rank: that bracket reaches six times as far.
        const size_t mid = m / 2;
        const auto root = static_cast<size_t>(std::sqrt(static_cast<double>(m)));
        const size_t near = root / 4 + 8, far = 3 * root + 8;
        centreShare_ = static_cast<double>(2 * near + 1) / static_cast<double>(m);
        nearShare_ = static_cast<double>(2 * far + 1) / static_cast<double>(m);
        // The values at ranks from <= at <= to are sought among the few values, narrowed down to,
        // that hold them: the middle ones in a copy of the sample, whose distances from the middle
        // come next.
        auto ranks = [](float* a, size_t count, size_t from, size_t at, size_t to) {
            size_t below = 0;
            const size_t kept = narrowToRanks(a, count, from, to, 2 * (to - from) + 32, below);
            from -= below, at -= below, to -= below;
            selectInPlace(a, kept, to);
            selectInPlace(a, to + 1, at);
            selectInPlace(a, at + 1, from);
            return std::array{a[from], a[at], a[to]};
        };
        std::copy_n(sample, m, near_.data());
        const auto middle = ranks(near_.data(), m, mid > near ? mid - near : 0, mid, std::min(m - 1, mid + near));
        lo_ = middle[0];
        hi_ = middle[2];
        for (size_t j = 0; j < m; ++j)
            sample[j] = std::fabs(sample[j] - middle[1]);
        const auto distances = ranks(sample, m, mid > far ? mid - far : 0, mid, std::min(m - 1, mid + far));
        dlo_ = distances[0];
        dhi_ = distances[2];
        // Whatever the median turns out to be within [lo_, hi_], a residual whose distance from
        // the bracket's middle is under sureBelow_ lies closer to it than dlo_, one whose
        // distance is over sureAbove_ farther than dhi_: the margin is the bracket's width and
        // room for the rounding of distances in single precision. Values so large that the
        // distances could overflow give no brackets.
        const double width = static_cast<double>(hi_) - lo_;
        middle_ = static_cast<float>(0.5 * (static_cast<double>(lo_) + hi_));
        const double margin = width + 1e-6 * (width + dhi_ + std::fabs(middle_));
        if (!(std::fabs(middle_) + width + dhi_ + margin < kLargest)) {
            lo_ = hi_ = none;
            return;
        }
        sureBelow_ = static_cast<float>(dlo_ - margin);
        sureAbove_ = static_cast<float>(dhi_ + margin);
    }

    // Takes `median` off the values at column[0, n), which become residuals, and adds them in;
    // values that are not finite are left out. One loop makes the residuals, their sums and the
    // counts several at a time (the sums run in kLanes lanes, each adding every kLanes-th
    // residual of a channel in order); a second gathers the few that may hold the median and the
    // median absolute deviation.
    __attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) void take(float* column, size_t n,
                                                                                  double median)
    {
        if (kAvx512) {
            take512(column, n, median);
            return;
        }
        using Floats = float __attribute__((vector_size(4 * kLanes)));
        using Ints = int32_t __attribute__((vector_size(4 * kLanes)));
        const Floats lo = lo_ + Floats{}, middle = middle_ + Floats{}, sureBelow = sureBelow_ + Floats{};
        const Floats least = -std::numeric_limits<float>::max() + Floats{};
        const Ints magnitude = 0x7fffffff + Ints{};
        Ints finite{}, below{}, surelyBelow{};
        Doubles sum = sum_, squares = squares_;
        size_t i = 0;
        for (; i + kLanes <= n; i += kLanes) {
            Floats r;
            std::memcpy(&r, column + i, sizeof r);
            r = __builtin_convertvector(__builtin_convertvector(r, Doubles) - median, Floats);
            std::memcpy(column + i, &r, sizeof r);
            // x - x is 0 for a finite x and NaN for the rest.
            const Ints keep = (r - r) == 0;
            const Doubles kept = reinterpret_cast<Doubles>(
                reinterpret_cast<Longs>(__builtin_convertvector(r, Doubles)) & __builtin_convertvector(keep, Longs));
            sum += kept;
            squares += kept * kept;
            finite -= keep;
            below -= (r >= least) & (r < lo);
            surelyBelow -= reinterpret_cast<Floats>(reinterpret_cast<Ints>(r - middle) & magnitude) < sureBelow;
        }
        for (size_t lane = 0; i < n; ++i, ++lane) {
            const auto r = static_cast<float>(column[i] - median);
            column[i] = r;
            const bool keep = std::isfinite(r);
            finite[lane] += keep;
            sum[lane] += keep ? r : 0.0;
            squares[lane] += keep ? static_cast<double>(r) * r : 0.0;
            below[lane] += (r >= least[0]) & (r < lo_);
            surelyBelow[lane] += std::fabs(r - middle_) < sureBelow_;
        }
        sum_ = sum;
        squares_ = squares;
        for (size_t lane = 0; lane < kLanes; ++lane) {
            finite_ += static_cast<uint32_t>(finite[lane]);
            below_ += static_cast<uint32_t>(below[lane]);
            surelyBelow_ += static_cast<uint32_t>(surelyBelow[lane]);
        }
        inCentre_ += gatherInRange(column, n, lo_, hi_, centre_.data() + inCentre_,
                                   static_cast<size_t>(centreShare_ * static_cast<double>(n)));
        nearby_ += gatherAtDistance(column, n, middle_, sureBelow_, sureAbove_, near_.data() + nearby_,
                                    static_cast<size_t>(nearShare_ * static_cast<double>(n)));
    }

    // take where the processor has AVX-512: one loop takes sixteen residuals at a time and gathers
    // them too, with the sums in the same lanes and order as take's (a lane with nothing to add
    // adds +0, which changes no sum: none is ever -0). The last few go through a copy padded with
    // NaN, which adds to nothing and is gathered by neither bracket, so that every step is whole;
    // the gathered lists have room for a whole step past their ends.
    __attribute__((target("avx512f,avx512dq,popcnt"))) void take512(float* column, size_t n, double median)
    {
        const __m512d m = _mm512_set1_pd(median);
        const __m512 lo = _mm512_set1_ps(lo_), hi = _mm512_set1_ps(hi_), middle = _mm512_set1_ps(middle_);
        const __m512 sureBelow = _mm512_set1_ps(sureBelow_), sureAbove = _mm512_set1_ps(sureAbove_);
        const __m512 least = _mm512_set1_ps(-std::numeric_limits<float>::max());
        const __m512i one = _mm512_set1_epi32(1);
        __m512d sum = sum_, squares = squares_;
        __m512i finite = _mm512_setzero_si512(), below = finite, surelyBelow = finite;
        size_t inCentre = inCentre_, nearby = nearby_;
        float* const centre = centre_.data();
        float* const near = near_.data();
        float last[16];
        for (size_t i = 0; i < n; i += 16) {
            float* const at = i + 16 <= n ? column + i : last;
            if (at == last) {
                std::fill_n(last, 16, std::numeric_limits<float>::quiet_NaN());
                std::copy_n(column + i, n - i, last);
            }
            const __m512 x = _mm512_loadu_ps(at);
            const __m256 low = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), m));
            const __m256 high = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(x, 1)), m));
            const __m512 r = _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
            _mm512_storeu_ps(at, r);
            // Not a NaN of either kind, nor an infinity.
            const auto keep = static_cast<__mmask16>(~_mm512_fpclass_ps_mask(r, 0x99));
            finite = _mm512_mask_add_epi32(finite, keep, finite, one);
            const __m512d keptLow = _mm512_maskz_cvtps_pd(static_cast<__mmask8>(keep), low);
            const __m512d keptHigh = _mm512_maskz_cvtps_pd(static_cast<__mmask8>(keep >> 8), high);
            sum = _mm512_add_pd(_mm512_add_pd(sum, keptLow), keptHigh);
            squares = _mm512_add_pd(_mm512_add_pd(squares, _mm512_mul_pd(keptLow, keptLow)),
                                    _mm512_mul_pd(keptHigh, keptHigh));
            below = _mm512_mask_add_epi32(
                below, _mm512_mask_cmp_ps_mask(_mm512_cmp_ps_mask(r, least, _CMP_GE_OQ), r, lo, _CMP_LT_OQ), below,
                one);
            const __m512 d = _mm512_abs_ps(_mm512_sub_ps(r, middle));
            surelyBelow =
                _mm512_mask_add_epi32(surelyBelow, _mm512_cmp_ps_mask(d, sureBelow, _CMP_LT_OQ), surelyBelow, one);
            appendKeptWhole(centre, inCentre, inRange(0xffff, r, lo, hi), r);
            appendKeptWhole(near, nearby, inRange(0xffff, d, sureBelow, sureAbove), r);
            if (at == last)
                std::copy_n(last, n - i, column + i);
        }
        sum_ = sum;
        squares_ = squares;
        finite_ += static_cast<uint32_t>(_mm512_reduce_add_epi32(finite));
        below_ += static_cast<uint32_t>(_mm512_reduce_add_epi32(below));
        surelyBelow_ += static_cast<uint32_t>(_mm512_reduce_add_epi32(surelyBelow));
        inCentre_ = inCentre;
        nearby_ = nearby;
    }

    // The finite residuals taken, their sum and the sum of their squares.
    size_t finite() const { return finite_; }
    double sum() const { return inOrder(sum_); }
    double squares() const { return inOrder(squares_); }

    // The median and the median absolute deviation of the finite residuals taken (at least
    // one); false when a bracket missed the middle of either.
    bool finish(double& median, double& deviation)
    {
        const size_t finite = finite_, upper = finite / 2, lowest = finite % 2 == 1 ? upper : upper - 1;
        if (!(below_ <= lowest && upper < below_ + inCentre_))
            return false;
        median = middleAt(centre_.data(), inCentre_, upper - below_, finite % 2 == 1);
        size_t below = surelyBelow_, inside = 0;
        if (kAvx512)
            inside = distances512(median, below);
        else
            for (size_t j = 0; j < nearby_; ++j) {
                const auto d = static_cast<float>(std::fabs(near_[j] - median));
                below += d < dlo_;
                near_[inside] = d;
                inside += (d >= dlo_) & (d <= dhi_);
            }
        if (!(below <= lowest && upper < below + inside))
            return false;
        deviation = middleAt(near_.data(), inside, upper - below, finite % 2 == 1);
        return true;
    }

private:
    // The residuals gathered near the median absolute deviation to their distances from `median`
    // where the processor has AVX-512, sixteen at a time: adds those closer than dlo_ to `below`
    // and keeps, at the front, those from dlo_ to dhi_, whose number it returns. The list is
    // padded with NaN, which is neither, to whole steps, for which it has room.
    __attribute__((target("avx512f,avx512dq,popcnt"))) size_t distances512(double median, size_t& below)
    {
        const __m512d m = _mm512_set1_pd(median);
        const __m512 lo = _mm512_set1_ps(dlo_), hi = _mm512_set1_ps(dhi_);
        const __m512i one = _mm512_set1_epi32(1);
        __m512i closer = _mm512_setzero_si512();
        float* const a = near_.data();
        std::fill_n(a + nearby_, 16, std::numeric_limits<float>::quiet_NaN());
        size_t inside = 0;
        for (size_t j = 0; j < nearby_; j += 16) {
            const __m512 x = _mm512_loadu_ps(a + j);
            const __m256 low =
                _mm512_cvtpd_ps(_mm512_abs_pd(_mm512_sub_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), m)));
            const __m256 high =
                _mm512_cvtpd_ps(_mm512_abs_pd(_mm512_sub_pd(_mm512_cvtps_pd(_mm512_extractf32x8_ps(x, 1)), m)));
            const __m512 d = _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
            closer = _mm512_mask_add_epi32(closer, _mm512_cmp_ps_mask(d, lo, _CMP_LT_OQ), closer, one);
            appendKeptWhole(a, inside, inRange(0xffff, d, lo, hi), d);
        }
        below += static_cast<uint32_t>(_mm512_reduce_add_epi32(closer));
        return inside;
    }

    // Samples smaller than this give no brackets.
    static constexpr size_t kFewest = 64;
    // The residual pass adds up this many residuals at a time.
    static constexpr size_t kLanes = 8;
    using Doubles = double __attribute__((vector_size(8 * kLanes)));
    using Longs = int64_t __attribute__((vector_size(8 * kLanes)));

    // The lanes' total, added in lane order.
    static double inOrder(const Doubles& lanes)
    {
        double total = 0.0;
        for (size_t lane = 0; lane < kLanes; ++lane)
            total += lanes[lane];
        return total;
    }
    // Brackets reach no farther from zero than this, far below the largest float.
    static constexpr double kLargest = 1e30;

    float lo_ = 0.0f, hi_ = 0.0f, dlo_ = 0.0f, dhi_ = 0.0f;
    // About what share of the residuals each bracket holds, as the sample's share.
    double centreShare_ = 0.0, nearShare_ = 0.0;
    float middle_ = 0.0f, sureBelow_ = 0.0f, sureAbove_ = 0.0f;
    size_t below_ = 0, surelyBelow_ = 0, inCentre_ = 0, nearby_ = 0, finite_ = 0;
    Doubles sum_{}, squares_{};
    std::vector<float> centre_, near_;
};

// Working space reused from one baseline to the next.
struct Scratch {
    // Channel-major (channel k of record i at k * pitch + i from the first cache line in it): the
    // amplitude less the record's median, then the residual; NaN where flagged.
    std::vector<float> cells;
    // A block of records, record-major: the amplitudes less the record's median.
    std::vector<float> rows;
    std::vector<float> values;  // a record's amplitudes; every finite residual when the brackets missed
    std::vector<float> sample;  // residuals of some channels
    std::vector<double> chanMedian;
    std::vector<int32_t> chanCells;  // unflagged cells
    std::vector<int64_t> chanOutliers;  // outliers among them
    std::vector<int32_t> recCells, recOutliers;
    std::vector<uint8_t> badRecord;
    std::vector<double> predictions;
    NearMedian recordMedian{kShortest}, channelMedian{kShortest};
    Residuals residuals;
};

// Whether the median of channel k stands out from what its neighbours predict: midpoints of
// pairs on either side and, where one side is missing, straight-line extrapolations from the
// other. It stands out when it lies farther from their median than `limit` and `nsigma` times
// their robust sigma, which grows where the band curves too fast for straight lines (at its
// edges). Not when no neighbour has data. `predictions` is working space.
bool standsOut(const Scratch& s, int32_t k, double limit, double nsigma, std::vector<double>& predictions)
{
    const auto width = static_cast<int32_t>(s.chanMedian.size());
    auto usable = [&](int32_t j) {
        return j >= 0 && j < width && s.chanCells[j] > 0 && std::isfinite(s.chanMedian[j]);
    };
    predictions.clear();
    for (int32_t j = 1; j <= kNeighbours; ++j) {
        const bool left = usable(k - j), right = usable(k + j);
        if (left && right)
            predictions.push_back(0.5 * (s.chanMedian[k - j] + s.chanMedian[k + j]));
        else if (right && usable(k + 2 * j))
            predictions.push_back(2.0 * s.chanMedian[k + j] - s.chanMedian[k + 2 * j]);
        else if (left && usable(k - 2 * j))
            predictions.push_back(2.0 * s.chanMedian[k - j] - s.chanMedian[k - 2 * j]);
    }
    if (predictions.empty())
        return false;
    // Their median lies among them: when every one is within the limit, so is the median.
    const double own = s.chanMedian[k];
    if (nsigma >= 0.0 &&
        std::all_of(predictions.begin(), predictions.end(), [&](double p) { return std::fabs(own - p) <= limit; }))
        return false;
    const double prediction = median(predictions);
    for (double& p : predictions)
        p = std::fabs(p - prediction);
    const double spread = kMadToSigma * median(predictions);
    return std::fabs(own - prediction) > limit + nsigma * spread;
}

// The mean of a[0, n), summed in 64 lanes, which let the additions overlap; NaN or infinite when
// a value is not finite.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) double meanLevel(const float* a, size_t n)
{
    constexpr size_t kLanes = 64;
    float lane[kLanes] = {};
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (size_t j = 0; j < kLanes; ++j)
            lane[j] += a[i + j];
    for (size_t j = 0; i < n; ++i, ++j)
        lane[j] += a[i];
    double sum = 0.0;
    for (float x : lane)
        sum += x;
    return n > 0 ? sum / static_cast<double>(n) : 0.0;
}

// One record's row of a block: its amplitudes amps[0, n) less its median, NaN where flags[0, n)
// flag them (which the medians and the residuals' statistics leave out as they leave out values
// that are not numbers); adds its unflagged cells to chanCells[0, n) and returns how many there are.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) int32_t makeRow(const float* amps,
                                                                                    const uint8_t* flags, size_t n,
                                                                                    double median, float* row,
                                                                                    int32_t* chanCells)
{
    // A quiet NaN's bits set in any float make it a NaN.
    const auto flaggedBits = std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN());
    int32_t cells = 0;
    for (size_t k = 0; k < n; ++k) {
        const uint32_t nan = flags[k] != 0 ? flaggedBits : 0;
        row[k] = std::bit_cast<float>(std::bit_cast<uint32_t>(static_cast<float>(amps[k] - median)) | nan);
        const int32_t use = flags[k] == 0;
        chanCells[k] += use;
        cells += use;
    }
    return cells;
}

// The outliers among one channel's residuals column[0, n): those whose |residual| is beyond
// `bound`, infinite ones included; each is added to its record's count in recOutliers. Raises
// `peak` to the bits of the largest finite |residual| (which order as the values do).
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default"))) int32_t countOutliers(const float* column, size_t n,
                                                                                          float bound,
                                                                                          int32_t* recOutliers,
                                                                                          int32_t& peak)
{
    int32_t count = 0, most = peak;
    for (size_t i = 0; i < n; ++i) {
        const float r = std::fabs(column[i]);
        const int32_t outlier = r > bound;
        recOutliers[i] += outlier;
        count += outlier;
        most = std::max(most, r <= std::numeric_limits<float>::max() ? std::bit_cast<int32_t>(r) : 0);
    }
    peak = most;
    return count;
}

// Two floats at a time, the lower (or upper) pair of each 128-bit lane of a, then of b.
__attribute__((target("avx512f"))) inline __m512 lowPairs(__m512 a, __m512 b)
{
    return _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}
__attribute__((target("avx512f"))) inline __m512 highPairs(__m512 a, __m512 b)
{
    return _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
}

// The sixteen rows of a block, `stride` apart, into the channel-major cells (channel k's at
// cells + k * pitch) where the processor has AVX-512: sixteen channels at a time, transposed in
// registers by interleaving single floats, then pairs, then 128-bit lanes twice over.
__attribute__((target("avx512f"))) void toColumns512(const float* rows, size_t stride, size_t width, float* cells,
                                                     size_t pitch)
{
    static_assert(kBlock == 16);
    size_t k = 0;
    for (; k + 16 <= width; k += 16) {
        __m512 r[16], t[16];
        for (size_t g = 0; g < 16; ++g)
            r[g] = _mm512_loadu_ps(rows + g * stride + k);
        for (size_t g = 0; g < 16; g += 2) {
            t[g] = _mm512_unpacklo_ps(r[g], r[g + 1]);
            t[g + 1] = _mm512_unpackhi_ps(r[g], r[g + 1]);
        }
        for (size_t g = 0; g < 16; g += 4) {
            r[g] = lowPairs(t[g], t[g + 2]);
            r[g + 1] = highPairs(t[g], t[g + 2]);
            r[g + 2] = lowPairs(t[g + 1], t[g + 3]);
            r[g + 3] = highPairs(t[g + 1], t[g + 3]);
        }
        for (size_t g = 0; g < 16; g += 8)
            for (size_t j = g; j < g + 4; ++j) {
                t[j] = _mm512_shuffle_f32x4(r[j], r[j + 4], 0x88);
                t[j + 4] = _mm512_shuffle_f32x4(r[j], r[j + 4], 0xdd);
            }
        for (size_t j = 0; j < 8; ++j) {
            r[j] = _mm512_shuffle_f32x4(t[j], t[j + 8], 0x88);
            r[j + 8] = _mm512_shuffle_f32x4(t[j], t[j + 8], 0xdd);
        }
        for (size_t j = 0; j < 16; ++j)
            _mm512_storeu_ps(cells + (k + j) * pitch, r[j]);
    }
    for (; k < width; ++k)
        for (size_t g = 0; g < 16; ++g)
            cells[k * pitch + g] = rows[g * stride + k];
}

// Whether channel c of a record is flagged (as a channel beyond its last one is).
bool flaggedCell(const Visibility& rec, size_t c)
{
    return c >= rec.nchan || rec.flags[c] != 0;
}

BaselineSurvey surveyBaseline(const std::vector<Visibility>& allVis, const Baseline& bl,
                              const std::vector<int32_t>& timeIndex, const SurveyThresholds& t, int32_t c0, int32_t c1,
                              Scratch& s)
{
    BaselineSurvey out;
    out.ant1 = bl.ant1;
    out.ant2 = bl.ant2;
    const size_t n = bl.vis.size();
    out.records = static_cast<int64_t>(n);
    s.chanOutliers.clear();  // stays empty unless the outliers are counted
    const int32_t last = std::min<int32_t>(c1, static_cast<int32_t>(bl.nchan) - 1);
    const size_t width = last >= c0 ? static_cast<size_t>(last - c0 + 1) : 0;
    if (n == 0 || width == 0)
        return out;

    // The amplitudes less each record's median across all its channels (flagged ones too), a
    // block of records at a time, and the unflagged cells of each channel and record. The rows
    // of the block are a little longer than the band so that a channel's values in them do not
    // all fall in one set of the cache. Flagged cells hold NaN, which the medians and the
    // residuals' statistics leave out as they leave out values that are not numbers, so that no
    // loop over the cells needs the flags but the one that counts unflagged values that are not
    // numbers among the outliers, when there are any.
    // Each channel's cells start a cache line (`pitch` floats apart): a full block's values for a
    // channel fill one line, and the loops over a channel's cells load no value across two lines.
    const size_t pitch = (n + 15) / 16 * 16;
    s.cells.resize(pitch * width + 16);
    float* const cells = s.cells.data() + (16 - reinterpret_cast<uintptr_t>(s.cells.data()) / 4 % 16) % 16;
    const size_t stride = width + 16;
    s.rows.resize(kBlock * stride);
    s.chanCells.assign(width, 0);
    s.recCells.assign(n, 0);
    const float flagged = std::numeric_limits<float>::quiet_NaN();
    double recMedian = std::numeric_limits<double>::quiet_NaN(), recLevel = 0.0;
    for (size_t i0 = 0; i0 < n; i0 += kBlock) {
        const size_t block = std::min(kBlock, n - i0);
        for (size_t g = 0; g < block; ++g) {
            const Visibility& rec = allVis[bl.vis[i0 + g]];
            const uint32_t nch = rec.nchan;
            s.values.resize(nch);
            rec.rawAmps(s.values.data(), nch, i0 + g + 1 < n ? &allVis[bl.vis[i0 + g + 1]] : nullptr);
            // A record's amplitudes scale with its antennas' gains, which may jump from one record to
            // the next: the last median scaled as the mean amplitude has moved is the guess.
            const double level = meanLevel(s.values.data(), nch);
            const double guess = level > 0.0 && recLevel > 0.0 ? recMedian * (level / recLevel) : recMedian;
            recLevel = std::isfinite(level) ? level : 0.0;
            recMedian = s.recordMedian(s.values.data(), nch, guess);
            const size_t have = nch > static_cast<uint32_t>(c0) ? std::min<size_t>(width, nch - c0) : 0;
            float* row = &s.rows[g * stride];
            s.recCells[i0 + g] =
                makeRow(s.values.data() + c0, rec.flags.data() + c0, have, recMedian, row, s.chanCells.data());
            std::fill(row + have, row + width, flagged);
        }
        if (kAvx512 && block == kBlock)
            toColumns512(s.rows.data(), stride, width, cells + i0, pitch);
        else
            for (size_t k = 0; k < width; ++k) {
                float* column = cells + k * pitch + i0;
                for (size_t g = 0; g < block; ++g)
                    column[g] = s.rows[g * stride + k];
            }
    }

    // Each channel's median over its unflagged records.
    s.chanMedian.assign(width, 0.0);
    int64_t unflagged = 0;
    double chanMedian = std::numeric_limits<double>::quiet_NaN();
    for (size_t k = 0; k < width; ++k) {
        unflagged += s.chanCells[k];
        if (s.chanCells[k] == 0)
            continue;
        // The band is smooth: the last channel's median moved on by the mean slope over the four
        // channels before it is the guess (a steadier one than the slope between two channels).
        const double guess = k >= 5 && s.chanCells[k - 1] > 0 && s.chanCells[k - 5] > 0
            ? s.chanMedian[k - 1] + 0.25 * (s.chanMedian[k - 1] - s.chanMedian[k - 5])
            : chanMedian;
        chanMedian = s.chanMedian[k] = s.channelMedian(cells + k * pitch, n, guess);
    }
    out.flaggedFraction = 1.0 - static_cast<double>(unflagged) / static_cast<double>(n * width);
    if (unflagged == 0)
        return out;

    // The residuals, from which the sample of every kSampleStride-th channel's sets the brackets.
    s.sample.clear();
    for (size_t k = 0; k < width; k += kSampleStride)
        for (size_t i = 0; i < n; ++i) {
            const auto r = static_cast<float>(cells[k * pitch + i] - s.chanMedian[k]);
            if (std::isfinite(r))
                s.sample.push_back(r);
        }
    s.residuals.start(s.sample.data(), s.sample.size(), n * width);
    for (size_t k = 0; k < width; ++k)
        if (s.chanCells[k] > 0)
            s.residuals.take(cells + k * pitch, n, s.chanMedian[k]);

    // Spread of the finite residuals: the rms about their mean and the robust sigma.
    const size_t finite = s.residuals.finite();
    if (finite > 1) {
        const double count = static_cast<double>(finite), sum = s.residuals.sum();
        out.rms = std::sqrt(std::max(0.0, s.residuals.squares() - sum * sum / count) / (count - 1.0));
    }
    if (finite > 0) {
        double centre = 0.0, deviation = 0.0;
        if (!s.residuals.finish(centre, deviation)) {
            s.values.clear();
            for (size_t k = 0; k < width; ++k)
                for (size_t i = 0; i < n; ++i)
                    if (std::isfinite(cells[k * pitch + i]))
                        s.values.push_back(cells[k * pitch + i]);
            centre = median(s.values);
            for (float& v : s.values)
                v = static_cast<float>(std::fabs(v - centre));
            deviation = median(s.values);
        }
        out.robustSigma = kMadToSigma * deviation;
    }
    if (!(out.robustSigma > 0.0))
        out.robustSigma = out.rms;
    const double sigma = out.robustSigma;
    const double limit = t.nsigma * sigma;

    // Outliers: beyond the limit, or not finite at all. A float |residual| is beyond the limit
    // exactly when it is beyond `bound`, the largest float not above it (or finite and not above
    // the largest float when there is no limit), so the test takes the values several at a time.
    // It finds the infinite ones too; unflagged values that are not numbers (seldom any) are
    // then counted from the records' flags.
    float bound = std::numeric_limits<float>::max();
    if (sigma > 0.0) {
        float below = static_cast<float>(limit);
        if (static_cast<double>(below) > limit)
            below = std::nextafter(below, -std::numeric_limits<float>::infinity());
        bound = std::min(bound, below);
    }
    s.chanOutliers.assign(width, 0);
    s.recOutliers.assign(n, 0);
    int64_t outliers = 0;
    int32_t peak = 0;  // the bits of the largest finite |residual|, which order as the values do
    for (size_t k = 0; k < width; ++k) {
        const int32_t count = countOutliers(cells + k * pitch, n, bound, s.recOutliers.data(), peak);
        s.chanOutliers[k] = count;
        outliers += count;
    }
    if (unflagged > static_cast<int64_t>(finite))
        for (size_t i = 0; i < n; ++i)
            for (size_t k = 0; k < width; ++k)
                if (std::isnan(cells[k * pitch + i]) && !flaggedCell(allVis[bl.vis[i]], static_cast<size_t>(c0) + k)) {
                    ++s.recOutliers[i];
                    ++s.chanOutliers[k];
                    ++outliers;
                }
    out.outlierFraction = static_cast<double>(outliers) / static_cast<double>(unflagged);
    out.peakSigma = sigma > 0.0 ? static_cast<double>(std::bit_cast<float>(peak)) / sigma : 0.0;

    for (size_t k = 0; k < width; ++k) {
        if (s.chanCells[k] == 0)
            continue;
        bool bad = static_cast<double>(s.chanOutliers[k]) > t.chanFraction * static_cast<double>(s.chanCells[k]);
        // A channel whose median stands out from the smooth band: a transmitter present all
        // the time, which the per-channel median takes out of the residuals.
        if (!bad && sigma > 0.0 && std::isfinite(s.chanMedian[k]))
            bad = standsOut(s, static_cast<int32_t>(k), limit, t.nsigma, s.predictions);
        if (bad)
            out.badChannels.push_back(c0 + static_cast<int32_t>(k));
    }
    s.badRecord.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
        if (s.recCells[i] == 0 ||
            !(static_cast<double>(s.recOutliers[i]) > t.intFraction * static_cast<double>(s.recCells[i])))
            continue;
        s.badRecord[i] = 1;
        const int32_t when = timeIndex[bl.vis[i]];
        if (out.badIntegrations.empty() || out.badIntegrations.back() != when)
            out.badIntegrations.push_back(when);
    }

    // The score counts the bad channels and integrations once each, and the outliers that lie
    // outside them as a fraction of the cells outside them: a fault shared by every baseline
    // adds the same to each, while a baseline that misbehaves everywhere stands out.
    int64_t cleanOutliers = outliers, cleanCells = unflagged;
    for (int32_t c : out.badChannels) {
        cleanOutliers -= s.chanOutliers[c - c0];
        cleanCells -= s.chanCells[c - c0];
    }
    for (size_t i = 0; i < n; ++i) {
        if (!s.badRecord[i])
            continue;
        cleanOutliers -= s.recOutliers[i];
        cleanCells -= s.recCells[i];
        // Cells in both a bad channel and a bad record were taken off twice.
        for (int32_t c : out.badChannels) {
            const size_t k = static_cast<size_t>(c - c0);
            if (flaggedCell(allVis[bl.vis[i]], static_cast<size_t>(c)))
                continue;
            ++cleanCells;
            const double r = std::fabs(cells[k * pitch + i]);
            cleanOutliers += !std::isfinite(r) || (sigma > 0.0 && r > limit);
        }
    }
    const double cleanFraction =
        cleanCells > 0 ? static_cast<double>(cleanOutliers) / static_cast<double>(cleanCells) : 0.0;
    out.score = cleanFraction / t.outlierLimit + static_cast<double>(out.badChannels.size()) +
        static_cast<double>(out.badIntegrations.size());
    return out;
}

// What the baselines add up per channel surveyed and per integration: the baselines with data
// there, and the unflagged cells and the outliers among them.
struct Tally {
    std::vector<int32_t> chanSeen, intSeen;
    std::vector<int64_t> chanCells, chanOutliers, intCells, intOutliers;

    Tally(size_t width, size_t integrations)
        : chanSeen(width, 0), intSeen(integrations, 0), chanCells(width, 0), chanOutliers(width, 0),
          intCells(integrations, 0), intOutliers(integrations, 0)
    {}

    // Adds in baseline `bl`, just surveyed as `one` with `s`.
    void add(const BaselineSurvey& one, const Baseline& bl, const std::vector<int32_t>& timeIndex, const Scratch& s)
    {
        const size_t width = chanSeen.size();
        for (size_t k = 0; k < s.chanCells.size() && k < width; ++k)
            chanSeen[k] += one.records > 0 && s.chanCells[k] > 0;
        int32_t previous = -1;
        for (int32_t index : bl.vis) {
            if (timeIndex[index] != previous)
                ++intSeen[timeIndex[index]];
            previous = timeIndex[index];
        }
        for (size_t k = 0; k < s.chanOutliers.size() && k < width; ++k) {
            chanCells[k] += s.chanCells[k];
            chanOutliers[k] += s.chanOutliers[k];
        }
        for (size_t i = 0; !s.chanOutliers.empty() && i < bl.vis.size(); ++i) {
            intCells[timeIndex[bl.vis[i]]] += s.recCells[i];
            intOutliers[timeIndex[bl.vis[i]]] += s.recOutliers[i];
        }
    }

    // Adds in another thread's tallies.
    void add(const Tally& o)
    {
        auto sum = [](auto& into, const auto& from) {
            for (size_t k = 0; k < into.size(); ++k)
                into[k] += from[k];
        };
        sum(chanSeen, o.chanSeen);
        sum(intSeen, o.intSeen);
        sum(chanCells, o.chanCells);
        sum(chanOutliers, o.chanOutliers);
        sum(intCells, o.intCells);
        sum(intOutliers, o.intOutliers);
    }
};

// A baseline noisier than is typical adds to its score how many times more: the robust sigma
// over the median of those of its source's baselines of the same kind (cross- or
// auto-correlations), less one. An antenna that adds noise or erratic gains shows up this way
// even where its residuals hold no outliers.
void addNoiseExcess(std::vector<BaselineSurvey>& baselines)
{
    std::map<std::pair<std::string, bool>, std::vector<double>> sigmas;
    for (const BaselineSurvey& one : baselines)
        if (one.robustSigma > 0.0 && std::isfinite(one.robustSigma))
            sigmas[{one.source, one.ant1 == one.ant2}].push_back(one.robustSigma);
    std::map<std::pair<std::string, bool>, double> typical;
    for (auto& [kind, values] : sigmas)
        typical[kind] = median(values);
    for (BaselineSurvey& one : baselines) {
        const auto it = typical.find({one.source, one.ant1 == one.ant2});
        if (it != typical.end() && one.robustSigma > it->second && std::isfinite(one.robustSigma))
            one.score += one.robustSigma / it->second - 1.0;
    }
}

}  // namespace

Survey survey(const Observation& obs, const SurveyThresholds& t)
{
    Survey result;
    const std::vector<Visibility>& allVis = obs.allVis;

    // Records are in time order: each one's position among the distinct times.
    std::vector<int32_t> timeIndex(allVis.size());
    int32_t when = -1;
    for (size_t r = 0; r < allVis.size(); ++r) {
        if (r == 0 || allVis[r].time != allVis[r - 1].time)
            ++when;
        timeIndex[r] = when;
    }
    result.integrations = when + 1;

    int32_t nchan = 0;
    for (const auto& [name, source] : obs.sources)
        for (const auto& [key, bl] : source.baselines)
            nchan = std::max<int32_t>(nchan, static_cast<int32_t>(bl.nchan));
    result.bchan = std::max<int32_t>(t.bchan, 0);
    result.echan = t.echan < 0 || t.echan >= nchan ? nchan - 1 : t.echan;

    // The baselines are surveyed on every core, each taking the next one not yet taken; each
    // thread adds up its own tallies, whose sums do not depend on which thread took what.
    struct Job {
        const std::string* source;
        int32_t key;
        const Baseline* bl;
    };
    std::vector<Job> jobs;
    size_t cells = 0;
    for (const auto& [name, source] : obs.sources)
        for (const auto& [key, bl] : source.baselines) {
            jobs.push_back({&name, key, &bl});
            cells += bl.vis.size() * bl.nchan;
        }
    const auto width = static_cast<size_t>(std::max(0, result.echan - result.bchan + 1));
    const auto parts = static_cast<unsigned>(std::clamp<size_t>(jobs.size(), 1, partsFor(cells)));
    std::vector<Tally> tallies(parts, Tally(width, static_cast<size_t>(result.integrations)));
    result.baselines.resize(jobs.size());
    std::atomic<size_t> next{0};
    inParts(parts, parts, [&](unsigned part, size_t, size_t) {
        Scratch scratch;
        Tally& tally = tallies[part];
        for (size_t j = next++; j < jobs.size(); j = next++) {
            const Baseline& bl = *jobs[j].bl;
            BaselineSurvey& one = result.baselines[j];
            one = surveyBaseline(allVis, bl, timeIndex, t, result.bchan, result.echan, scratch);
            one.source = *jobs[j].source;
            one.key = jobs[j].key;
            tally.add(one, bl, timeIndex, scratch);
            // The channel counts of an empty baseline must not carry over to the next one.
            scratch.chanCells.clear();
        }
    });
    Tally& all = tallies[0];
    for (size_t p = 1; p < tallies.size(); ++p)
        all.add(tallies[p]);
    // Per channel and integration: the baselines that find it bad.
    std::vector<int32_t> chanBad(width, 0), intBad(all.intSeen.size(), 0);
    for (const BaselineSurvey& one : result.baselines) {
        for (int32_t c : one.badChannels)
            ++chanBad[c - result.bchan];
        for (int32_t i : one.badIntegrations)
            ++intBad[i];
    }
    for (size_t k = 0; k < width; ++k)
        if (2 * chanBad[k] > all.chanSeen[k] && chanBad[k] > 0)
            result.badChannels.push_back(result.bchan + static_cast<int32_t>(k));
    for (size_t i = 0; i < intBad.size(); ++i)
        if (2 * intBad[i] > all.intSeen[i] && intBad[i] > 0)
            result.badIntegrations.push_back(static_cast<int32_t>(i));

    auto fractions = [](const std::vector<int64_t>& outliers, const std::vector<int64_t>& cells) {
        std::vector<double> f(cells.size(), 0.0);
        for (size_t k = 0; k < cells.size(); ++k)
            f[k] = cells[k] > 0 ? static_cast<double>(outliers[k]) / static_cast<double>(cells[k]) : 0.0;
        return f;
    };
    result.channelOutliers = fractions(all.chanOutliers, all.chanCells);
    result.integrationOutliers = fractions(all.intOutliers, all.intCells);

    addNoiseExcess(result.baselines);
    std::sort(result.baselines.begin(), result.baselines.end(), [](const BaselineSurvey& a, const BaselineSurvey& b) {
        if (a.score != b.score)
            return a.score > b.score;
        if (a.source != b.source)
            return a.source < b.source;
        return a.key < b.key;
    });

    std::map<int32_t, std::vector<double>> byAntenna;
    for (const BaselineSurvey& one : result.baselines) {
        byAntenna[one.ant1].push_back(one.score);
        if (one.ant2 != one.ant1)
            byAntenna[one.ant2].push_back(one.score);
    }
    for (auto& [antenna, scores] : byAntenna) {
        AntennaSurvey a;
        a.antenna = antenna;
        a.baselines = static_cast<int32_t>(scores.size());
        a.score = median(scores);
        result.antennas.push_back(a);
    }
    std::stable_sort(result.antennas.begin(), result.antennas.end(),
                     [](const AntennaSurvey& a, const AntennaSurvey& b) { return a.score > b.score; });
    return result;
}
