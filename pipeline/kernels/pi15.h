// π and 2π as the fifteen-significant-digit decimals the pipeline's results are defined with.
//
// They are not the full-precision values (3.141592653589793): every scaled phase, cycle count and
// pixel shift depends on the last digits, so the short decimals are used throughout.
#ifndef ONDRIFT_PIPELINE_KERNELS_PI15_H
#define ONDRIFT_PIPELINE_KERNELS_PI15_H

namespace ondrift {

inline constexpr double kPi15 = 3.14159265358979;
inline constexpr double kTwoPi15 = 6.28318530717958;

}  // namespace ondrift

#endif
