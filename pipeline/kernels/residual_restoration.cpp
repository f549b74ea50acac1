#include "pipeline/kernels/residual_restoration.h"

#include <algorithm>
#include <array>
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

/// out (zeroed first) = the rows of `in` convolved along x with `t` (zero beyond the grid), tap
/// by tap so that each voxel sums its taps in their order and the rows run in vector registers.
void alongX(int nx, int rows, const std::vector<double>& t, const double* in, double* out) {
    const int radius = static_cast<int>(t.size() / 2);
    std::fill(out, out + static_cast<std::ptrdiff_t>(nx) * rows, 0.0);
    for (int j = 0; j < rows; ++j) {
        const double* const source = in + static_cast<std::ptrdiff_t>(j) * nx;
        double* const row = out + static_cast<std::ptrdiff_t>(j) * nx;
        for (int o = -radius; o <= radius; ++o) {
            const double tap = t[static_cast<std::size_t>(o + radius)];
            const int lo = std::max(0, -o), hi = std::min(nx, nx - o);
            for (int i = lo; i < hi; ++i) row[i] += tap * source[i + o];
        }
    }
}

/// The same across rows: out's row j sums t's taps times in's rows j + o that exist.
void acrossRows(int nx, int rows, const std::vector<double>& t, const double* const* in,
                double* out) {
    const int radius = static_cast<int>(t.size() / 2);
    std::fill(out, out + static_cast<std::ptrdiff_t>(nx) * rows, 0.0);
    for (int j = 0; j < rows; ++j) {
        double* const row = out + static_cast<std::ptrdiff_t>(j) * nx;
        for (int o = -radius; o <= radius; ++o) {
            if (j + o < 0 || j + o >= rows) continue;
            const double tap = t[static_cast<std::size_t>(o + radius)];
            const double* const source = in[j + o];
            for (int i = 0; i < nx; ++i) row[i] += tap * source[i];
        }
    }
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
    // weighted noise, its variance Σ G² w / (Σ G w)². The Gaussian is separable: each slice is
    // convolved in-plane as it is needed and kept in a ring of the slices the window spans, so
    // that the work stays in a few slices' memory.
    std::array<std::vector<double>, 3> tap, squared;
    for (std::size_t a = 0; a < 3; ++a) {
        tap[a] = taps(windowMm / h[a]);
        squared[a] = tap[a];
        for (double& s : squared[a]) s *= s;
    }
    const int reach = static_cast<int>(tap[2].size() / 2);
    const int ringSize = 2 * reach + 1;
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    // What to add where: made in slabs on every core from the field as it came, added after.
    struct Addition {
        std::size_t voxel;
        double value;
    };
    const auto additions = collectOverRanges<Addition>(
        d.z, plane, [&](long long first, long long end, std::vector<Addition>& found) {
            // Slot r of the ring holds, in-plane convolved, [Σ w r | Σ w | Σ w with squared taps].
            std::vector<double> ring(static_cast<std::size_t>(ringSize) * 3 * plane);
            std::vector<double> raw(3 * plane), alongRows(3 * plane), out(3 * plane);
            std::vector<const double*> rows(static_cast<std::size_t>(d.y));
            const auto slot = [&](int k, int which) {
                return ring.data() + (static_cast<std::size_t>(k % ringSize) * 3 + which) * plane;
            };
            const auto makeSlice = [&](int k) {
                const std::size_t base = static_cast<std::size_t>(k) * plane;
                for (std::size_t q = 0; q < plane; ++q) {
                    const double wv =
                        w[base + q] > 0 && std::isfinite(g[base + q]) ? w[base + q] : 0;
                    raw[q] = wv > 0 ? wv * (g[base + q] - f[base + q]) : 0.0;
                    raw[plane + q] = wv;
                    raw[2 * plane + q] = wv;
                }
                for (int which = 0; which < 3; ++which) {
                    const auto& tx = which == 2 ? squared[0] : tap[0];
                    const auto& ty = which == 2 ? squared[1] : tap[1];
                    double* const x = alongRows.data() + which * plane;
                    alongX(d.x, d.y, tx, raw.data() + which * plane, x);
                    for (int j = 0; j < d.y; ++j) rows[static_cast<std::size_t>(j)] = x + j * d.x;
                    acrossRows(d.x, d.y, ty, rows.data(), slot(k, which));
                }
            };
            int made = static_cast<int>(std::max<long long>(0, first - reach));
            for (auto k = static_cast<int>(first); k < end; ++k) {
                for (; made <= std::min(d.z - 1, k + reach); ++made) makeSlice(made);
                std::fill(out.begin(), out.end(), 0.0);
                for (int o = -reach; o <= reach; ++o) {
                    if (k + o < 0 || k + o >= d.z) continue;
                    for (int which = 0; which < 3; ++which) {
                        const double t =
                            (which == 2 ? squared[2] : tap[2])[static_cast<std::size_t>(o + reach)];
                        const double* const source = slot(k + o, which);
                        double* const sum = out.data() + which * plane;
                        for (std::size_t q = 0; q < plane; ++q) sum[q] += t * source[q];
                    }
                }
                const std::size_t base = static_cast<std::size_t>(k) * plane;
                for (std::size_t q = 0; q < plane; ++q) {
                    const double weight = out[plane + q];
                    if (!(weight > 0)) continue;
                    const double mean = out[q] / weight;
                    const double floor = shrink * std::sqrt(out[2 * plane + q]) / weight;
                    if (!(std::fabs(mean) > floor)) continue;
                    found.push_back({base + q, mean > 0 ? mean - floor : mean + floor});
                }
            }
        });
    for (const Addition& a : additions) f[a.voxel] += a.value;
    return static_cast<long long>(additions.size());
}

}  // namespace ondrift
