// The survey of an observation: one pass per baseline over its records computes the residuals
// of the amplitudes after the per-record and per-channel medians (as the view subtracts them),
// their robust spread, the outliers, and the bad channels and integrations; then the scores,
// the ranks and the antenna and observation-wide summaries.
#include "model/survey.h"

#include "model/util.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <map>

namespace {

// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.482602218505602;
// Each channel's median is compared with what this many neighbours on either side predict.
constexpr int32_t kNeighbours = 6;

// Amplitude of a complex value exactly as Visibility::Amp computes it.
float magnitude(std::complex<float> v)
{
    const double re = v.real();
    const double im = v.imag();
    return static_cast<float>(std::sqrt(re * re + im * im));
}

// Exact medians that start from a guess, for runs of similar lists (the records of a baseline,
// its neighbouring channels, the residuals about their sample's median): one pass counts the
// values below a bracket around the guess and gathers those inside it; when the middle lies in
// the bracket only those few are ordered, otherwise all of them are. The bracket's half-width
// follows how the last calls went. Short lists are ordered at once. NaN values are left out and
// the result equals what `median` gives.
class NearMedian {
public:
    // Median of f(a[i]) over the i < n with no mask or mask[i] == 0; f maps each value (the
    // identity, or a distance).
    template <typename F>
    double operator()(const float* a, size_t n, double guess, F f, const uint8_t* mask = nullptr)
    {
        if (n >= kShortest && width_ > 0.0 && std::isfinite(width_) && std::isfinite(guess)) {
            const auto lo = static_cast<float>(guess - width_), hi = static_cast<float>(guess + width_);
            inside_.resize(n);
            size_t below = 0, m = 0, left = 0;
            for (size_t i = 0; i < n; ++i) {
                const float x = f(a[i]);
                const bool use = mask == nullptr || mask[i] == 0;
                below += use & (x < lo);
                left += !use | (x != x);
                inside_[m] = x;
                m += use & (x >= lo) & (x <= hi);
            }
            const size_t count = n - left;
            if (count == 0)
                return 0.0;
            const size_t upper = count / 2, lower = count % 2 ? upper : upper - 1;
            if (below <= lower && upper < below + m) {
                const auto middle = inside_.begin() + static_cast<std::ptrdiff_t>(upper - below);
                std::nth_element(inside_.begin(), middle, inside_.begin() + static_cast<std::ptrdiff_t>(m));
                double value = *middle;
                if (count % 2 == 0)
                    value = (static_cast<double>(*std::max_element(inside_.begin(), middle)) + value) * 0.5;
                if (m > n / 8)
                    width_ *= 0.5;
                return value;
            }
            width_ *= 4.0;
        }
        all_.clear();
        float least = std::numeric_limits<float>::infinity(), most = -least;
        for (size_t i = 0; i < n; ++i)
            if (mask == nullptr || mask[i] == 0) {
                all_.push_back(f(a[i]));
                least = std::min(least, all_.back());
                most = std::max(most, all_.back());
            }
        if (!(width_ > 0.0 && std::isfinite(width_)))
            width_ = (static_cast<double>(most) - least) / 64.0;
        return median(all_);
    }

private:
    static constexpr size_t kShortest = 512;  // shorter lists are ordered at once
    double width_ = 0.0;  // 0: no bracket yet
    std::vector<float> inside_, all_;
};

// Working space reused from one baseline to the next.
struct Scratch {
    // Channel-major (channel k of record i at k * records + i): the amplitude less the
    // record's median, then the residual; and whether the cell is flagged.
    std::vector<float> cells;
    std::vector<uint8_t> mask;
    std::vector<float> values;  // a record's amplitudes, a channel's values, every finite residual
    std::vector<float> sample;
    std::vector<double> chanMedian;
    std::vector<int64_t> chanCells, chanOutliers;
    std::vector<int32_t> recCells, recOutliers;
    std::vector<uint8_t> badRecord;
    std::vector<double> predictions;
    NearMedian recordMedian, channelMedian, centreMedian, deviationMedian;
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

