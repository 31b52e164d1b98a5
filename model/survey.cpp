// The survey of an observation: one pass per baseline over its records computes the residuals
// of the amplitudes after the per-record and per-channel medians (as the view subtracts them),
// their robust spread, the outliers, and the bad channels and integrations; then the scores,
// the ranks and the antenna and observation-wide summaries.
#include "model/survey.h"

#include "model/util.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <map>
#include <utility>

namespace {

// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.482602218505602;
// Each channel's median is compared with what this many neighbours on either side predict.
constexpr int32_t kNeighbours = 6;

// Records are taken this many at a time, so that their channels go to the channel-major cells
// in runs rather than one value per channel and record.
constexpr size_t kBlock = 16;
// Medians of lists shorter than this are found by ordering them at once.
constexpr size_t kShortest = 32;

// Asks for channels [from, from + count) of a record to be brought into the cache.
void fetchAhead(const Visibility& rec, size_t from, size_t count)
{
    if (from >= rec.nchan)
        return;
    count = std::min<size_t>(count, rec.nchan - from);
    const char* values = rec.ampOnly ? reinterpret_cast<const char*>(rec.amp.data() + from)
                                     : reinterpret_cast<const char*>(rec.data.data() + from);
    const size_t bytes = count * (rec.ampOnly ? sizeof(float) : sizeof(std::complex<float>));
    for (size_t b = 0; b < bytes; b += 64)
        __builtin_prefetch(values + b);
    __builtin_prefetch(rec.flags.data() + from);
}

// The float whose order key is `key` (the inverse of orderKey, +0 for the key both zeros share).
float keyValue(uint32_t key)
{
    return std::bit_cast<float>((key & 0x80000000u) != 0 ? key & 0x7fffffffu : ~key);
}

// Exact medians of long lists through a histogram of the top 16 bits of the values' order keys:
// the values are counted as they are made, then one pass gathers the few in the buckets that
// hold the middle ranks, and only those are ordered. The result equals what `median` gives.
class KeyMedian {
public:
    void clear() { counts_.assign(kBuckets, 0); }
    // Counts x once when `use` is 1, not at all when it is 0.
    void count(float x, uint32_t use = 1) { counts_[orderKey(x) >> 16] += use; }
    // The median of f(a[i]) over i < n: the n values counted since clear() (none NaN).
    template <typename F>
    double operator()(const float* a, size_t n, F f)
    {
        findMiddle(n);
        middle_.resize(n);
        size_t m = 0;
        for (size_t i = 0; i < n; ++i) {
            const float x = f(a[i]);
            middle_[m] = x;
            m += inMiddle(x);
        }
        return medianOfMiddle(n, m);
    }

    // The same in steps: findMiddle once the n values are counted; then inMiddle(x) is 1 for each
    // value that a pass must put into middle() (m of them); then medianOfMiddle.
    void findMiddle(size_t n) { buckets_ = middleBuckets(counts_.data(), n); }
    uint32_t inMiddle(float x) const { return buckets_.holds(x); }
    std::vector<float>& middle() { return middle_; }
    double medianOfMiddle(size_t n, size_t m) { return ::medianOfMiddle(middle_.data(), m, n, buckets_); }
    // The least and the largest value the middle buckets can hold.
    float middleLeast() const { return keyValue(buckets_.first << 16); }
    float middleMost() const { return keyValue(buckets_.last << 16 | 0xffffu); }

