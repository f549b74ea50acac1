#include "pipeline/kernels/thin_plate.h"

#include <algorithm>
#include <cmath>

namespace ondrift {

int axisExtent(Dims d, int axis) { return axis == 0 ? d.x : (axis == 1 ? d.y : d.z); }

std::ptrdiff_t axisStride(Dims d, int axis) {
    return axis == 0 ? 1 : (axis == 1 ? d.x : static_cast<std::ptrdiff_t>(d.x) * d.y);
}

/// Adds the diagonal of B (the roughness operator below) to `out`: for every stencil of a second
/// difference in mm, its squared weights times the stencil's share of the integral.
void addThinPlateDiagonal(Dims d, const Spacing& h, double* out) {
    const double volume = h[0] * h[1] * h[2];
    for (int a = 0; a < 3; ++a) {
        if (axisExtent(d, a) < 3) continue;
        const std::ptrdiff_t s = axisStride(d, a);
        const double c = volume / std::pow(h[a], 4);
        std::array<int, 3> lo{0, 0, 0}, hi{d.x, d.y, d.z};
        lo[a] = 1;
        hi[a] -= 1;
        forBox(d, lo, hi, [&](std::size_t q) {
            out[q - s] += c;
            out[q] += 4 * c;
            out[q + s] += c;
        });
    }
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b) {
            if (axisExtent(d, a) < 2 || axisExtent(d, b) < 2) continue;
            const std::ptrdiff_t sa = axisStride(d, a), sb = axisStride(d, b);
            const double c = 2 * volume / (h[a] * h[a] * h[b] * h[b]);
            std::array<int, 3> lo{0, 0, 0}, hi{d.x, d.y, d.z};
            hi[a] -= 1;
            hi[b] -= 1;
            forBox(d, lo, hi, [&](std::size_t q) {
                out[q] += c;
                out[q + sa] += c;
                out[q + sb] += c;
                out[q + sa + sb] += c;
            });
        }
}

/// out += scale · B x, B = Σ Dᵀ D over the second differences in mm (each weighted by its share
/// of the integral: voxel volume over the spacings' product), row by row: each difference is formed
/// once into a scratch volume, and its transpose gathered back, so that every inner loop runs over
/// contiguous memory.
void addThinPlate(Dims d, const Spacing& h, const double* x, double* out, double scale,
                  std::vector<double>& differences, std::vector<double>& zeros) {
    const double volume = h[0] * h[1] * h[2];
    differences.resize(d.voxels());
    zeros.assign(static_cast<std::size_t>(d.x), 0.0);
    double* t = differences.data();
    const double* zero = zeros.data();
    const int nx = d.x;
    const auto coordinate = [](int axis, int j, int k) { return axis == 1 ? j : k; };
    for (int a = 0; a < 3; ++a) {
        const int n = axisExtent(d, a);
        if (n < 3) continue;
        const std::ptrdiff_t s = axisStride(d, a);
        const double c = scale * volume / std::pow(h[a], 4);
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j) {
                const std::size_t row = d.index(0, j, k);
                double* tr = t + row;
                const double* xr = x + row;
                if (a == 0) {
                    tr[0] = tr[nx - 1] = 0;
                    for (int i = 1; i < nx - 1; ++i) tr[i] = xr[i - 1] - 2 * xr[i] + xr[i + 1];
                    continue;
                }
                const int at = coordinate(a, j, k);
                if (at == 0 || at == n - 1) {
                    std::fill(tr, tr + nx, 0.0);
                    continue;
                }
                for (int i = 0; i < nx; ++i) tr[i] = xr[i - s] - 2 * xr[i] + xr[i + s];
            }
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j) {
                const std::size_t row = d.index(0, j, k);
                const double* tr = t + row;
                double* o = out + row;
                if (a == 0) {
                    o[0] += c * tr[1];
                    o[nx - 1] += c * tr[nx - 2];
                    for (int i = 1; i < nx - 1; ++i)
                        o[i] += c * (tr[i - 1] - 2 * tr[i] + tr[i + 1]);
                    continue;
                }
                const int at = coordinate(a, j, k);
                const double* low = at > 0 ? tr - s : zero;
                const double* high = at < n - 1 ? tr + s : zero;
                for (int i = 0; i < nx; ++i) o[i] += c * (low[i] - 2 * tr[i] + high[i]);
            }
    }
    for (int a = 0; a < 3; ++a)
        for (int b = a + 1; b < 3; ++b) {
            const int na = axisExtent(d, a), nb = axisExtent(d, b);
            if (na < 2 || nb < 2) continue;
            const std::ptrdiff_t sa = axisStride(d, a), sb = axisStride(d, b);
            const double c = 2 * scale * volume / (h[a] * h[a] * h[b] * h[b]);
            for (int k = 0; k < d.z; ++k)
                for (int j = 0; j < d.y; ++j) {
                    const std::size_t row = d.index(0, j, k);
                    double* tr = t + row;
                    const double* xr = x + row;
                    const bool lastB = coordinate(b, j, k) == nb - 1;
                    const bool lastA = a > 0 && coordinate(a, j, k) == na - 1;
                    if (lastA || lastB) {
                        std::fill(tr, tr + nx, 0.0);
                        continue;
                    }
                    const int end = a == 0 ? nx - 1 : nx;
                    for (int i = 0; i < end; ++i)
                        tr[i] = xr[i] - xr[i + sa] - xr[i + sb] + xr[i + sa + sb];
                    if (a == 0) tr[nx - 1] = 0;
                }
            for (int k = 0; k < d.z; ++k)
                for (int j = 0; j < d.y; ++j) {
                    const std::size_t row = d.index(0, j, k);
                    const double* tr = t + row;
                    double* o = out + row;
                    const bool hasB = coordinate(b, j, k) > 0;
                    const double* below = hasB ? tr - sb : zero;
                    if (a == 0) {
                        o[0] += c * (tr[0] - below[0]);
                        for (int i = 1; i < nx; ++i)
                            o[i] += c * (tr[i] - tr[i - 1] - below[i] + below[i - 1]);
                        continue;
                    }
                    const bool hasA = coordinate(a, j, k) > 0;
                    const double* beside = hasA ? tr - sa : zero;
                    const double* both = hasA && hasB ? tr - sa - sb : zero;
                    for (int i = 0; i < nx; ++i)
                        o[i] += c * (tr[i] - beside[i] - below[i] + both[i]);
                }
        }
}

}  // namespace ondrift
