#include "pipeline/kernels/dropout_blend.h"

#include <algorithm>
#include <cmath>

namespace ondrift {

std::vector<unsigned char> trustedMask(Dims d, std::span<const unsigned char> inside) {
    std::vector<unsigned char> kept(inside.begin(), inside.end());
    if (d.x < 1 || d.y < 1 || d.z < 1 || inside.size() != d.voxels()) return kept;
    const std::size_t row = static_cast<std::size_t>(d.x), plane = row * d.y;
    for (int z = 0; z < d.z; ++z)
        for (int y = 0; y < d.y; ++y)
            for (int x = 0; x < d.x; ++x) {
                const std::size_t c = d.index(x, y, z);
                if (inside[c] == 0) continue;
                const int faces = (x > 0 && inside[c - 1]) + (x + 1 < d.x && inside[c + 1]) +
                                  (y > 0 && inside[c - row]) + (y + 1 < d.y && inside[c + row]) +
                                  (z > 0 && inside[c - plane]) + (z + 1 < d.z && inside[c + plane]);
                if (faces < 2) kept[c] = 0;
            }
    for (const unsigned char k : kept)
        if (k != 0) return kept;
    return {inside.begin(), inside.end()};
}

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
