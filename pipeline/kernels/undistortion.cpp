#include "pipeline/kernels/undistortion.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace ondrift {

namespace {

// Where a source position falls on an axis of n voxels: the two neighbours (clamped) and the
// weight of the upper one. Positions well inside the int range take the integer route (floor by
// truncation and correction), which gives exactly std::floor's value and avoids a library call
// per voxel; everything else, NaN included, goes through std::floor and std::ceil and is clamped
// while still a double, so that no out-of-range value is ever converted to an integer.
struct Neighbours {
    std::ptrdiff_t i0;
    std::ptrdiff_t i1;
    double f;
};

inline std::ptrdiff_t clampIndex(std::int64_t i, std::int64_t last) {
    return static_cast<std::ptrdiff_t>(i < 0 ? 0 : (i > last ? last : i));
}

inline std::ptrdiff_t clampIndex(double i, double last) {
    if (!(i >= 0.0)) return 0;
    if (i >= last) return static_cast<std::ptrdiff_t>(last);
    return static_cast<std::ptrdiff_t>(i);
}

inline Neighbours locate(double p, std::int64_t last) {
    constexpr double kFastRange = 1073741824.0;  // 2^30
    if (p > -kFastRange && p < kFastRange) {
        std::int64_t t = static_cast<std::int64_t>(p);  // toward zero
        double lower = static_cast<double>(t);
        if (lower > p) {
            --t;
            lower = static_cast<double>(t);
        }
        // floor of a whole number is the number itself, signed zero included.
        const bool whole = lower == p;
        if (whole) lower = p;
        const std::int64_t upper = whole ? t : t + 1;
        return {clampIndex(t, last), clampIndex(upper, last), p - lower};
    }
    const double lower = std::floor(p);
    const double upper = std::ceil(p);
    const double lastD = static_cast<double>(last);
    return {clampIndex(lower, lastD), clampIndex(upper, lastD), p - lower};
}

// Axis 0, 1, 2 = x, y, z; Plus: source = coordinate + shift, otherwise − shift.
template <int Axis, bool Plus>
void resample(const double* src, double* out, const double* shift, Dims d) {
    const std::size_t nx = static_cast<std::size_t>(d.x);
    const std::size_t plane = nx * static_cast<std::size_t>(d.y);
    const int n = Axis == 0 ? d.x : (Axis == 1 ? d.y : d.z);
    const std::int64_t last = n - 1;
    const std::ptrdiff_t stride =
        static_cast<std::ptrdiff_t>(Axis == 0 ? 1 : (Axis == 1 ? nx : plane));
    for (int z = 0; z < d.z; ++z) {
        for (int y = 0; y < d.y; ++y) {
            const std::size_t rowStart =
                static_cast<std::size_t>(z) * plane + static_cast<std::size_t>(y) * nx;
            const double* s = shift + rowStart;
            double* o = out + rowStart;
            for (int x = 0; x < d.x; ++x) {
                const int own = Axis == 0 ? x : (Axis == 1 ? y : z);
                // The line of voxels along the axis through (x, y, z).
                const double* line = src + rowStart + static_cast<std::size_t>(x) -
                                     static_cast<std::ptrdiff_t>(own) * stride;
                const double p =
                    Plus ? static_cast<double>(own) + s[x] : static_cast<double>(own) - s[x];
                const Neighbours nb = locate(p, last);
                o[x] = (1.0 - nb.f) * line[nb.i0 * stride] + nb.f * line[nb.i1 * stride];
            }
        }
    }
}

}  // namespace

void undistortVolume(std::span<const double> src, std::span<double> out,
                     std::span<const double> shift, Dims d, int direction) {
    if (d.x <= 0 || d.y <= 0 || d.z <= 0) return;
    const std::size_t n = d.voxels();
    if (src.size() < n || out.size() < n || shift.size() < n) return;
    const double* s = src.data();
    double* o = out.data();
    const double* sh = shift.data();
    switch (direction) {
        case 1: resample<0, true>(s, o, sh, d); break;
        case 2: resample<0, false>(s, o, sh, d); break;
        case 3: resample<1, true>(s, o, sh, d); break;
        case 4: resample<1, false>(s, o, sh, d); break;
        case 5: resample<2, true>(s, o, sh, d); break;
        case 6: resample<2, false>(s, o, sh, d); break;
        default: break;
    }
}

}  // namespace ondrift
