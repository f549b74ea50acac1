// Floor and nearest whole number without a library call per voxel (the baseline x86-64 target
// has no rounding instruction): exact for every double; NaN and huge values take std::floor.
#ifndef ONDRIFT_PIPELINE_KERNELS_WHOLE_NUMBERS_H
#define ONDRIFT_PIPELINE_KERNELS_WHOLE_NUMBERS_H

#include <cmath>
#include <cstdint>

namespace ondrift {

inline double floorOf(double x) {
    if (x > -4503599627370496.0 && x < 4503599627370496.0) {  // |x| < 2^52
        const auto t = static_cast<std::int64_t>(x);          // toward zero
        const double f = static_cast<double>(t);
        return f > x ? f - 1.0 : f;
    }
    return std::floor(x);
}

/// The whole number nearest to x, halves rounded up (x = 2.5 gives 3, −2.5 gives −2).
inline double nearestWhole(double x) { return floorOf(x + 0.5); }

/// A whole number of cycles as a 32-bit integer: nearest to x, 0 for NaN, clamped to ±2^30.
inline std::int32_t cycleCount(double x) {
    const double k = nearestWhole(x);
    if (!(k == k)) return 0;
    constexpr double kLimit = 1073741824.0;
    return static_cast<std::int32_t>(k < -kLimit ? -kLimit : (k > kLimit ? kLimit : k));
}

}  // namespace ondrift

#endif
