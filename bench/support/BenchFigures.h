#pragma once

// Printing a benchmark's timings: median, 90th percentile and maximum, against a target.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace quillory::bench {

inline double millis(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

/// The value at fraction `p` (0 = smallest, 1 = largest) of `v`, which must not be empty.
inline double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

/// One line: `what`, the median, 90th percentile and maximum of `ms`, and whether the median meets
/// `target` (none when 0).
inline void report(const char* what, const std::vector<double>& ms, double target) {
    if (ms.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    const double median = percentile(ms, 0.5);
    std::printf("%-44s median %8.2f ms  p90 %8.2f ms  max %8.2f ms  (n=%zu)", what, median, percentile(ms, 0.9),
                percentile(ms, 1.0), ms.size());
    if (target > 0) {
        std::printf("  target <= %g ms: %s", target, median <= target ? "meets target" : "MISSES target");
    }
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace quillory::bench
