// Console progress bar: "|####------|   51%" redrawn in place with backspaces.
#include "model/progress.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

// The bar step (0 .. width) that `value` falls in; 0 whenever the total gives no scale.
double stepOf(double value, int width, double total)
{
    if (!(total > 0) || width <= 0 || !std::isfinite(value))
        return 0;
    return std::trunc(value * width / total);
}

}  // namespace

// `last` starts one whole bar below zero, so the first update always lies in another step
// and draws the (possibly empty) bar at once.
Progress::Progress(double total, int width) : width(width), total(total), last(-total) {}

Progress::~Progress()
{
    std::cout << "Done!" << std::string(width > 0 ? width + 4 : 4, ' ') << std::endl;
}

void Progress::update(double value)
{
    const double oldStep = stepOf(last, width, total);
    const double newStep = stepOf(value, width, total);
    last = value;
    if (oldStep == newStep)
        return;

    const double f = value / total + 0.005;
    // The bar never grows past its width, whatever value it is given.
    const double filled = std::trunc(width * f);
    const int hashes = !(filled > 0) ? 0 : filled >= width ? width : static_cast<int>(filled);
    const double percent = std::trunc(100 * f);
    std::string line = "|";
    line.append(hashes, '#');
    line.append(width - hashes, '-');
    line += "|   ";
    line += std::to_string(static_cast<long long>(!(percent > 0) ? 0 : percent > 999 ? 999 : percent));
    line += '%';
    line.append(f > 0.995 ? width + 9 : width + 8, '\b');
    std::cout << line << std::flush;
}
