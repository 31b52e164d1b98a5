// Tick placement for the axis box: round-numbered tick values over any world interval and
// labels with just enough digits to tell neighbouring ticks apart.
#pragma once

namespace kestrum::plot {

constexpr int kMaxTicks = 64;  // ticks per axis at most
constexpr int kTickLabelSize = 32;  // bytes per label including the NUL

struct TickSet {
    int count = 0;
    double values[kMaxTicks];
    char labels[kMaxTicks][kTickLabelSize];
};

// Fills `out` with ticks inside the closed interval between a and b (either order). A positive
// `step` that gives at most kMaxTicks ticks is used as it is; otherwise the step is a round number
// (1, 2 or 5 times a power of ten) giving three to seven intervals. An interval of zero width gets one
// tick at its value; a non-finite bound gives no ticks.
void chooseTicks(double a, double b, double step, TickSet& out);

}  // namespace kestrum::plot
