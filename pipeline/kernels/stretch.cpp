#include "pipeline/kernels/stretch.h"

#include <algorithm>
#include <cstdint>

namespace ondrift {

std::size_t stretchFactors(std::span<const double> shift, std::span<double> out, Dims d,
                           int direction) {
    if (direction < 1 || direction > 6 || d.x <= 0 || d.y <= 0 || d.z <= 0) return 0;
    const std::size_t n = d.voxels();
    if (shift.size() < n || out.size() < n) return 0;
    const int axis = (direction - 1) / 2;
    const double sign = direction % 2 == 1 ? 1.0 : -1.0;
    const int length = axis == 0 ? d.x : (axis == 1 ? d.y : d.z);
    const std::size_t stride = axis == 0   ? 1
                               : axis == 1 ? static_cast<std::size_t>(d.x)
                                           : static_cast<std::size_t>(d.x) * d.y;
    constexpr double kMaxStretch = 1.0 / kMinStretch;
    std::size_t clamped = 0;
    for (int z = 0; z < d.z; ++z) {
        for (int y = 0; y < d.y; ++y) {
            for (int x = 0; x < d.x; ++x) {
                const std::size_t i = d.index(x, y, z);
                const int own = axis == 0 ? x : (axis == 1 ? y : z);
                double slope = 0.0;
                if (length > 1) {
                    const std::size_t below = own > 0 ? i - stride : i;
                    const std::size_t above = own < length - 1 ? i + stride : i;
                    const double span = (own > 0 ? 1.0 : 0.0) + (own < length - 1 ? 1.0 : 0.0);
                    slope = (shift[above] - shift[below]) / span;
                }
                const double stretch = 1.0 + sign * slope;
                if (stretch >= kMinStretch && stretch <= kMaxStretch) {
                    out[i] = stretch;
                } else {
                    out[i] = stretch > kMaxStretch ? kMaxStretch : kMinStretch;
                    ++clamped;
                }
            }
        }
    }
    return clamped;
}

void applyStretch(std::span<double> values, std::span<const double> factors) {
    const std::size_t n = std::min(values.size(), factors.size());
    for (std::size_t i = 0; i < n; ++i) values[i] *= factors[i];
}

}  // namespace ondrift
