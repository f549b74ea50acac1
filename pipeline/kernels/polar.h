// Complex values (real and imaginary parts) to magnitude and phase.
#ifndef ONDRIFT_PIPELINE_KERNELS_POLAR_H
#define ONDRIFT_PIPELINE_KERNELS_POLAR_H

#include <span>

namespace ondrift {

/// magnitude[i] = hypot(re[i], im[i]) and phase[i] = atan2(im[i], re[i]) (radians, −π…π), kept
/// fractional. Works over re.size() values; the other three spans must be at least as long.
void polarFromComplex(std::span<const double> re, std::span<const double> im,
                      std::span<double> magnitude, std::span<double> phase);

}  // namespace ondrift

#endif
