// The bench's order statistics, and the one way it prints a set of per-pair ratios.
#pragma once
#include <stdio.h>

#include <algorithm>
#include <vector>

// The q-quantile (0 <= q <= 1), interpolated between the two nearest samples; q = 0.5 is the median.
inline double Quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    double pos = q * static_cast<double>(v.size() - 1);
    size_t i = static_cast<size_t>(pos);
    return i + 1 < v.size() ? v[i] + (pos - static_cast<double>(i)) * (v[i + 1] - v[i]) : v[i];
}

inline double Median(const std::vector<double>& v)
{
    return Quantile(v, 0.5);
}

// "  6.98x  6.71-7.20  6.10-7.93  11": the median of the ratios, their interquartile range, their
// extremes and their number; ratios under 1 with a third decimal.
inline void PrintRatios(const std::vector<double>& r)
{
    int d = Median(r) < 1 ? 3 : 2;
    printf("%8.*fx %5.*f-%-5.*f %5.*f-%-5.*f %3zu", d, Median(r), d, Quantile(r, 0.25), d, Quantile(r, 0.75), d,
           Quantile(r, 0), d, Quantile(r, 1), r.size());
}

// The header of the columns PrintRatios fills.
inline const char* RatioColumns()
{
    return "   median    q1-q3      min-max     n";
}
