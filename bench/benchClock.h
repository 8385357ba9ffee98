// Time and medians shared by the whole-program benchmarks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <vector>

// CLOCK_MONOTONIC is one clock for every process of the machine, so a child can stamp a moment that its
// parent compares with its own.
inline std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline double medianOf(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