    // Roughly the median distance of the n counted values from `centre`: that of the buckets'
    // least values, each weighted by its count, found by walking out from the centre's bucket
    // to whichever side's next bucket lies nearer.
    double distanceEstimate(double centre, size_t n) const
    {
        auto distance = [centre](uint32_t b) { return std::fabs(keyValue(b << 16) - centre); };
        int64_t down = orderKey(static_cast<float>(centre)) >> 16, up = down + 1;
        size_t through = 0;
        while (down >= 0 || up < int64_t(kBuckets)) {
            const bool takeDown =
                up >= int64_t(kBuckets) || (down >= 0 && distance(uint32_t(down)) <= distance(uint32_t(up)));
            const uint32_t b = uint32_t(takeDown ? down-- : up++);
            if ((through += counts_[b]) > n / 2)
                return distance(b);
        }
        return 0.0;
    }

private:
    static constexpr uint32_t kBuckets = uint32_t(1) << 16;
    std::vector<uint32_t> counts_;
    std::vector<float> middle_;
    MiddleBuckets buckets_;
};

// The median of the finite values at a[0, n) and their median absolute deviation about it,
// given `centre` (a KeyMedian that counted them) and a KeyMedian to use for the deviations.
// Values are many: one pass gathers both the values in the middle buckets and those whose
// distance from the middle buckets lies near an estimate of the deviations' median; the median
// from the first, the deviations of the second are then counted exactly. When the estimate
// missed, two more passes count and gather the deviations as for any median.
void medianAndDeviation(const float* a, size_t n, KeyMedian& centre, KeyMedian& deviations, std::vector<float>& near,
                        double& median, double& deviation)
{
    centre.findMiddle(n);
    const float least = centre.middleLeast(), most = centre.middleMost();
    const double middle = 0.5 * (static_cast<double>(least) + most);
    const double spread = static_cast<double>(most) - least;
    const double estimate = centre.distanceEstimate(middle, n);
    // The deviations' median is sought in [lo, hi]; a value surely lies below it when its
    // distance from `middle` is under sureBelow, surely above when over sureAbove.
    const double reach = (std::fabs(middle) + estimate) / 64.0;
    const auto lo = static_cast<float>(std::max(0.0, estimate - reach)), hi = static_cast<float>(estimate + reach);
    const double margin = spread + 1e-6 * (static_cast<double>(hi) + std::fabs(middle));
    const double sureBelow = lo - margin, sureAbove = hi + margin;
    bool found = std::isfinite(least) && std::isfinite(most) && std::isfinite(sureAbove);
    std::vector<float>& middleValues = centre.middle();
    middleValues.resize(n);
    near.resize(n);
    size_t m = 0, k = 0, surelyBelow = 0;
    if (found)
        for (size_t i = 0; i < n; ++i) {
            const float x = a[i];
            middleValues[m] = x;
            m += centre.inMiddle(x);
            const double d = std::fabs(x - middle);
            surelyBelow += d < sureBelow;
            near[k] = x;
            k += (d >= sureBelow) & (d <= sureAbove);
        }
    else
        for (size_t i = 0; i < n; ++i) {
            middleValues[m] = a[i];
            m += centre.inMiddle(a[i]);
        }
    median = centre.medianOfMiddle(n, m);
    auto distance = [median](float x) { return static_cast<float>(std::fabs(x - median)); };
    if (found) {
        size_t below = surelyBelow, inside = 0;
        for (size_t j = 0; j < k; ++j) {
            const float d = distance(near[j]);
            below += d < lo;
            near[inside] = d;
            inside += (d >= lo) & (d <= hi);
        }
        const size_t upper = n / 2, lower = n % 2 ? upper : upper - 1;
        found = below <= lower && below + inside > upper;
        if (found) {
            const auto at = near.begin() + static_cast<std::ptrdiff_t>(upper - below);
            std::nth_element(near.begin(), at, near.begin() + static_cast<std::ptrdiff_t>(inside));
            deviation = n % 2 ? *at : (static_cast<double>(*std::max_element(near.begin(), at)) + *at) * 0.5;
            return;
        }
    }
    deviations.clear();
    for (size_t i = 0; i < n; ++i)
        deviations.count(distance(a[i]));
    deviation = deviations(a, n, distance);
}

// The values at ranks `at` and at - 1 (the least float when at is 0) of a[0, m) (no NaN),
// which are reordered. A list of more than a few values is first counted into as many buckets
// of equal width as it has values, and only the buckets that hold those two ranks are ordered.
std::pair<float, float> rankAndBefore(float* a, size_t m, size_t at, std::vector<uint32_t>& counts,
                                      std::vector<float>& gathered)
{
    const float lowest = -std::numeric_limits<float>::infinity();
    float least = a[0], most = a[0];
    for (size_t i = 0; i < m; ++i) {
        least = std::min(least, a[i]);
        most = std::max(most, a[i]);
    }
    const float span = most - least;
    if (m > 32 && span > 0.0f && span <= std::numeric_limits<float>::max()) {
        const float scale = static_cast<float>(m) / span;
        auto bucket = [least, scale, m](float x) { return std::min(static_cast<size_t>((x - least) * scale), m - 1); };
        counts.assign(m, 0);
        for (size_t i = 0; i < m; ++i)
            ++counts[bucket(a[i])];
        const size_t from = at > 0 ? at - 1 : 0;
        size_t below = 0, first = 0;
        while (below + counts[first] <= from)
            below += counts[first++];
        size_t last = first, through = below + counts[first];
        while (through <= at)
            through += counts[++last];
        gathered.resize(through - below + 1);
        size_t g = 0;
        for (size_t i = 0; i < m; ++i) {
            gathered[g] = a[i];
            g += bucket(a[i]) - first <= last - first;
        }
        a = gathered.data();
        m = g;
        at -= below;
    }
    std::nth_element(a, a + at, a + m);
    return {a[at], at > 0 ? *std::max_element(a, a + at) : lowest};
}

// Exact medians that start from a guess, for runs of similar lists (the records of a baseline,
// its neighbouring channels): one pass parts the values into those below a bracket around the
// guess, those inside it and those above it, and only the part that holds the middle is
// ordered, mostly the few inside. The bracket's half-width follows how the last calls went.
// Short lists are ordered at once. NaN values are left out and the result equals what `median`
// gives.
class NearMedian {
public:
    // Lists shorter than `shortest` are ordered at once.
    explicit NearMedian(size_t shortest) : shortest_(shortest) {}

