// What the tests that listen to a recorded tone share.
#pragma once

#include <algorithm>
#include <vector>

namespace jack_rig {

// The median distance, in frames, between the rising zero crossings of a recording (0 when it
// has fewer than two): a period that a loaded machine broke moves one or two spacings, not it.
inline double median_period(const std::vector<float>& s) {
    std::vector<double> crossings, spacings;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i - 1] < 0.0f && s[i] >= 0.0f)
            crossings.push_back(double(i - 1) + s[i - 1] / (s[i - 1] - s[i]));
    for (std::size_t i = 1; i < crossings.size(); ++i)
        spacings.push_back(crossings[i] - crossings[i - 1]);
    if (spacings.empty()) return 0.0;
    std::nth_element(spacings.begin(), spacings.begin() + spacings.size() / 2, spacings.end());
    return spacings[spacings.size() / 2];
}

}  // namespace jack_rig