    // The amplitudes less each record's median across all its channels (flagged ones too).
    s.cells.resize(n * width);
    s.mask.resize(n * width);
    double recMedian = std::numeric_limits<double>::quiet_NaN();
    for (size_t i = 0; i < n; ++i) {
        const Visibility& rec = allVis[bl.vis[i]];
        const uint32_t nch = rec.nchan;
        s.values.resize(nch);
        if (rec.ampOnly)
            std::copy_n(rec.amp.begin(), nch, s.values.begin());
        else
            for (uint32_t c = 0; c < nch; ++c)
                s.values[c] = magnitude(rec.data[c]);
        recMedian = s.recordMedian(s.values.data(), nch, recMedian, [](float x) { return x; });
        for (size_t k = 0; k < width; ++k) {
            const auto c = static_cast<uint32_t>(c0 + k);
            const bool have = c < nch;
            s.cells[k * n + i] = have ? static_cast<float>(s.values[c] - recMedian) : 0.0f;
            s.mask[k * n + i] = have ? rec.flags[c] != 0 : 1;
        }
    }

    // Each channel's median over its unflagged records, then the residuals; the finite ones of
    // unflagged cells are also gathered into one list (each written, then kept or overwritten).
    s.chanMedian.assign(width, 0.0);
    s.chanCells.assign(width, 0);
    s.values.resize(n * width + 1);
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
        // The band is smooth: the line through the last two channels' medians is the guess.
        const double guess = k >= 2 && s.chanCells[k - 1] > 0 && s.chanCells[k - 2] > 0
            ? 2.0 * s.chanMedian[k - 1] - s.chanMedian[k - 2]
            : chanMedian;
        chanMedian = s.chanMedian[k] = s.channelMedian(
            column, n, guess, [](float x) { return x; }, flags);
        for (size_t i = 0; i < n; ++i) {
            const auto r = static_cast<float>(column[i] - s.chanMedian[k]);
            column[i] = r;
            const bool keep = flags[i] == 0 && std::isfinite(r);
            s.values[finite] = r;
            finite += keep;
            sum += keep ? r : 0.0f;
            squares += keep ? static_cast<double>(r) * r : 0.0;
        }
    }
    out.flaggedFraction = 1.0 - static_cast<double>(unflagged) / static_cast<double>(n * width);
    if (unflagged == 0)
        return out;

    // Spread of the finite residuals: the rms about their mean and the robust sigma, whose two
    // medians start from those of every 16th residual.
    if (finite > 1) {
        const double count = static_cast<double>(finite);
        out.rms = std::sqrt(std::max(0.0, squares - sum * sum / count) / (count - 1.0));
    }
    if (finite > 0) {
        s.sample.clear();
        for (size_t j = 0; j < finite; j += 16)
            s.sample.push_back(s.values[j]);
        const double guess = median(s.sample);
        const double centre = s.centreMedian(s.values.data(), finite, guess, [](float x) { return x; });
        for (float& x : s.sample)
            x = static_cast<float>(std::fabs(x - centre));
        const double madGuess = median(s.sample);
        out.robustSigma = kMadToSigma * s.deviationMedian(s.values.data(), finite, madGuess, [centre](float x) {
            return static_cast<float>(std::fabs(x - centre));
        });
    }
    if (!(out.robustSigma > 0.0))
        out.robustSigma = out.rms;
    const double sigma = out.robustSigma;
    const double limit = t.nsigma * sigma;

    // Outliers: beyond the limit, or not finite at all.
    s.chanOutliers.assign(width, 0);
    s.recCells.assign(n, 0);
    s.recOutliers.assign(n, 0);
    int64_t outliers = 0;
    double peak = 0.0;
    for (size_t k = 0; k < width; ++k)
        for (size_t i = 0; i < n; ++i) {
            if (s.mask[k * n + i])
                continue;
            ++s.recCells[i];
            const double r = std::fabs(s.cells[k * n + i]);
            const bool outlier = !std::isfinite(r) || (sigma > 0.0 && r > limit);
            if (std::isfinite(r))
                peak = std::max(peak, r);
            if (outlier) {
                ++outliers;
                ++s.chanOutliers[k];
                ++s.recOutliers[i];
            }
        }
    out.outlierFraction = static_cast<double>(outliers) / static_cast<double>(unflagged);
    out.peakSigma = sigma > 0.0 ? peak / sigma : 0.0;

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
