// Baseline numbers: decoding into and encoding from antenna pairs.
#include "task/basant.h"

#include "dataset/bug.h"

#include <cmath>

extern "C" {

void basant(double baseline, int* ant1, int* ant2)
{
    // The largest valid number is 2048*2047 + 2047 + 65536; anything far beyond it (or not a
    // number at all) cannot be rounded into an integer safely and is no baseline.
    if (!(std::fabs(baseline) < 1e9))
        bug_c('f', "BASANT: possibly a bad baseline number!");
    long long b = static_cast<long long>(baseline < 0 ? baseline - 0.5 : baseline + 0.5);
    long long m = 256;
    if (b > 65536) {
        b -= 65536;
        m = 2048;
    }
    const long long a1 = b / m;
    const long long a2 = b - m * a1;
    if ((a1 > a2 ? a1 : a2) >= m)
        bug_c('f', "BASANT: possibly a bad baseline number!");
    if (a1 > a2)
        bug_c('f', "BASANT: a1>a2: Incorrectly formatted baseline number!");
    if (a1 < 1)
        bug_c('f', "BASANT: ant1 < 1: possibly a bad baseline number!");
    if (a2 < 1)
        bug_c('f', "BASANT: ant2 < 1: possibly a bad baseline number!");
    *ant1 = static_cast<int>(a1);
    *ant2 = static_cast<int>(a2);
}

double antbas(int ant1, int ant2)
{
    // Pairs outside 1 <= ant1 <= ant2 <= 2047 have no number that decodes back to them.
    if (ant1 > ant2 || ant1 < 1 || ant2 > 2047)
        bug_c('f', "Illegal baseline number in antbas");
    if (ant2 > 255)
        return 2048.0 * ant1 + ant2 + 65536.0;
    return 256.0 * ant1 + ant2;
}

}  // extern "C"
