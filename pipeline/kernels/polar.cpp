#include "pipeline/kernels/polar.h"

#include <cmath>
#include <cstddef>

namespace ondrift {

void polarFromComplex(std::span<const double> re, std::span<const double> im,
                      std::span<double> magnitude, std::span<double> phase) {
    std::size_t n = re.size();
    if (im.size() < n) n = im.size();
    if (magnitude.size() < n) n = magnitude.size();
    if (phase.size() < n) n = phase.size();
    for (std::size_t i = 0; i < n; ++i) {
        magnitude[i] = std::hypot(re[i], im[i]);
        phase[i] = std::atan2(im[i], re[i]);
    }
}

}  // namespace ondrift
