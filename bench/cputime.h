// Clocks for the benchmarks. Process CPU time is the steadier measure (the build machine is
// shared, so wall time partly measures the neighbours); wall time is what a user waits for work
// spread over several cores.
#pragma once

#include <ctime>

inline double secondsOn(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

inline double cpuSeconds()
{
    return secondsOn(CLOCK_PROCESS_CPUTIME_ID);
}

// Seconds on a steady clock: what a user waits, for work spread over several cores.
inline double wallSeconds()
{
    return secondsOn(CLOCK_MONOTONIC);
}
