#include "pipeline/kernels/congruence.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/kernels/region_growing.h"
#include "pipeline/kernels/whole_numbers.h"

namespace ondrift {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The constant between estimate and measurement needs no more than a few thousand voxels; every
// this many voxels of the mask is enough and saves a sine and a cosine per voxel.
constexpr std::size_t kAlignmentStride = 7;

/// The whole number nearest to the median of `values` (finite, at least one; the lower middle
/// one for an even count), through a histogram of the rounded values: linear in the count.
double medianCycle(const std::vector<double>& values) {
    std::vector<std::int32_t> whole(values.size());
    double lo = INFINITY, hi = -INFINITY;
    for (std::size_t s = 0; s < values.size(); ++s) {
        const double r = floorOf(values[s] + 0.5);
        lo = std::min(lo, r);
        hi = std::max(hi, r);
        whole[s] = static_cast<std::int32_t>(std::clamp(r, -2147483648.0, 2147483647.0));
    }
    if (!(hi - lo < 1e6)) {
        std::vector<double> copy = values;
        const auto mid = copy.begin() + static_cast<std::ptrdiff_t>((copy.size() - 1) / 2);
        std::nth_element(copy.begin(), mid, copy.end());
        return floorOf(*mid + 0.5);
    }
    // Within this span every rounded value is exact as a 32-bit integer.
    const auto base = static_cast<std::int32_t>(lo);
    std::vector<std::size_t> count(static_cast<std::size_t>(hi - lo) + 1, 0);
    for (const std::int32_t w : whole) ++count[static_cast<std::size_t>(w - base)];
    const std::size_t target = (values.size() - 1) / 2;
    std::size_t seen = 0;
    for (std::size_t b = 0; b < count.size(); ++b) {
        seen += count[b];
        if (seen > target) return lo + static_cast<double>(b);
    }
    return hi;
}

/// Shifts each grown part by the whole cycles that agree best with the rounded estimate (the
/// median of their differences). Returns the voxels whose cycle differs from plain rounding.
std::size_t levelParts(std::span<const unsigned char> inside, std::span<const std::int32_t> part,
                       int parts, std::span<const std::int32_t> rounded,
                       std::span<std::int32_t> grown) {
    // The voxels of each part one after another (a counting sort by part), then one median each.
    std::vector<std::size_t> start(static_cast<std::size_t>(parts) + 2, 0);
    for (std::size_t v = 0; v < part.size(); ++v)
        if (inside[v] != 0) ++start[static_cast<std::size_t>(part[v]) + 1];
    for (std::size_t p = 1; p < start.size(); ++p) start[p] += start[p - 1];
    std::vector<std::int32_t> offsets(start.back());
    std::vector<std::size_t> fill(start.begin(), start.end() - 1);
    for (std::size_t v = 0; v < part.size(); ++v) {
        if (inside[v] != 0)
            offsets[fill[static_cast<std::size_t>(part[v])]++] = rounded[v] - grown[v];
    }
    std::vector<std::int32_t> shift(static_cast<std::size_t>(parts) + 1, 0);
    for (std::size_t p = 1; p <= static_cast<std::size_t>(parts); ++p) {
        if (start[p + 1] == start[p]) continue;
        const auto first = offsets.begin() + static_cast<std::ptrdiff_t>(start[p]);
        const auto last = offsets.begin() + static_cast<std::ptrdiff_t>(start[p + 1]);
        const auto mid = first + (last - first - 1) / 2;
        std::nth_element(first, mid, last);
        shift[p] = *mid;
    }
    std::size_t changed = 0;
    for (std::size_t v = 0; v < part.size(); ++v) {
        if (inside[v] == 0) continue;
        grown[v] += shift[static_cast<std::size_t>(part[v])];
        if (grown[v] != rounded[v]) ++changed;
    }
    return changed;
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
        if (counts.inside++ % kAlignmentStride != 0) continue;
        const double a = kTwoPi * (wrapped[v] - estimate[v]);
        if (!std::isfinite(a)) continue;
        sumSin += std::sin(a);
        sumCos += std::cos(a);
    }
    if (counts.inside == 0) return false;
    const double c = (sumSin != 0 || sumCos != 0) ? std::atan2(sumSin, sumCos) / kTwoPi : 0.0;
    counts.alignment = c;

    // Only the entries inside the mask are ever written or read, so the arrays start
    // uninitialised: the full-grid clears would cost as much as the work inside the head.
    const auto rounded = std::make_unique_for_overwrite<std::int32_t[]>(n);
    std::unique_ptr<std::int32_t[]> grown, part;
    if (grow) {
        grown = std::make_unique_for_overwrite<std::int32_t[]>(n);
        part = std::make_unique_for_overwrite<std::int32_t[]>(n);
    }
    for (std::size_t v = 0; v < n; ++v) {
        if (inside[v] == 0) continue;
        rounded[v] = cycleCount(estimate[v] + c - wrapped[v]);
        if (grow) grown[v] = rounded[v];
    }
    if (grow) {
        counts.parts = growUnwrapped(d, wrapped, inside, {grown.get(), n}, {part.get(), n});
        counts.changedCycle =
            levelParts(inside, {part.get(), n}, counts.parts, {rounded.get(), n}, {grown.get(), n});
    }
    const std::int32_t* cycles = grow ? grown.get() : rounded.get();

    std::vector<double> phase;
    phase.reserve(counts.inside);
    for (std::size_t v = 0; v < n; ++v) {
        if (inside[v] == 0) continue;
        const double u = wrapped[v] + cycles[v];
        if (std::isfinite(u)) phase.push_back(u);
    }
    const double level = phase.empty() ? 0.0 : medianCycle(phase);
    counts.level = level;
    for (std::size_t v = 0; v < n; ++v) {
        estimate[v] = inside[v] != 0 ? wrapped[v] + (cycles[v] - level) : estimate[v] + (c - level);
    }
    return true;
}

}  // namespace ondrift
