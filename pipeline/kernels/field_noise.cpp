#include "pipeline/kernels/field_noise.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// The noise is read from fourth differences along the finest axes: they cancel the field's
/// cubic structure, which second differences keep (a scanner's field curves at the voxel scale).
constexpr int kDifferenceOrder = 4;
constexpr double kDifferenceTaps[kDifferenceOrder + 1] = {1, -4, 6, -4, 1};

}  // namespace

/// Large lists of values that are all at least +0 and none NaN (their bit patterns then order as
/// the values do) are first narrowed to the one bucket of the patterns' top bits that holds the
/// middle: a count and a copy instead of the partitions of the whole list.
double middleValue(std::span<double> values) {
    const std::size_t k = values.size() / 2;
    constexpr std::size_t kWorthCounting = std::size_t{1} << 16;
    constexpr int kShift = 48;
    if (values.size() >= kWorthCounting) {
        std::vector<std::size_t> count(std::size_t{1} << (64 - kShift), 0);
        bool ordered = true;
        for (const double v : values) {
            const auto bits = std::bit_cast<std::uint64_t>(v);
            if ((bits >> 63) != 0 || std::isnan(v)) {
                ordered = false;
                break;
            }
            ++count[bits >> kShift];
        }
        if (ordered) {
            std::size_t bucket = 0, below = 0;
            while (below + count[bucket] <= k) below += count[bucket++];
            std::size_t kept = 0;
            for (const double v : values)
                if ((std::bit_cast<std::uint64_t>(v) >> kShift) == bucket) values[kept++] = v;
            const auto at = values.begin() + static_cast<std::ptrdiff_t>(k - below);
            std::nth_element(values.begin(), at,
                             values.begin() + static_cast<std::ptrdiff_t>(kept));
            return *at;
        }
    }
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

double noiseScaleFromData(Dims d, const Spacing& h, std::span<const double> g,
                          std::span<const double> magnitude, std::span<const unsigned char> inside,
                          double reliableSD) {
    const std::size_t n = d.voxels();
    if (g.size() != n || magnitude.size() != n || inside.size() != n) return 0;
    double finest = 0;
    for (int a = 0; a < 3; ++a)
        if (axisExtent(d, a) > kDifferenceOrder && (finest == 0 || h[a] < finest)) finest = h[a];
    if (!(finest > 0)) return 0;
    // The boxes of differences along the axes of the finest spacing.
    std::vector<std::pair<int, std::array<int, 3>>> boxes;
    std::size_t most = 0;
    for (int a = 0; a < 3; ++a) {
        if (axisExtent(d, a) <= kDifferenceOrder || h[a] > kFinestSpacingRatio * finest) continue;
        std::array<int, 3> hi{d.x, d.y, d.z};
        hi[a] -= kDifferenceOrder;
        boxes.push_back({a, hi});
        most += static_cast<std::size_t>(hi[0]) * static_cast<std::size_t>(hi[1]) *
                static_cast<std::size_t>(hi[2]);
    }
    // At most one difference per voxel of each box. Slabs of slices on every core write theirs
    // from where their slices' voxels start, then close the gaps in order: the list is the
    // plain loop's, and only the memory it fills is ever mapped.
    const auto ratios = std::make_unique_for_overwrite<double[]>(most);
    double scale = 0;
    // The darkest voxel any counted difference reads.
    double dimmest = std::numeric_limits<double>::infinity();
    for (int pass = 0; pass < 2; ++pass) {
        // Second pass: only where the model's SD at the darkest voxel is still Gaussian.
        const double darkest = pass == 0 ? 0 : scale / reliableSD;
        std::size_t count = 0;
        for (const auto& box : boxes) {
            // Named, not bound: a lambda may not capture a structured binding (clang 14).
            const int a = box.first;
            const auto& hi = box.second;
            const std::ptrdiff_t s = axisStride(d, a);
            const std::size_t slice =
                static_cast<std::size_t>(hi[0]) * static_cast<std::size_t>(hi[1]);
            const unsigned workers = rangeWorkers(hi[2], slice);
            std::vector<std::pair<long long, std::size_t>> written(workers, {0, 0});
            std::vector<double> dimmestOf(workers, dimmest);
            double* const base = ratios.get() + count;
            forEachRange(hi[2], workers, [&](unsigned worker, long long first, long long end) {
                // Locals, so that the writes below are not taken to change what they read.
                double* __restrict out = base + static_cast<std::size_t>(first) * slice;
                const double* __restrict field = g.data();
                const double* __restrict m = magnitude.data();
                const unsigned char* __restrict in = inside.data();
                const double dark = darkest;
                const std::ptrdiff_t step = s;
                std::size_t made = 0;
                double lowest = dimmestOf[worker];
                forBox(d, {0, 0, static_cast<int>(first)}, {hi[0], hi[1], static_cast<int>(end)},
                       [&](std::size_t q) {
                           double diff = 0, variance = 0, low = m[q];
                           for (int t = 0; t <= kDifferenceOrder; ++t) {
                               const std::size_t v = q + static_cast<std::size_t>(t * step);
                               if (in[v] == 0 || !(m[v] > 0) || m[v] <= dark) return;
                               diff += kDifferenceTaps[t] * field[v];
                               variance += kDifferenceTaps[t] * kDifferenceTaps[t] / (m[v] * m[v]);
                               low = std::min(low, m[v]);
                           }
                           if (!std::isfinite(diff)) return;
                           out[made++] = diff * diff / variance;
                           lowest = std::min(lowest, low);
                       });
                written[worker] = {first, made};
                dimmestOf[worker] = lowest;
            });
            for (const double low : dimmestOf) dimmest = std::min(dimmest, low);
            for (const auto& [first, made] : written) {
                const double* from = base + static_cast<std::size_t>(first) * slice;
                // Down the list, never onto itself: a copy forward is safe.
                if (from != ratios.get() + count)
                    std::copy(from, from + made, ratios.get() + count);
                count += made;
            }
        }
        if (count < 64) return pass == 0 ? 0 : scale;
        scale = std::sqrt(middleValue({ratios.get(), count}) / kChiSquare1Median);
        // A second pass that would leave no difference out would find the same scale.
        if (!(reliableSD > 0) || scale / reliableSD < dimmest) break;
    }
    return scale;
}

}  // namespace ondrift
