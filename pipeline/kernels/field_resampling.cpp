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
// within the covered range (so floor fits an int).
inline Axis locate(double p, int n) {
    const double nearest = std::nearbyint(p);
    if (std::fabs(p - nearest) < kSnap) p = nearest;
    const double lower = std::floor(p);
    Axis a;
    a.f = p - lower;
    a.i0 = static_cast<int>(lower);
    a.i1 = a.i0 + 1;
    if (a.i0 < 0) a.i0 = 0;
    if (a.i1 > n - 1) a.i1 = n - 1;
    if (a.i0 > n - 1) a.i0 = n - 1;
    if (a.i1 < 0) a.i1 = 0;
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
                double sum = 0.0, weight = 0.0;
                for (int c = 0; c < 8; ++c) {
                    const int x = (c & 1) ? ax.i1 : ax.i0;
                    const int y = (c & 2) ? ay.i1 : ay.i0;
                    const int z = (c & 4) ? az.i1 : az.i0;
                    const double w = ((c & 1) ? ax.f : 1.0 - ax.f) * ((c & 2) ? ay.f : 1.0 - ay.f) *
                                     ((c & 4) ? az.f : 1.0 - az.f);
                    if (w == 0.0) continue;
                    const std::size_t s = source.index(x, y, z);
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