    // Median of a[i] over the i < n with no mask or mask[i] == 0.
    double operator()(const float* a, size_t n, double guess, const uint8_t* mask = nullptr)
    {
        if (n < shortest_ || !(width_ > 0.0 && std::isfinite(width_) && std::isfinite(guess))) {
            all_.clear();
            float least = std::numeric_limits<float>::infinity(), most = -least;
            for (size_t i = 0; i < n; ++i)
                if (mask == nullptr || mask[i] == 0) {
                    all_.push_back(a[i]);
                    least = std::min(least, a[i]);
                    most = std::max(most, a[i]);
                }
            if (n >= shortest_ && !(width_ > 0.0 && std::isfinite(width_)))
                width_ = (static_cast<double>(most) - least) / 64.0;
            return median(all_);
        }
        const auto lo = static_cast<float>(guess - width_), hi = static_cast<float>(guess + width_);
        for (std::vector<float>* part : {&below_, &inside_, &above_})
            part->resize(n);
        size_t nb = 0, ni = 0, na = 0;
        for (size_t i = 0; i < n; ++i) {
            const float x = a[i];
            const bool use = mask == nullptr || mask[i] == 0;
            below_[nb] = x;
            inside_[ni] = x;
            above_[na] = x;
            nb += use & (x < lo);
            ni += use & (x >= lo) & (x <= hi);
            na += use & (x > hi);
        }
        const size_t count = nb + ni + na;
        if (count == 0)
            return 0.0;
        const size_t upper = count / 2;
        // The bracket narrows a little after each hit and widens after a miss, which settles
        // where about one call in twenty misses.
        width_ *= upper < nb || upper >= nb + ni ? 2.0 : 0.964;
        // The part that holds rank `upper`, and the ranks before it.
        float* part = below_.data();
        size_t size = nb, before = 0;
        if (upper >= nb + ni) {
            part = above_.data();
            size = na;
            before = nb + ni;
        } else if (upper >= nb) {
            part = inside_.data();
            size = ni;
            before = nb;
        }
        const auto [value, previous] = rankAndBefore(part, size, upper - before, counts_, gathered_);
        if (count % 2 == 1)
            return value;
        // The lower middle value: in the same part, or the largest of the one before.
        float lower = previous;
        if (upper == before && part == above_.data() && ni > 0)
            lower = *std::max_element(inside_.data(), inside_.data() + ni);
        else if (upper == before)
            lower = *std::max_element(below_.data(), below_.data() + nb);
        return (static_cast<double>(lower) + value) * 0.5;
    }

private:
    size_t shortest_;
    double width_ = 0.0;  // 0: no bracket yet
    std::vector<float> below_, inside_, above_, all_, gathered_;
    std::vector<uint32_t> counts_;
};

// Working space reused from one baseline to the next.
struct Scratch {
    // Channel-major (channel k of record i at k * records + i): the amplitude less the
    // record's median, then the residual; and whether the cell is flagged.
    std::vector<float> cells;
    std::vector<uint8_t> mask;
    // A block of records, record-major: the amplitudes less the record's median, and the flags.
    std::vector<float> rows;
    std::vector<uint8_t> rowFlags;
    std::vector<float> values;  // a record's amplitudes, a channel's values, every finite residual
    std::vector<double> chanMedian;
    std::vector<int64_t> chanCells, chanOutliers;
    std::vector<int32_t> recCells, recOutliers;
    std::vector<uint8_t> badRecord;
    std::vector<double> predictions;
    NearMedian recordMedian{kShortest}, channelMedian{kShortest};
    KeyMedian centreMedian, deviationMedian;
    std::vector<float> near;
};

// What the neighbours of channel k predict for its median: midpoints of pairs on either side
// and, where one side is missing, straight-line extrapolations from the other; `prediction` is
// their median and `spread` their robust sigma, which grows where the band curves too fast for
// straight lines (at its edges). False when no neighbour has data.
bool predictFromNeighbours(const Scratch& s, int32_t k, std::vector<double>& predictions, double& prediction,
                           double& spread)
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
    prediction = median(predictions);
    for (double& p : predictions)
        p = std::fabs(p - prediction);
    spread = kMadToSigma * median(predictions);
    return true;
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
    // block of records at a time. The rows of the block are a little longer than the band so
    // that a channel's values in them do not all fall in one set of the cache.
    s.cells.resize(n * width);
    s.mask.resize(n * width);
    const size_t stride = width + 16;
    s.rows.resize(kBlock * stride);
    s.rowFlags.resize(kBlock * stride);
    double recMedian = std::numeric_limits<double>::quiet_NaN();
    for (size_t i0 = 0; i0 < n; i0 += kBlock) {
        const size_t block = std::min(kBlock, n - i0);
        for (size_t g = 0; g < block; ++g) {
            const Visibility& rec = allVis[bl.vis[i0 + g]];
            const uint32_t nch = rec.nchan;
            s.values.resize(nch);
            rec.rawAmps(s.values.data(), nch);
            recMedian = s.recordMedian(s.values.data(), nch, recMedian);
            const size_t have = nch > static_cast<uint32_t>(c0) ? std::min<size_t>(width, nch - c0) : 0;
            float* row = &s.rows[g * stride];
            uint8_t* flags = &s.rowFlags[g * stride];
            const float* amps = s.values.data() + c0;
            const uint8_t* recFlags = rec.flags.data() + c0;
            // The record after next is fetched from memory a line of flags and eight of values at
            // a time, while this one is copied.
            const Visibility* ahead = i0 + g + 2 < n ? &allVis[bl.vis[i0 + g + 2]] : nullptr;
            for (size_t k0 = 0; k0 < have; k0 += 64) {
                const size_t end = std::min(have, k0 + 64);
                for (size_t k = k0; k < end; ++k) {
                    row[k] = static_cast<float>(amps[k] - recMedian);
                    flags[k] = recFlags[k] != 0;
                }
                if (ahead != nullptr)
                    fetchAhead(*ahead, k0, 64);
            }
            std::fill(row + have, row + width, 0.0f);
            std::fill(flags + have, flags + width, uint8_t(1));
        }
        for (size_t k = 0; k < width; ++k) {
            float* cells = &s.cells[k * n + i0];
            uint8_t* mask = &s.mask[k * n + i0];
            for (size_t g = 0; g < block; ++g) {
                cells[g] = s.rows[g * stride + k];
                mask[g] = s.rowFlags[g * stride + k];
            }
        }
    }

