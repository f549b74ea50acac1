#include "pipeline/kernels/dropout_blend.h"

#include <algorithm>
#include <cmath>

namespace ondrift {

long long blendMeasuredPhase(Dims d, std::span<double> field, std::span<const double> wrapped,
                             std::span<const double> magnitude,
                             std::span<const unsigned char> trusted, double threshold) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (field.size() != n || wrapped.size() != n || magnitude.size() != n || trusted.size() != n ||
        !(threshold > 0)) {
        return -1;
    }
    long long moved = 0;
    for (std::size_t v = 0; v < n; ++v) {
        const double m = magnitude[v];
        if (trusted[v] != 0 || !(m > 0.5 * threshold)) continue;
        const double f = field[v], w = wrapped[v];
        if (!std::isfinite(f) || !std::isfinite(w)) continue;
        const double measured = w + std::nearbyint(f - w);
        const double weight = std::min(1.0, m / threshold);
        field[v] = f + weight * weight * (measured - f);
        ++moved;
    }
    return moved;
}

}  // namespace ondrift
