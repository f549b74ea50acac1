#include "pipeline/kernels/quadratic_smoothing.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace ondrift {

namespace {

constexpr int kHalf = kQuadraticWindow / 2;

/// taps[p][u]: the weight of window sample u in the value at window position p of the
/// least-squares quadratic through the window's samples. Row kHalf is the centred filter
/// (-2, 3, 6, 7, 6, 3, -2) / 21; the others serve the first and last voxels of a line, where
/// the window cannot be centred: repeating the edge voxel instead would bend a sloped field
/// there.
struct Taps {
    double w[kQuadraticWindow][kQuadraticWindow];
};

Taps makeTaps() {
    // Normal equations of the fit to the samples u = 0…6, with the basis 1, u, u².
    double m[3][3] = {};
    for (int u = 0; u < kQuadraticWindow; ++u) {
        const double b[3] = {1.0, double(u), double(u) * u};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
    }
    // The inverse by cofactors: the matrix is small and well conditioned.
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    Taps t{};
    for (int p = 0; p < kQuadraticWindow; ++p) {
        const double e[3] = {1.0, double(p), double(p) * p};
        for (int u = 0; u < kQuadraticWindow; ++u) {
            const double b[3] = {1.0, double(u), double(u) * u};
            double v = 0;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) v += e[r] * inv[r][c] * b[c];
            t.w[p][u] = v;
        }
    }
    return t;
}

const Taps& taps() {
    static const Taps t = makeTaps();
    return t;
}

/// Filters `count` neighbouring lines of `length` (at least the window) samples each, sample
/// s of line l at [l + s*step], from `in` into `out`. The lines run innermost, so every tap
/// streams through memory.
void filterLines(const double* in, double* out, int length, std::ptrdiff_t step,
                 std::ptrdiff_t count) {
    for (int s = 0; s < length; ++s) {
        // The window lies inside the line; near its ends the fit is evaluated off-centre.
        const int first = std::clamp(s - kHalf, 0, length - kQuadraticWindow);
        const double* w = taps().w[s - first];
        const double* src = in + first * step;
        double* o = out + s * step;
        for (std::ptrdiff_t l = 0; l < count; ++l) {
            double v = 0;
            for (int u = 0; u < kQuadraticWindow; ++u) v += w[u] * src[l + u * step];
            o[l] = v;
        }
    }
}

}  // namespace

bool smoothQuadratic(Dims d, std::span<double> field) {
    if (d.x < 1 || d.y < 1 || d.z < 1 || field.size() != d.voxels()) return false;
    const std::ptrdiff_t nx = d.x, plane = static_cast<std::ptrdiff_t>(d.x) * d.y;
    double* f = field.data();
    if (d.x >= kQuadraticWindow) {
        // Along x the lines are contiguous: each row is filtered from a copy of itself.
        std::vector<double> row(static_cast<std::size_t>(d.x));
        for (std::ptrdiff_t r = 0; r < static_cast<std::ptrdiff_t>(d.y) * d.z; ++r) {
            double* line = f + r * nx;
            std::copy_n(line, d.x, row.begin());
            filterLines(row.data(), line, d.x, 1, 1);
        }
    }
    if (d.y >= kQuadraticWindow) {
        std::vector<double> slice(static_cast<std::size_t>(plane));
        for (int z = 0; z < d.z; ++z) {
            double* s = f + z * plane;
            std::copy_n(s, plane, slice.begin());
            filterLines(slice.data(), s, d.y, nx, nx);
        }
    }
    if (d.z >= kQuadraticWindow) {
        const std::vector<double> copy(field.begin(), field.end());
        filterLines(copy.data(), f, d.z, plane, plane);
    }
    return true;
}

}  // namespace ondrift
