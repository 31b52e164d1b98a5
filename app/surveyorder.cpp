// The viewer's walk through the survey's rank order.
#include "app/surveyorder.h"

SurveyOrder surveyOrder;

void SurveyOrder::set(const Survey& survey)
{
    order_.clear();
    ranks_.clear();
    shown_ = 0;
    for (const BaselineSurvey& one : survey.baselines) {
        order_.emplace_back(one.source, one.key);
        ranks_[order_.back()] = order_.size();
    }
}

size_t SurveyOrder::rankOf(const std::string& source, int32_t key) const
{
    const auto it = ranks_.find({source, key});
    return it == ranks_.end() ? 0 : it->second;
}

const std::pair<std::string, int32_t>& SurveyOrder::next()
{
    const auto& shown = order_[shown_];
    shown_ = (shown_ + 1) % order_.size();
    return shown;
}