    // Each channel's median over its unflagged records, then the residuals; the finite ones of
    // unflagged cells are also gathered into one list (each written, then kept or overwritten).
    s.chanMedian.assign(width, 0.0);
    s.chanCells.assign(width, 0);
    s.values.resize(n * width + 1);
    s.centreMedian.clear();
    int64_t unflagged = 0;
    size_t finite = 0;
    double sum = 0.0, squares = 0.0;
    double chanMedian = std::numeric_limits<double>::quiet_NaN();
    for (size_t k = 0; k < width; ++k) {
        float* column = &s.cells[k * n];
        const uint8_t* flags = &s.mask[k * n];
        int64_t cells = 0;
        for (size_t i = 0; i < n; ++i)
            cells += flags[i] == 0;
        s.chanCells[k] = cells;
        unflagged += cells;
        if (cells == 0)
            continue;
        // The band is smooth: the last channel's median moved on by the mean slope over the four
        // channels before it is the guess (a steadier one than the slope between two channels).
        const double guess = k >= 5 && s.chanCells[k - 1] > 0 && s.chanCells[k - 5] > 0
            ? s.chanMedian[k - 1] + 0.25 * (s.chanMedian[k - 1] - s.chanMedian[k - 5])
            : chanMedian;
        chanMedian = s.chanMedian[k] = s.channelMedian(column, n, guess, flags);
        for (size_t i = 0; i < n; ++i) {
            const auto r = static_cast<float>(column[i] - s.chanMedian[k]);
            column[i] = r;
            const bool keep = flags[i] == 0 && std::isfinite(r);
            s.values[finite] = r;
            s.centreMedian.count(r, keep);
            finite += keep;
            sum += keep ? r : 0.0f;
            squares += keep ? static_cast<double>(r) * r : 0.0;
        }
    }
    out.flaggedFraction = 1.0 - static_cast<double>(unflagged) / static_cast<double>(n * width);
    if (unflagged == 0)
        return out;

