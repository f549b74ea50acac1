// Plain, loop-for-loop versions of the smoothing and undistortion arithmetic, used by the tests
// as the oracle for the optimised kernels and for the values the plug-in saves.
#ifndef ONDRIFT_TESTS_REFERENCE_PIPELINE_REFERENCE_H
#define ONDRIFT_TESTS_REFERENCE_PIPELINE_REFERENCE_H

#include <cmath>
#include <cstddef>
#include <vector>

namespace reference {

/// One 3×3 pass over every slice of nx·ny·slices values: the window centred on the voxel, j
/// outer and i inner, weight k[3·i + j] widened to double, 0 outside the slice.
inline std::vector<double> smoothSlices(const std::vector<double>& in, int nx, int ny, int slices,
                                        const float* k) {
    std::vector<double> out(in.size(), 0.0);
    for (int s = 0; s < slices; ++s) {
        const std::size_t base = static_cast<std::size_t>(s) * nx * ny;
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x) {
                double sum = 0.0;
                for (int j = 0; j <= 2; ++j) {
                    for (int i = 0; i <= 2; ++i) {
                        const int sx = x + 1 - i;
                        const int sy = y + 1 - j;
                        double v = 0.0;
                        if (sx >= 0 && sy >= 0 && sx < nx && sy < ny) v = in[base + sy * nx + sx];
                        sum += static_cast<double>(k[3 * i + j]) * v;
                    }
                }
                out[base + y * nx + x] = sum;
            }
        }
    }
    return out;
}

/// The "Smooth" weights.
inline constexpr float kSmooth[9] = {0.11111111f, 0.11111111f, 0.11111111f,
                                     0.11111111f, 0.11111111f, 0.11111111f,
                                     0.11111111f, 0.11111111f, 0.11111111f};

/// floor or ceil of a position, clamped to 0…n−1 before it becomes an integer.
inline int clampedIndex(double i, int n) {
    if (!(i >= 0.0)) return 0;
    if (i >= n - 1) return n - 1;
    return static_cast<int>(i);
}

/// One volume of nx·ny·nz values resampled along the axis of the direction code 1…6 (x, y, z;
/// odd codes add the shift, even ones subtract it), clamped linear interpolation.
inline std::vector<double> undistortVolume(const std::vector<double>& src,
                                           const std::vector<double>& shift, int nx, int ny, int nz,
                                           int code) {
    std::vector<double> out(src.size(), 0.0);
    auto at = [&](int x, int y, int z) { return src[x + nx * (y + ny * z)]; };
    const int axis = (code - 1) / 2;
    for (int z = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x) {
                const double s = shift[x + nx * (y + ny * z)];
                const double own = axis == 0 ? x : (axis == 1 ? y : z);
                const double p = code % 2 == 1 ? own + s : own - s;
                const double f = p - std::floor(p);
                const int n = axis == 0 ? nx : (axis == 1 ? ny : nz);
                const int i0 = clampedIndex(std::floor(p), n);
                const int i1 = clampedIndex(std::ceil(p), n);
                double e0 = 0.0;
                double e1 = 0.0;
                if (axis == 0) {
                    e0 = at(i0, y, z);
                    e1 = at(i1, y, z);
                } else if (axis == 1) {
                    e0 = at(x, i0, z);
                    e1 = at(x, i1, z);
                } else {
                    e0 = at(x, y, i0);
                    e1 = at(x, y, i1);
                }
                out[x + nx * (y + ny * z)] = (1 - f) * e0 + f * e1;
            }
        }
    }
    return out;
}

}  // namespace reference

#endif
