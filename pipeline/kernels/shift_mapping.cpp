#include "pipeline/kernels/shift_mapping.h"

namespace ondrift {
namespace {

/// The centred coordinate of index v on an axis of n voxels, in the float steps of the mapping.
inline float centred(int v, int n) {
    return static_cast<float>(v) - static_cast<float>(n - 1) / 2.0f;
}

/// Rounds a centred float coordinate back onto an axis of n voxels (roundHalfUp of the widened
/// value); false when it falls outside or is not a number. floor(d) lies in [0, n) exactly when
/// d does, and for such d truncation is floor, so the index needs no floor call.
inline bool onAxis(float centredValue, int n, int& index) {
    const float shifted = centredValue + static_cast<float>(n - 1) / 2.0f;
    const double d = static_cast<double>(shifted) + 0.5;
    if (!(d >= 0.0 && d < static_cast<double>(n))) return false;
    index = static_cast<int>(d);
    return true;
}

}  // namespace

void mapShiftsThroughAnatomy(const Matrix4& e, const Matrix4& p, Dims anatomy, Dims target,
                             Dims source, std::span<const double> sourceValues,
                             std::span<double> targetValues, std::span<float> scratch) {
    const int nx = anatomy.x;
    // transformPoint4 sums M(r,0)·p0 + M(r,1)·p1 + M(r,2)·p2 + M(r,3)·1 from the left. Only p0
    // changes along a row, so the first products are tabulated per column and the other three
    // per row; adding them in the same order gives the same floats as the full product.
    float* ex0 = scratch.data();
    float* ex1 = ex0 + nx;
    float* ex2 = ex1 + nx;
    float* px0 = ex2 + nx;
    float* px1 = px0 + nx;
    float* px2 = px1 + nx;
    for (int x = 0; x < nx; ++x) {
        const float cx = centred(x, nx);
        ex0[x] = e[0] * cx;
        ex1[x] = e[4] * cx;
        ex2[x] = e[8] * cx;
        px0[x] = p[0] * cx;
        px1[x] = p[4] * cx;
        px2[x] = p[8] * cx;
    }
    for (int z = 0; z < anatomy.z; ++z) {
        const float cz = centred(z, anatomy.z);
        for (int y = 0; y < anatomy.y; ++y) {
            const float cy = centred(y, anatomy.y);
            // Per-row terms M(r,1)·p1, M(r,2)·p2 and M(r,3)·1 of both matrices.
            const float e01 = e[1] * cy, e02 = e[2] * cz, e03 = e[3] * 1.0f;
            const float e11 = e[5] * cy, e12 = e[6] * cz, e13 = e[7] * 1.0f;
            const float e21 = e[9] * cy, e22 = e[10] * cz, e23 = e[11] * 1.0f;
            const float p01 = p[1] * cy, p02 = p[2] * cz, p03 = p[3] * 1.0f;
            const float p11 = p[5] * cy, p12 = p[6] * cz, p13 = p[7] * 1.0f;
            const float p21 = p[9] * cy, p22 = p[10] * cz, p23 = p[11] * 1.0f;
            for (int x = 0; x < nx; ++x) {
                int i = 0, j = 0, k = 0;
                if (!onAxis(ex0[x] + e01 + e02 + e03, target.x, i)) continue;
                if (!onAxis(ex1[x] + e11 + e12 + e13, target.y, j)) continue;
                if (!onAxis(ex2[x] + e21 + e22 + e23, target.z, k)) continue;
                int a = 0, b = 0, c = 0;
                if (!onAxis(px0[x] + p01 + p02 + p03, source.x, a)) continue;
                if (!onAxis(px1[x] + p11 + p12 + p13, source.y, b)) continue;
                if (!onAxis(px2[x] + p21 + p22 + p23, source.z, c)) continue;
                const float value = static_cast<float>(sourceValues[source.index(a, b, c)]);
                targetValues[target.index(i, j, k)] = static_cast<double>(value);
            }
        }
    }
}

}  // namespace ondrift
