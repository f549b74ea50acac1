#include "cli/pairs/roughness.h"

#include <algorithm>
#include <cstddef>

namespace ondrift::pairs {

namespace {

/// One axis of a grid seen as [outer][length][stride]: every step along the axis moves a
/// contiguous block of `stride` voxels, so the operators run over whole blocks (rows or planes)
/// at a time instead of one scattered line after another.
struct AxisView {
    std::size_t outer;
    std::size_t length;
    std::size_t stride;
    double membrane;  ///< weight of a squared first difference
    double bending;   ///< weight of a squared second difference
};

template <typename Visit>
void forEachAxis(const Grid& g, const Roughness& r, Visit&& visit) {
    std::size_t stride = 1;
    for (int axis = 0; axis < 3; ++axis) {
        const auto length = static_cast<std::size_t>(std::max(g.dims[axis], 1));
        const double h2 = g.voxelMm[axis] * g.voxelMm[axis];
        const AxisView v{g.voxels() / (length * stride), length, stride, r.membrane / h2,
                         r.bendingMm2 / (h2 * h2)};
        if (length >= 2) visit(v);
        stride *= length;
    }
}

}  // namespace

double roughness(const Grid& g, const Roughness& r, std::span<const double> field) {
    double sum = 0;
    forEachAxis(g, r, [&](const AxisView& a) {
        for (std::size_t o = 0; o < a.outer; ++o) {
            const double* f = field.data() + o * a.length * a.stride;
            for (std::size_t t = 0; t + 1 < a.length; ++t) {
                const double* p = f + t * a.stride;
                for (std::size_t k = 0; k < a.stride; ++k) {
                    const double d = p[k + a.stride] - p[k];
                    sum += a.membrane * d * d;
                }
                if (t + 2 >= a.length || !(a.bending > 0)) continue;
                for (std::size_t k = 0; k < a.stride; ++k) {
                    const double d = p[k] - 2 * p[k + a.stride] + p[k + 2 * a.stride];
                    sum += a.bending * d * d;
                }
            }
        }
    });
    return sum;
}

void applyRoughness(const Grid& g, const Roughness& r, std::span<const double> v,
                    std::span<double> w) {
    std::fill(w.begin(), w.end(), 0.0);
    forEachAxis(g, r, [&](const AxisView& a) {
        const std::size_t s = a.stride;
        for (std::size_t o = 0; o < a.outer; ++o) {
            const double* f = v.data() + o * a.length * s;
            double* out = w.data() + o * a.length * s;
            for (std::size_t t = 0; t + 1 < a.length; ++t) {
                const double* p = f + t * s;
                double* q = out + t * s;
                for (std::size_t k = 0; k < s; ++k) {
                    const double d = a.membrane * (p[k] - p[k + s]);
                    q[k] += d;
                    q[k + s] -= d;
                }
            }
            if (!(a.bending > 0)) continue;
            for (std::size_t t = 0; t + 2 < a.length; ++t) {
                const double* p = f + t * s;
                double* q = out + t * s;
                for (std::size_t k = 0; k < s; ++k) {
                    const double d = a.bending * (p[k] - 2 * p[k + s] + p[k + 2 * s]);
                    q[k] += d;
                    q[k + s] -= 2 * d;
                    q[k + 2 * s] += d;
                }
            }
        }
    });
}

void roughnessDiagonal(const Grid& g, const Roughness& r, std::span<double> diag) {
    std::fill(diag.begin(), diag.end(), 0.0);
    forEachAxis(g, r, [&](const AxisView& a) {
        const std::size_t s = a.stride;
        for (std::size_t o = 0; o < a.outer; ++o) {
            double* out = diag.data() + o * a.length * s;
            for (std::size_t t = 0; t < a.length; ++t) {
                // Neighbour pairs and triples that hold this voxel, with its coefficient in each.
                double c = a.membrane * (static_cast<double>(t > 0) + (t + 1 < a.length));
                if (a.bending > 0) {
                    if (t >= 2) c += a.bending;
                    if (t + 2 < a.length) c += a.bending;
                    if (t >= 1 && t + 1 < a.length) c += 4 * a.bending;
                }
                for (std::size_t k = 0; k < s; ++k) out[t * s + k] += c;
            }
        }
    });
}

}  // namespace ondrift::pairs
