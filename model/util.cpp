// Statistics and text utilities shared by the model and the application.
#include "model/util.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Median of `v` (non-empty, no NaN) by selection; reorders v.
double medianOf(std::vector<double>& v)
{
    const size_t n = v.size();
    const size_t upper = n / 2;
    std::nth_element(v.begin(), v.begin() + upper, v.end());
    if (n % 2 == 1)
        return v[upper];
    // After selection every element before `upper` is <= v[upper]; the largest of them is
    // the lower middle value.
    const double lower = *std::max_element(v.begin(), v.begin() + upper);
    return (lower + v[upper]) * 0.5;
}

}  // namespace

stats stat(std::vector<double>& values)
{
    stats s;
    // NaN has no place in an ordering: such values are left out of every statistic.
    values.erase(std::remove_if(values.begin(), values.end(), [](double x) { return std::isnan(x); }),
                 values.end());
    const size_t n = values.size();
    s.count = static_cast<int32_t>(n);
    if (n == 0)
        return s;

    s.median = medianOf(values);
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    s.min = *lo;
    s.max = *hi;
    if (n == 1) {
        s.mean = s.median;
        return s;
    }

    long double sum = 0.0L;
    for (double x : values)
        sum += x;
    s.mean = static_cast<double>(sum / static_cast<long double>(n));

    double squares = 0.0;
    for (double x : values)
        squares += (x - s.mean) * (x - s.mean);
    s.rms = std::sqrt(squares / static_cast<double>(n - 1));

    std::vector<double> deviations(n);
    for (size_t i = 0; i < n; ++i)
        deviations[i] = std::fabs(s.median - values[i]);
    s.mad = medianOf(deviations);
    return s;
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
    static const char* const names[] = {"yx", "xy", "yy", "xx", "lr", "rl", "ll", "rr",
                                        nullptr, "i", "q", "u", "v"};
    if (code < -8 || code > 4)
        return nullptr;
    return names[code + 8];
}

void split(std::string text, std::string delimiters, std::vector<std::string>& pieces)
{
    size_t start = 0;
    while (true) {
        const size_t pos = text.find_first_of(delimiters, start);
        if (pos == std::string::npos) {
            if (start < text.size())
                pieces.push_back(text.substr(start));
            return;
        }
        if (pos > start)
            pieces.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}
