#include "pipeline/kernels/residual_restoration.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// The Gaussian's taps along one axis, out to three SDs (one tap, the identity, when the
/// voxels are more than three SDs long).
std::vector<double> taps(double sdVoxels) {
    const int radius = static_cast<int>(std::floor(3 * sdVoxels));
    std::vector<double> t(static_cast<std::size_t>(2 * radius + 1));
    for (int o = -radius; o <= radius; ++o)
        t[static_cast<std::size_t>(o + radius)] = std::exp(-0.5 * (o / sdVoxels) * (o / sdVoxels));
    return t;
}

/// Convolves `data` along `axis` with `t` (zero beyond the grid) into `scratch`, then swaps
/// them. Row by row, tap by tap, so that the rows' loops run in vector registers; each voxel
/// still sums its taps in their order, and slabs of slices run on every core with the same
/// result on any thread count.
void convolveAxis(Dims d, int axis, const std::vector<double>& t, std::vector<double>& data,
                  std::vector<double>& scratch) {
    const int radius = static_cast<int>(t.size() / 2);
    if (radius == 0) return;
    scratch.assign(data.size(), 0.0);
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    const double* const in = data.data();
    double* const out = scratch.data();
    shareOut(d.z, plane, [&](unsigned, long long first, long long end) {
        for (auto k = static_cast<int>(first); k < end; ++k)
            for (int j = 0; j < d.y; ++j) {
                double* const row = out + d.index(0, j, k);
                for (int o = -radius; o <= radius; ++o) {
                    const double tap = t[static_cast<std::size_t>(o + radius)];
                    if (axis == 0) {
                        const double* const source = in + d.index(0, j, k);
                        const int lo = std::max(0, -o), hi = std::min(d.x, d.x - o);
                        for (int i = lo; i < hi; ++i) row[i] += tap * source[i + o];
                        continue;
                    }
                    const int sj = axis == 1 ? j + o : j, sk = axis == 2 ? k + o : k;
                    if (sj < 0 || sj >= d.y || sk < 0 || sk >= d.z) continue;
                    const double* const source = in + d.index(0, sj, sk);
                    for (int i = 0; i < d.x; ++i) row[i] += tap * source[i];
                }
            }
    });
    data.swap(scratch);
}

}  // namespace

long long restoreResidual(Dims d, const Spacing& h, std::span<const double> g,
                          std::span<const double> w, std::span<double> f, double windowMm,
                          double shrink) {
    const std::size_t n = d.voxels();
    if (g.size() != n || w.size() != n || f.size() != n) return -1;
    for (const double s : h)
        if (!(s > 0) || !std::isfinite(s)) return -1;
    // Σ G w r, Σ G w and Σ G² w: the weighted mean of the residual and, with unit-variance
    // weighted noise, its variance Σ G² w / (Σ G w)².
    std::vector<double> sum(n), weight(n), spread(n), scratch;
    for (std::size_t v = 0; v < n; ++v) {
        const double wv = w[v] > 0 && std::isfinite(g[v]) ? w[v] : 0.0;
        sum[v] = wv > 0 ? wv * (g[v] - f[v]) : 0.0;
        weight[v] = wv;
        spread[v] = wv;
    }
    for (int a = 0; a < 3; ++a) {
        const std::vector<double> t = taps(windowMm / h[static_cast<std::size_t>(a)]);
        std::vector<double> squared(t);
        for (double& s : squared) s *= s;
        convolveAxis(d, a, t, sum, scratch);
        convolveAxis(d, a, t, weight, scratch);
        convolveAxis(d, a, squared, spread, scratch);
    }
    long long restored = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (!(weight[v] > 0)) continue;
        const double mean = sum[v] / weight[v];
        const double floor = shrink * std::sqrt(spread[v]) / weight[v];
        if (!(std::fabs(mean) > floor)) continue;
        f[v] += mean > 0 ? mean - floor : mean + floor;
        ++restored;
    }
    return restored;
}

}  // namespace ondrift
