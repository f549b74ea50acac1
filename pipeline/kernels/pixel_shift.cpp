#include "pipeline/kernels/pixel_shift.h"

#include <cstddef>

#include "pipeline/kernels/pi15.h"

namespace ondrift {

void shiftFromField(std::span<const double> field, std::span<double> out, double bandWidthPE,
                    int applyTwoPi) {
    const double divisor = applyTwoPi == 1 ? kTwoPi15 * bandWidthPE : bandWidthPE;
    const std::size_t n = field.size() < out.size() ? field.size() : out.size();
    const double* in = field.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = in[i] / divisor;
}

}  // namespace ondrift
