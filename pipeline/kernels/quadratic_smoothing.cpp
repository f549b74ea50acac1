#include "pipeline/kernels/quadratic_smoothing.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace ondrift {

namespace {

constexpr int kHalf = kQuadraticWindow / 2;
// The quadratic fit's weights for seven equally spaced samples: (-2, 3, 6, 7, 6, 3, -2) / 21.
constexpr double kTaps[kQuadraticWindow] = {-2.0 / 21, 3.0 / 21, 6.0 / 21, 7.0 / 21,
                                            6.0 / 21,  3.0 / 21, -2.0 / 21};

/// Filters `count` neighbouring lines of `length` samples each, sample s of line l at
/// [l + s*step], from `in` into `out`. The lines run innermost, so every tap streams through
/// memory.
void filterLines(const double* in, double* out, int length, std::ptrdiff_t step,
                 std::ptrdiff_t count) {
    for (int s = 0; s < length; ++s) {
        std::ptrdiff_t at[kQuadraticWindow];
        for (int t = 0; t < kQuadraticWindow; ++t) {
            at[t] = std::clamp(s + t - kHalf, 0, length - 1) * step;
        }
        double* o = out + s * step;
        for (std::ptrdiff_t l = 0; l < count; ++l) {
            double v = 0;
            for (int t = 0; t < kQuadraticWindow; ++t) v += kTaps[t] * in[l + at[t]];
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
        // Along x the lines are contiguous: each row is copied with its edge voxels repeated.
        std::vector<double> row(static_cast<std::size_t>(d.x + 2 * kHalf));
        for (std::ptrdiff_t r = 0; r < static_cast<std::ptrdiff_t>(d.y) * d.z; ++r) {
            double* line = f + r * nx;
            std::fill_n(row.begin(), kHalf, line[0]);
            std::copy_n(line, d.x, row.begin() + kHalf);
            std::fill_n(row.begin() + kHalf + d.x, kHalf, line[d.x - 1]);
            for (int s = 0; s < d.x; ++s) {
                double v = 0;
                for (int t = 0; t < kQuadraticWindow; ++t) v += kTaps[t] * row[s + t];
                line[s] = v;
            }
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
