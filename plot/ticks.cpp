// Tick placement: round steps, integer multiples of the step, labels in fixed or exponent form.
#include "plot/ticks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kestrum::plot {
namespace {

// The smallest of 1, 2 or 5 times a power of ten that is at least `least`.
double roundStep(double least)
{
    const double p = std::pow(10.0, std::floor(std::log10(least)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * p >= least * (1.0 - 1e-12))
            return m * p;
    return 10.0 * p;
}

// Number of decimals that write `step` exactly: the smallest d with step * 10^d integral
// (negative for steps of tens, hundreds, ...).
int stepDecimals(double step)
{
    int d = -static_cast<int>(std::floor(std::log10(step)));
    for (int tries = 0; tries < 17; ++tries, ++d) {
        const double scaled = step * std::pow(10.0, d);
        if (std::fabs(scaled - std::nearbyint(scaled)) <= 1e-6 * scaled)
            break;
    }
    return d;
}

long long tickCount(double lo, double hi, double step)
{
    const double first = std::ceil(lo / step - 1e-9);
    const double last = std::floor(hi / step + 1e-9);
    const double n = last - first + 1.0;
    return n > kMaxTicks ? kMaxTicks + 1 : static_cast<long long>(std::max(n, 0.0));
}

}  // namespace

void chooseTicks(double a, double b, double step, TickSet& out)
{
    out.count = 0;
    if (!std::isfinite(a) || !std::isfinite(b))
        return;
    const double lo = std::min(a, b), hi = std::max(a, b);
    const double span = hi - lo;
    // Zero width, or a width the doubles cannot split (a float window around a huge value).
    if (!(span > 0.0) || !std::isnormal(span) || span <= std::fabs(lo) * 1e-12) {
        out.count = 1;
        out.values[0] = lo;
        std::snprintf(out.labels[0], kTickLabelSize, "%.6g", lo);
        return;
    }
    if (!(step > 0.0) || !std::isfinite(step) || tickCount(lo, hi, step) > kMaxTicks)
        step = roundStep(span / 7.5);  // three to seven intervals
    while (tickCount(lo, hi, step) > kMaxTicks)
        step = roundStep(step * 1.5);

    const double first = std::ceil(lo / step - 1e-9);
    const long long n = tickCount(lo, hi, step);
    double maxAbs = 0.0;
    for (long long k = 0; k < n; ++k) {
        double v = (first + static_cast<double>(k)) * step;
        if (std::fabs(v) < step * 1e-9)
            v = 0.0;  // no "-0" from rounding
        out.values[out.count++] = v;
        maxAbs = std::max(maxAbs, std::fabs(v));
    }

    const int decimals = stepDecimals(step);
    const bool exponent = maxAbs >= 1e6 || (maxAbs > 0.0 && maxAbs < 1e-4);
    const int magnitude = maxAbs > 0.0 ? static_cast<int>(std::floor(std::log10(maxAbs))) : 0;
    const int precision = std::clamp(magnitude + decimals, 0, 15);
    for (int i = 0; i < out.count; ++i) {
        if (exponent)
            std::snprintf(out.labels[i], kTickLabelSize, "%.*e", precision, out.values[i]);
        else
            std::snprintf(out.labels[i], kTickLabelSize, "%.*f", std::max(decimals, 0), out.values[i]);
    }
}

}  // namespace kestrum::plot
