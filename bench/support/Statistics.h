#pragma once

#include <algorithm>
#include <vector>

// The middle of the samples (the mean of the two middle ones for an even count); 0 for none.
inline double median(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    if (samples.size() % 2 == 1)
        return samples[middle];
    return (samples[middle - 1] + samples[middle]) / 2;
}

inline double minimum(const std::vector<double> &samples)
{
    return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end());
}

inline double maximum(const std::vector<double> &samples)
{
    return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
}
