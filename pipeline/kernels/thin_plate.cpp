#include "pipeline/kernels/thin_plate.h"

#include <algorithm>
#include <cmath>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// Calls slabs(first, end) for ranges of slices on every core: each pass below writes its own
/// rows from what the pass before wrote.
template <class Slabs>
void forSlabs(Dims d, Slabs&& slabs) {
    shareOut(d.z, static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y),
             [&](unsigned, long long first, long long end) {
                 slabs(static_cast<int>(first), static_cast<int>(end));
             });
}

}  // namespace

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

namespace {

/// The weights of the roughness's terms: per axis, and per pair of axes (xy, xz, yz).
struct Weights {
    double axis[3];
    double pair[3];
};

Weights weightsOf(const Spacing& h, double scale) {
    const double volume = h[0] * h[1] * h[2];
    Weights c{};
    for (int a = 0; a < 3; ++a) c.axis[a] = scale * volume / std::pow(h[a], 4);
    c.pair[0] = 2 * scale * volume / (h[0] * h[0] * h[1] * h[1]);
    c.pair[1] = 2 * scale * volume / (h[0] * h[0] * h[2] * h[2]);
    c.pair[2] = 2 * scale * volume / (h[1] * h[1] * h[2] * h[2]);
    return c;
}

constexpr int kPairAxes[3][2] = {{0, 1}, {0, 2}, {1, 2}};

/// (B x) at voxel q with coordinates `at`, each stencil taken only where it lies in the grid.
double roughnessAt(Dims d, const Weights& c, const double* x, std::size_t q,
                   const std::array<int, 3>& at) {
    double sum = 0;
    for (int a = 0; a < 3; ++a) {
        const int n = axisExtent(d, a);
        if (n < 3) continue;
        const std::ptrdiff_t s = axisStride(d, a);
        const double* xq = x + q;
        // q is the upper end, the middle and the lower end of the differences centred below,
        // at and above it.
        double part = 0;
        if (at[a] - 1 >= 1) part += xq[-2 * s] - 2 * xq[-s] + xq[0];
        if (at[a] >= 1 && at[a] <= n - 2) part -= 2 * (xq[-s] - 2 * xq[0] + xq[s]);
        if (at[a] + 1 <= n - 2) part += xq[0] - 2 * xq[s] + xq[2 * s];
        sum += c.axis[a] * part;
    }
    for (int p = 0; p < 3; ++p) {
        const int a = kPairAxes[p][0], b = kPairAxes[p][1];
        const int na = axisExtent(d, a), nb = axisExtent(d, b);
        if (na < 2 || nb < 2) continue;
        const std::ptrdiff_t sa = axisStride(d, a), sb = axisStride(d, b);
        double part = 0;
        // The mixed differences anchored at q and at its lower neighbours along a, b and both.
        for (int oa = -1; oa <= 0; ++oa)
            for (int ob = -1; ob <= 0; ++ob) {
                const int ia = at[a] + oa, ib = at[b] + ob;
                if (ia < 0 || ia > na - 2 || ib < 0 || ib > nb - 2) continue;
                const double* base = x + q + oa * sa + ob * sb;
                const double mixed = base[0] - base[sa] - base[sb] + base[sa + sb];
                part += (oa == ob ? 1.0 : -1.0) * mixed;
            }
        sum += c.pair[p] * part;
    }
    return sum;
}

}  // namespace

/// out += scale · B x, B = Σ Dᵀ D over the second differences in mm (each weighted by its share
/// of the integral: voxel volume over the spacings' product). Away from the grid's faces B is one
/// 25-point stencil, applied in a single pass that reads x once (the operator is bound by memory,
/// and a pass per difference would read and write the grid a dozen times); within two voxels of
/// a face each stencil that leaves the grid is dropped, voxel by voxel.
void addThinPlate(Dims d, const Spacing& h, const double* x, double* out, double scale) {
    const Weights c = weightsOf(h, scale);
    const std::ptrdiff_t sx = 1, sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const bool interior = d.x >= 5 && d.y >= 5 && d.z >= 5;
    const double centre =
        6 * (c.axis[0] + c.axis[1] + c.axis[2]) + 4 * (c.pair[0] + c.pair[1] + c.pair[2]);
    forSlabs(d, [&](int kFirst, int kEnd) {
        for (int k = kFirst; k < kEnd; ++k)
            for (int j = 0; j < d.y; ++j) {
                const std::size_t row = d.index(0, j, k);
                const bool inner = interior && j >= 2 && j <= d.y - 3 && k >= 2 && k <= d.z - 3;
                const int from = inner ? 2 : d.x, to = inner ? d.x - 2 : d.x;
                for (int i = 0; i < std::min(from, d.x); ++i)
                    out[row + static_cast<std::size_t>(i)] +=
                        roughnessAt(d, c, x, row + static_cast<std::size_t>(i), {i, j, k});
                for (int i = from; i < to; ++i) {
                    const double* q = x + row + static_cast<std::size_t>(i);
                    const double axes =
                        c.axis[0] * (q[-2 * sx] - 4 * q[-sx] - 4 * q[sx] + q[2 * sx]) +
                        c.axis[1] * (q[-2 * sy] - 4 * q[-sy] - 4 * q[sy] + q[2 * sy]) +
                        c.axis[2] * (q[-2 * sz] - 4 * q[-sz] - 4 * q[sz] + q[2 * sz]);
                    const double xy = -2 * (q[-sx] + q[sx] + q[-sy] + q[sy]) + q[-sx - sy] +
                                      q[sx - sy] + q[-sx + sy] + q[sx + sy];
                    const double xz = -2 * (q[-sx] + q[sx] + q[-sz] + q[sz]) + q[-sx - sz] +
                                      q[sx - sz] + q[-sx + sz] + q[sx + sz];
                    const double yz = -2 * (q[-sy] + q[sy] + q[-sz] + q[sz]) + q[-sy - sz] +
                                      q[sy - sz] + q[-sy + sz] + q[sy + sz];
                    out[row + static_cast<std::size_t>(i)] +=
                        centre * q[0] + axes + c.pair[0] * xy + c.pair[1] * xz + c.pair[2] * yz;
                }
                for (int i = std::max(to, from); i < d.x; ++i)
                    out[row + static_cast<std::size_t>(i)] +=
                        roughnessAt(d, c, x, row + static_cast<std::size_t>(i), {i, j, k});
            }
    });
}

}  // namespace ondrift
