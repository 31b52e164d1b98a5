// The viewer's walk through the survey: the baselines of every source, worst first, and the
// rank of the one on show.
#pragma once

#include "model/survey.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class SurveyOrder {
public:
    // Takes the rank order of `survey`; the next call of next() gives its worst baseline.
    void set(const Survey& survey);
    // Rank (from 1) of baseline `key` of `source`; 0 when the survey does not hold it.
    size_t rankOf(const std::string& source, int32_t key) const;
    size_t size() const { return order_.size(); }
    // Source and baseline key of the baseline ranked after the one next() gave last (the worst
    // at first, and again after the last). The order must not be empty.
    const std::pair<std::string, int32_t>& next();

private:
    std::vector<std::pair<std::string, int32_t>> order_;
    std::map<std::pair<std::string, int32_t>, size_t> ranks_;
    size_t shown_ = 0;  // how many next() has given, modulo the size
};

// The viewer's survey order, filled after loading.
extern SurveyOrder surveyOrder;