    // Spread of the finite residuals: the rms about their mean and the robust sigma.
    if (finite > 1) {
        const double count = static_cast<double>(finite);
        out.rms = std::sqrt(std::max(0.0, squares - sum * sum / count) / (count - 1.0));
    }
    if (finite > 0) {
        double centre = 0.0, deviation = 0.0;
        medianAndDeviation(s.values.data(), finite, s.centreMedian, s.deviationMedian, s.near, centre, deviation);
        out.robustSigma = kMadToSigma * deviation;
    }
    if (!(out.robustSigma > 0.0))
        out.robustSigma = out.rms;
    const double sigma = out.robustSigma;
    const double limit = t.nsigma * sigma;

    // Outliers: beyond the limit, or not finite at all. A float |residual| is beyond the limit
    // exactly when it is beyond `bound`, the largest float not above it (or finite and not above
    // the largest float when there is no limit), so the test takes the values several at a time.
    float bound = std::numeric_limits<float>::max();
    if (sigma > 0.0) {
        float below = static_cast<float>(limit);
        if (static_cast<double>(below) > limit)
            below = std::nextafter(below, -std::numeric_limits<float>::infinity());
        bound = std::min(bound, below);
    }
    s.chanOutliers.assign(width, 0);
    s.recCells.assign(n, 0);
    s.recOutliers.assign(n, 0);
    int64_t outliers = 0;
    int32_t peak = 0;  // the bits of the largest finite |residual|, which order as the values do
    for (size_t k = 0; k < width; ++k) {
        const float* column = &s.cells[k * n];
        const uint8_t* flags = &s.mask[k * n];
        int32_t* recCells = s.recCells.data();
        int32_t* recOutliers = s.recOutliers.data();
        int32_t count = 0;
        for (size_t i = 0; i < n; ++i) {
            const int32_t use = flags[i] == 0;
            const float r = std::fabs(column[i]);
            const int32_t outlier = use & !(r <= bound);
            recCells[i] += use;
            recOutliers[i] += outlier;
            count += outlier;
            peak = std::max(peak, use & (r <= std::numeric_limits<float>::max()) ? std::bit_cast<int32_t>(r) : 0);
        }
        s.chanOutliers[k] = count;
        outliers += count;
    }
    out.outlierFraction = static_cast<double>(outliers) / static_cast<double>(unflagged);
    out.peakSigma = sigma > 0.0 ? static_cast<double>(std::bit_cast<float>(peak)) / sigma : 0.0;

