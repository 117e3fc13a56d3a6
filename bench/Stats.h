// Order statistics of a sample set, for the benchmark tables.
#pragma once

#include <algorithm>
#include <vector>

// Nearest-rank percentile (p in 0..100); 0 for an empty set.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(p / 100.0 * double(v.size()) + 0.999999);
    return v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
}
