#include "pipeline/kernels/field_map.h"

#include <cstddef>

namespace ondrift {

void fieldFromPhase(std::span<const double> phase, std::span<double> out, double echoTimeDiff) {
    const double factor = 1.0 / echoTimeDiff;
    const std::size_t n = phase.size() < out.size() ? phase.size() : out.size();
    const double* in = phase.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = factor * in[i];
}

}  // namespace ondrift
