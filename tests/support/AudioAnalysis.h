#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace qm::test {

// The frequency of a tone, from the median spacing of its rising zero crossings (interpolated):
// a stretch lost or repeated on a busy machine moves a few spacings, not the median.
inline double estimateFrequency(const std::vector<float>& samples, double sampleRate) {
    std::vector<double> crossings;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double fraction = samples[i - 1] / (samples[i - 1] - samples[i]);
            crossings.push_back(static_cast<double>(i - 1) + fraction);
        }
    }
    if (crossings.size() < 2) return 0;
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i) periods.push_back(crossings[i] - crossings[i - 1]);
    std::nth_element(periods.begin(), periods.begin() + static_cast<std::ptrdiff_t>(periods.size() / 2), periods.end());
    return sampleRate / periods[periods.size() / 2];
}

// Whether every `chunk` samples of `samples` reach at least `minimumPeak` (the signal never drops out).
inline bool peaksEveryChunk(const std::vector<float>& samples, std::size_t chunk, float minimumPeak) {
    if (samples.size() < chunk) return false;
    for (std::size_t start = 0; start + chunk <= samples.size(); start += chunk) {
        float peak = 0;
        for (std::size_t i = start; i < start + chunk; ++i) peak = std::max(peak, std::fabs(samples[i]));
        if (peak < minimumPeak) return false;
    }
    return true;
}

}  // namespace qm::test
