#include "pipeline/kernels/mask.h"

#include <cstddef>

namespace ondrift {

void thresholdMask(std::span<const double> source, std::span<double> mask, double threshold,
                   double maskValue) {
    const std::size_t n = source.size() < mask.size() ? source.size() : mask.size();
    for (std::size_t i = 0; i < n; ++i) mask[i] = source[i] > threshold ? maskValue : 0.0;
}

void zeroWhereMasked(std::span<double> image, std::span<const double> mask) {
    const std::size_t n = image.size() < mask.size() ? image.size() : mask.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (mask[i] < 1.0) image[i] = 0.0;
    }
}

}  // namespace ondrift
