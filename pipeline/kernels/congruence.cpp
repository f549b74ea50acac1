#include "pipeline/kernels/congruence.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/region_growing.h"

namespace ondrift {

namespace {

constexpr double kTwoPi = 6.283185307179586;

/// The median of the values (the lower middle one for an even count); reorders them.
template <typename T>
T median(std::vector<T>& values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

}  // namespace

bool makeCongruent(Dims d, std::span<const double> wrapped, std::span<double> estimate,
                   std::span<const unsigned char> inside, bool grow, CongruenceCounts& counts) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (wrapped.size() != n || estimate.size() != n || inside.size() != n) return false;
    counts = {};
    double sumSin = 0, sumCos = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (inside[v] == 0) continue;
        ++counts.inside;
        const double a = kTwoPi * (wrapped[v] - estimate[v]);
        sumSin += std::sin(a);
        sumCos += std::cos(a);
    }
    if (counts.inside == 0) return false;
    const double c = (sumSin != 0 || sumCos != 0) ? std::atan2(sumSin, sumCos) / kTwoPi : 0.0;
    counts.alignment = c;

    std::vector<double> cycles(n);
    for (std::size_t v = 0; v < n; ++v) {
        const double k = std::nearbyint(estimate[v] + c - wrapped[v]);
        cycles[v] = std::isfinite(k) ? k : 0.0;
    }
    if (grow) {
        std::vector<double> grown = cycles;
        std::vector<std::int32_t> part(n);
        counts.parts = growUnwrapped(d, wrapped, inside, grown, part);
        // Each part's level: the whole cycles that agree best with the rounded estimate.
        std::vector<std::vector<double>> offsets(static_cast<std::size_t>(counts.parts) + 1);
        for (std::size_t v = 0; v < n; ++v) {
            if (part[v] > 0)
                offsets[static_cast<std::size_t>(part[v])].push_back(cycles[v] - grown[v]);
        }
        std::vector<double> shift(offsets.size(), 0.0);
        for (std::size_t p = 1; p < offsets.size(); ++p) {
            if (!offsets[p].empty()) shift[p] = median(offsets[p]);
        }
        for (std::size_t v = 0; v < n; ++v) {
            if (part[v] <= 0) continue;
            const double k = grown[v] + shift[static_cast<std::size_t>(part[v])];
            if (k != cycles[v]) ++counts.changedCycle;
            cycles[v] = k;
        }
    }

    std::vector<double> phase;
    phase.reserve(counts.inside);
    for (std::size_t v = 0; v < n; ++v) {
        if (inside[v] != 0) phase.push_back(wrapped[v] + cycles[v]);
    }
    const double level = std::nearbyint(median(phase));
    counts.level = level;
    for (std::size_t v = 0; v < n; ++v) estimate[v] = wrapped[v] + (cycles[v] - level);
    return true;
}

}  // namespace ondrift