    for (size_t k = 0; k < width; ++k) {
        if (s.chanCells[k] == 0)
            continue;
        bool bad = static_cast<double>(s.chanOutliers[k]) > t.chanFraction * static_cast<double>(s.chanCells[k]);
        // A channel whose median stands out from the smooth band: a transmitter present all
        // the time, which the per-channel median takes out of the residuals.
        double prediction = 0.0, spread = 0.0;
        if (!bad && sigma > 0.0 && std::isfinite(s.chanMedian[k]) &&
            predictFromNeighbours(s, static_cast<int32_t>(k), s.predictions, prediction, spread))
            bad = std::fabs(s.chanMedian[k] - prediction) > limit + t.nsigma * spread;
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
            if (s.mask[k * n + i])
                continue;
            ++cleanCells;
            const double r = std::fabs(s.cells[k * n + i]);
            cleanOutliers += !std::isfinite(r) || (sigma > 0.0 && r > limit);
        }
    }
    const double cleanFraction =
        cleanCells > 0 ? static_cast<double>(cleanOutliers) / static_cast<double>(cleanCells) : 0.0;
    out.score = cleanFraction / t.outlierLimit + static_cast<double>(out.badChannels.size()) +
        static_cast<double>(out.badIntegrations.size());
    return out;
}

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

    // Per channel and integration: baselines with data there, and those that find it bad.
    const auto width = static_cast<size_t>(std::max(0, result.echan - result.bchan + 1));
    std::vector<int32_t> chanSeen(width, 0), chanBad(width, 0);
    std::vector<int32_t> intSeen(static_cast<size_t>(result.integrations), 0), intBad(intSeen.size(), 0);
    std::vector<int64_t> chanCells(width, 0), chanOutliers(width, 0), intCells(intSeen.size(), 0),
        intOutliers(intSeen.size(), 0);

    Scratch scratch;
    for (const auto& [name, source] : obs.sources) {
        for (const auto& [key, bl] : source.baselines) {
            BaselineSurvey one = surveyBaseline(allVis, bl, timeIndex, t, result.bchan, result.echan, scratch);
            one.source = name;
            one.key = key;
            for (size_t k = 0; k < scratch.chanCells.size() && k < width; ++k)
                chanSeen[k] += one.records > 0 && scratch.chanCells[k] > 0;
            for (int32_t c : one.badChannels)
                ++chanBad[c - result.bchan];
            int32_t previous = -1;
            for (int32_t index : bl.vis) {
                if (timeIndex[index] != previous)
                    ++intSeen[timeIndex[index]];
                previous = timeIndex[index];
            }
            for (int32_t i : one.badIntegrations)
                ++intBad[i];
            for (size_t k = 0; k < scratch.chanOutliers.size() && k < width; ++k) {
                chanCells[k] += scratch.chanCells[k];
                chanOutliers[k] += scratch.chanOutliers[k];
            }
            for (size_t i = 0; !scratch.chanOutliers.empty() && i < bl.vis.size(); ++i) {
                intCells[timeIndex[bl.vis[i]]] += scratch.recCells[i];
                intOutliers[timeIndex[bl.vis[i]]] += scratch.recOutliers[i];
            }
            result.baselines.push_back(std::move(one));
            // The channel counts of an empty baseline must not carry over to the next one.
            scratch.chanCells.clear();
        }
    }
    for (size_t k = 0; k < width; ++k)
        if (2 * chanBad[k] > chanSeen[k] && chanBad[k] > 0)
            result.badChannels.push_back(result.bchan + static_cast<int32_t>(k));
    for (size_t i = 0; i < intSeen.size(); ++i)
        if (2 * intBad[i] > intSeen[i] && intBad[i] > 0)
            result.badIntegrations.push_back(static_cast<int32_t>(i));

    auto fractions = [](const std::vector<int64_t>& outliers, const std::vector<int64_t>& cells) {
        std::vector<double> f(cells.size(), 0.0);
        for (size_t k = 0; k < cells.size(); ++k)
            f[k] = cells[k] > 0 ? static_cast<double>(outliers[k]) / static_cast<double>(cells[k]) : 0.0;
        return f;
    };
    result.channelOutliers = fractions(chanOutliers, chanCells);
    result.integrationOutliers = fractions(intOutliers, intCells);

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
