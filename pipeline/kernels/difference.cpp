#include "pipeline/kernels/difference.h"

#include <cstddef>

namespace ondrift {

void subtractFrom(std::span<const double> source, std::span<double> subtrahend) {
    const std::size_t n = source.size() < subtrahend.size() ? source.size() : subtrahend.size();
    for (std::size_t i = 0; i < n; ++i) subtrahend[i] = source[i] - subtrahend[i];
}

}  // namespace ondrift
