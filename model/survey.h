// The survey: every baseline of every source scored and ranked by how far its amplitudes stray
// from noise around a smooth band once the per-record (tcal) and per-channel (SED) medians are
// taken off, with its bad channels and integrations; antennas ranked by their baselines' scores.
#pragma once

#include "model/observation.h"

#include <cstdint>
#include <string>
#include <vector>

struct SurveyThresholds {
    double nsigma = 5.0;  // a residual beyond nsigma robust sigmas is an outlier
    double chanFraction = 0.2;  // a channel with more outliers over time than this is bad
    double intFraction = 0.2;  // a record with more outliers across the band than this is bad
    double outlierLimit = 0.001;  // an outlier fraction that alone gives a score of 1
    int32_t bchan = 0;  // channels surveyed, zero-based and inclusive; echan < 0: the last
    int32_t echan = -1;
};

struct BaselineSurvey {
    std::string source;
    int32_t key = 0;  // the baseline's key in its source's map
    int32_t ant1 = 0, ant2 = 0;
    int64_t records = 0;
    double flaggedFraction = 0.0;  // of the channel x record cells
    double rms = 0.0;  // of the finite residuals
    double robustSigma = 0.0;  // 1.4826 x their median absolute deviation (the rms when that is 0)
    double outlierFraction = 0.0;  // of the unflagged cells
    double peakSigma = 0.0;  // largest finite |residual| in robust sigmas
    std::vector<int32_t> badChannels;  // zero-based channel numbers
    std::vector<int32_t> badIntegrations;  // positions among the observation's distinct times
    double score = 0.0;
};

struct AntennaSurvey {
    int32_t antenna = 0;
    int32_t baselines = 0;  // baselines (of every source) that include it
    double score = 0.0;  // median of their scores
};

struct Survey {
    std::vector<BaselineSurvey> baselines;  // rank order: highest score first
    std::vector<AntennaSurvey> antennas;  // rank order
    std::vector<int32_t> badChannels;  // bad on more than half the baselines with data there
    std::vector<int32_t> badIntegrations;  // bad on more than half the baselines with a record then
    int64_t integrations = 0;  // distinct times of the observation
    // Over every baseline: the fraction of the unflagged cells that are outliers, per channel
    // bchan..echan and per integration (0 where nothing unflagged was seen).
    std::vector<double> channelOutliers, integrationOutliers;
    int32_t bchan = 0, echan = -1;  // the channels surveyed
};

// Surveys every baseline of every source of `obs`. Reads the records only; the result depends
// on nothing but the records and the thresholds.
Survey survey(const Observation& obs, const SurveyThresholds& thresholds);
