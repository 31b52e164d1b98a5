// Statistics and text utilities shared by the model and the application: robust summary
// statistics (`stats`, `stat`), rounding and polarisation names (string splitting sits below,
// in params/params.h).
#pragma once

#include <cstdint>
#include <vector>

// Seven-number summary of a list of values; all zeros when the list is empty.
struct stats {
    double mad = 0.0;  // median of the absolute deviations from the median
    double median = 0.0;
    double mean = 0.0;
    double rms = 0.0;  // sample standard deviation about the mean (n - 1 denominator)
    double min = 0.0;
    double max = 0.0;
    int32_t count = 0;  // number of values
};

// Summary statistics of `values`. NaN values are removed from the vector and counted in no
// statistic. The vector is reordered; callers must not rely on its order afterwards.
stats stat(std::vector<double>& values);
// The same statistics of single-precision values (each widened to double, so the result
// equals stat of the widened list) without doubling the memory they take.
stats stat(std::vector<float>& values);

// stat(values).median alone; like stat it may reorder `values` (and drops NaN values).
double median(std::vector<double>& values);
double median(std::vector<float>& values);

// x rounded to the nearest integer, halves away from zero (2.5 -> 3, -2.5 -> -3); values
// beyond the range of int saturate and NaN gives 0.
int nint(double x);

// Lower-case name of a polarisation code -8 .. 4 ("yx" .. "v"); null for 0 and any other code.
const char* polName(int code);
