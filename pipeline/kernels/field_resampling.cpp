#include "pipeline/kernels/field_resampling.h"

#include <cmath>

namespace ondrift {

namespace {

constexpr double kSnap = 1e-6;
// The source cell border, widened by the snapping tolerance so that grids sharing a field of
// view through rounded records still count as covering each other.
constexpr double kBorder = 0.5 + kSnap;
// Share of the trilinear weight that inside neighbours must carry for a masked sample.
constexpr double kMinimumInsideWeight = 0.5;

struct Axis {
    int i0 = 0;
    int i1 = 0;
    double f = 0.0;
};

// Neighbours and upper weight on an axis of n voxels, for a position already known to be
// within the covered range (−0.5 − kSnap … n − 0.5 + kSnap, so the floor fits an int and is
// found by truncation of the position shifted above zero).
inline Axis locate(double p, int n) {
    Axis a;
    int lower = static_cast<int>(p + 1.0) - 1;
    double f = p - lower;
    if (f < kSnap) {
        f = 0.0;
    } else if (f > 1.0 - kSnap) {
        f = 0.0;
        ++lower;
    }
    a.f = f;
    a.i0 = lower < 0 ? 0 : (lower > n - 1 ? n - 1 : lower);
    a.i1 = lower + 1 > n - 1 ? n - 1 : (lower + 1 < 0 ? 0 : lower + 1);
    return a;
}

inline bool covers(double p, int n) { return p >= -kBorder && p <= n - 1 + kBorder; }

}  // namespace

ResampleCounts resampleTrilinear(Dims source, std::span<const double> sourceValues,
                                 std::span<const unsigned char> sourceInside, Dims target,
                                 const Affine34& targetToSource, std::span<double> targetValues,
                                 std::span<unsigned char> targetInside) {
    ResampleCounts counts;
    const bool masked = !sourceInside.empty();
    std::size_t t = 0;
    for (int k = 0; k < target.z; ++k) {
        for (int j = 0; j < target.y; ++j) {
            for (int i = 0; i < target.x; ++i, ++t) {
                const Vec3d p = applyAffine(targetToSource, i, j, k);
                targetValues[t] = 0.0;
                targetInside[t] = 0;
                if (!covers(p[0], source.x) || !covers(p[1], source.y) || !covers(p[2], source.z)) {
                    continue;
                }
                ++counts.covered;
                const Axis ax = locate(p[0], source.x);
                const Axis ay = locate(p[1], source.y);
                const Axis az = locate(p[2], source.z);
                const double wx[2] = {1.0 - ax.f, ax.f};
                const double wy[2] = {1.0 - ay.f, ay.f};
                const double wz[2] = {1.0 - az.f, az.f};
                const int xs[2] = {ax.i0, ax.i1};
                const std::size_t rows[2] = {static_cast<std::size_t>(ay.i0) * source.x,
                                             static_cast<std::size_t>(ay.i1) * source.x};
                const std::size_t planes[2] = {
                    static_cast<std::size_t>(az.i0) * source.x * source.y,
                    static_cast<std::size_t>(az.i1) * source.x * source.y};
                double sum = 0.0, weight = 0.0;
                for (int c = 0; c < 8; ++c) {
                    const int bx = c & 1, by = (c >> 1) & 1, bz = c >> 2;
                    const double w = wx[bx] * wy[by] * wz[bz];
                    if (w == 0.0) continue;
                    const std::size_t s = planes[bz] + rows[by] + static_cast<std::size_t>(xs[bx]);
                    if (masked && sourceInside[s] == 0) continue;
                    sum += w * sourceValues[s];
                    weight += w;
                }
                if (weight < kMinimumInsideWeight) continue;
                targetValues[t] = masked ? sum / weight : sum;
                targetInside[t] = 1;
                ++counts.inside;
            }
        }
    }
    return counts;
}

}  // namespace ondrift
