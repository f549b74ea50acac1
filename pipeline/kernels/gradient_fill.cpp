#include "pipeline/kernels/gradient_fill.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace ondrift {

namespace {

struct Estimates {
    std::vector<double> sum, weight;
    std::vector<unsigned char> nearest;  ///< distance of the nearest estimate, 0: none
};

/// The least-squares line through the last kGradientFitVoxels samples before `end` (exclusive)
/// on a line, stepping by `step` away from `end`: its value at `end` and its slope per voxel
/// towards `end`.
void fitLine(const double* f, std::ptrdiff_t end, std::ptrdiff_t step, double& atEnd,
             double& slope) {
    // Samples at x = -1 … -K relative to `end`; mean of x is -(K + 1) / 2.
    constexpr int k = kGradientFitVoxels;
    constexpr double meanX = -(k + 1) / 2.0;
    double meanY = 0;
    for (int t = 1; t <= k; ++t) meanY += f[end - t * step];
    meanY /= k;
    double sxy = 0, sxx = 0;
    for (int t = 1; t <= k; ++t) {
        const double dx = -t - meanX;
        sxy += dx * (f[end - t * step] - meanY);
        sxx += dx * dx;
    }
    slope = sxy / sxx;
    atEnd = meanY - slope * meanX;
}

/// One line of `length` voxels, voxel s at base + s * step, in both directions.
void carryAlongLine(const double* f, const unsigned char* in, std::ptrdiff_t base,
                    std::ptrdiff_t step, int length, Estimates& e) {
    auto add = [&](std::ptrdiff_t q, int distance, double value) {
        const auto u = static_cast<std::size_t>(q);
        const double w = 1.0 / distance;
        e.sum[u] += w * value;
        e.weight[u] += w;
        if (e.nearest[u] == 0 || distance < e.nearest[u])
            e.nearest[u] = static_cast<unsigned char>(distance);
    };
    for (int dir : {1, -1}) {
        int run = 0;
        for (int i = 0; i < length; ++i) {
            const int s = dir == 1 ? i : length - 1 - i;
            const std::ptrdiff_t at = base + s * step;
            if (in[at] != 0) {
                ++run;
                continue;
            }
            // Only where the line leaves the mask for good: across a gap (a dropout inside
            // the head) a straight line from one rim would miss the other.
            bool leaves = true;
            for (int t = s; t >= 0 && t < length && std::abs(t - s) <= 2 * kGradientBand; t += dir)
                if (in[base + t * step] != 0) leaves = false;
            if (run >= kGradientFitVoxels && leaves) {
                double value = 0, slope = 0;
                fitLine(f, at, dir * step, value, slope);
                for (int dist = 1; dist <= kGradientBand; ++dist) {
                    const int t = s + dir * (dist - 1);
                    if (t < 0 || t >= length || in[base + t * step] != 0) break;
                    add(base + t * step, dist, value + slope * (dist - 1));
                }
            }
            run = 0;
        }
    }
}

}  // namespace

long long continueGradients(Dims d, std::span<double> field,
                            std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (field.size() != n || inside.size() != n) return -1;
    Estimates e{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0),
                std::vector<unsigned char>(n, 0)};
    const std::ptrdiff_t sx = 1, sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const double* f = field.data();
    const unsigned char* in = inside.data();
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j) carryAlongLine(f, in, j * sy + k * sz, sx, d.x, e);
    for (int k = 0; k < d.z; ++k)
        for (int i = 0; i < d.x; ++i) carryAlongLine(f, in, i + k * sz, sy, d.y, e);
    for (int j = 0; j < d.y; ++j)
        for (int i = 0; i < d.x; ++i) carryAlongLine(f, in, i + j * sy, sz, d.z, e);
    long long changed = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (e.nearest[v] == 0 || !std::isfinite(field[v])) continue;
        const double estimate = e.sum[v] / e.weight[v];
        const double t = static_cast<double>(e.nearest[v] - 1) / kGradientBand;
        field[v] = (1.0 - t) * estimate + t * field[v];
        ++changed;
    }
    return changed;
}

}  // namespace ondrift
