#include "pipeline/kernels/masked_smoothing.h"

#include <cmath>
#include <cstddef>
#include <vector>

namespace ondrift {

bool smoothInsideMask(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                      double rangeSigma) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (field.size() != n || inside.size() != n) return false;
    const std::vector<double> in(field.begin(), field.end());
    const bool ranged = rangeSigma > 0 && std::isfinite(rangeSigma);
    const double scale = ranged ? -0.5 / (rangeSigma * rangeSigma) : 0.0;
    for (int z = 0; z < d.z; ++z) {
        for (int y = 0; y < d.y; ++y) {
            for (int x = 0; x < d.x; ++x) {
                const std::size_t c = d.index(x, y, z);
                if (inside[c] == 0) continue;
                const double centre = in[c];
                double sum = 0, weight = 0;
                for (int j = y - 1; j <= y + 1; ++j) {
                    if (j < 0 || j >= d.y) continue;
                    for (int i = x - 1; i <= x + 1; ++i) {
                        if (i < 0 || i >= d.x) continue;
                        const std::size_t q = d.index(i, j, z);
                        if (inside[q] == 0) continue;
                        double w = 1.0;
                        if (ranged) {
                            const double t = in[q] - centre;
                            w = std::exp(scale * t * t);
                        }
                        sum += w * in[q];
                        weight += w;
                    }
                }
                field[c] = sum / weight;  // the centre itself is inside: weight >= 1
            }
        }
    }
    return true;
}

}  // namespace ondrift
