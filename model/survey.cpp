// The survey of an observation: one pass per baseline over its records computes the residuals
// of the amplitudes after the per-record and per-channel medians (as the view subtracts them),
// their robust spread, the outliers, and the bad channels and integrations; then the scores,
// the ranks and the antenna and observation-wide summaries.
#include "model/survey.h"

#include "model/util.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace {

// The median absolute deviation of normal noise times this is its standard deviation.
constexpr double kMadToSigma = 1.482602218505602;
// Each channel's median is compared with what this many neighbours on either side predict.
constexpr int32_t kNeighbours = 6;

// Amplitude of channel c exactly as Visibility::Amp computes it.
float amplitude(const Visibility& rec, uint32_t c)
{
    if (rec.ampOnly)
        return rec.amp[c];
    const double re = rec.data[c].real();
    const double im = rec.data[c].imag();
    return static_cast<float>(std::sqrt(re * re + im * im));
}

// Working space reused from one baseline to the next.
struct Scratch {
    std::vector<float> cells;  // record x channel: amplitude less the record's median, then residual
    std::vector<float> values;  // a record's amplitudes, a channel's values, every residual
    std::vector<double> chanMedian;
    std::vector<int64_t> chanCells, chanOutliers;
    std::vector<int32_t> recCells, recOutliers;
    std::vector<uint8_t> badRecord;
    std::vector<double> predictions;
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
    for (size_t i = 0; i < n; ++i) {
        const Visibility& rec = allVis[bl.vis[i]];
        const uint32_t nch = rec.nchan;
        s.values.resize(nch);
        for (uint32_t c = 0; c < nch; ++c)
            s.values[c] = amplitude(rec, c);
        float* row = &s.cells[i * width];
        for (size_t k = 0; k < width; ++k) {
            const auto c = static_cast<uint32_t>(c0 + k);
            row[k] = c < nch ? s.values[c] : 0.0f;
        }
        const double recMedian = median(s.values);
        for (size_t k = 0; k < width; ++k)
            row[k] = static_cast<float>(row[k] - recMedian);
    }
    auto flagged = [&](size_t i, size_t k) {
        const Visibility& rec = allVis[bl.vis[i]];
        const size_t c = c0 + k;
        return c >= rec.nchan || rec.flags[c] != 0;
    };

    // Each channel's median over its unflagged records, then the residuals.
    s.chanMedian.assign(width, 0.0);
    s.chanCells.assign(width, 0);
    for (size_t k = 0; k < width; ++k) {
        s.values.clear();
        for (size_t i = 0; i < n; ++i)
            if (!flagged(i, k))
                s.values.push_back(s.cells[i * width + k]);
        s.chanCells[k] = static_cast<int64_t>(s.values.size());
        s.chanMedian[k] = median(s.values);
    }
    int64_t unflagged = 0;
    double sum = 0.0;
    s.values.clear();
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < width; ++k) {
            if (flagged(i, k))
                continue;
            ++unflagged;
            float& r = s.cells[i * width + k];
            r = static_cast<float>(r - s.chanMedian[k]);
            if (std::isfinite(r)) {
                s.values.push_back(r);
                sum += r;
            }
        }
    out.flaggedFraction = 1.0 - static_cast<double>(unflagged) / static_cast<double>(n * width);
    if (unflagged == 0)
        return out;

    // Spread of the finite residuals: the rms about their mean and the robust sigma.
    const size_t finite = s.values.size();
    if (finite > 1) {
        const double mean = sum / static_cast<double>(finite);
        double squares = 0.0;
        for (float r : s.values)
            squares += (r - mean) * (r - mean);
        out.rms = std::sqrt(squares / static_cast<double>(finite - 1));
    }
    if (finite > 0) {
        const double centre = median(s.values);
        for (float& r : s.values)
            r = static_cast<float>(std::fabs(r - centre));
        out.robustSigma = kMadToSigma * median(s.values);
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
    for (size_t i = 0; i < n; ++i)
        for (size_t k = 0; k < width; ++k) {
            if (flagged(i, k))
                continue;
            ++s.recCells[i];
            const double r = std::fabs(s.cells[i * width + k]);
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
            if (flagged(i, k))
                continue;
            ++cleanCells;
            const double r = std::fabs(s.cells[i * width + k]);
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
