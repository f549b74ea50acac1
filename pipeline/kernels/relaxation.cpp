#include "pipeline/kernels/relaxation.h"

#include <cmath>
#include <cstddef>

namespace ondrift {

namespace {

inline int lowerOf(int q, int n) { return q == 0 ? n - 1 : q - 1; }
inline int upperOf(int q, int n) { return q == n - 1 ? 0 : q + 1; }

}  // namespace

bool unwrapByRelaxation(Dims d, std::span<const double> phase, std::span<const double> weights,
                        std::span<double> solution, int iterations, double lambda) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (phase.size() < n || weights.size() < n || solution.size() < n) return false;
    const double* phi = phase.data();
    const double* w = weights.data();
    double* u = solution.data();

    for (int pass = 0; pass < 2 * iterations; ++pass) {
        const int parity = pass % 2;
        for (int z = 0; z < d.z; ++z) {
            const int zm = lowerOf(z, d.z);
            const int zp = upperOf(z, d.z);
            for (int y = 0; y < d.y; ++y) {
                const int ym = lowerOf(y, d.y);
                const int yp = upperOf(y, d.y);
                const int x0 = (parity + y + z) % 2;
                const std::size_t row = d.index(0, y, z);
                const std::size_t rowYm = d.index(0, ym, z);
                const std::size_t rowYp = d.index(0, yp, z);
                const std::size_t rowZm = d.index(0, y, zm);
                const std::size_t rowZp = d.index(0, y, zp);
                for (int x = x0; x < d.x; x += 2) {
                    const std::size_t c = row + static_cast<std::size_t>(x);
                    const std::size_t xs = static_cast<std::size_t>(x);
                    const std::size_t neighbours[6] = {
                        row + static_cast<std::size_t>(lowerOf(x, d.x)),
                        row + static_cast<std::size_t>(upperOf(x, d.x)),
                        rowYm + xs,
                        rowYp + xs,
                        rowZm + xs,
                        rowZp + xs,
                    };
                    const double wc = w[c];
                    const double diff = phi[c] - u[c];
                    // The tiny start keeps the denominator positive where every weight and
                    // lambda are 0; the voxel then keeps its value.
                    double wSum = 0.000001;
                    double a = 0.0;
                    double s = 0.0;
                    for (const std::size_t nb : neighbours) {
                        const double wn = wc * w[nb];
                        wSum += wn;
                        // The measured step, brought by whole cycles nearest to the current one.
                        const double t = diff - phi[nb] + u[nb] + 0.5;
                        a += wn * (t - std::floor(t) - 0.5);
                        s += u[nb];
                    }
                    u[c] = (u[c] * wSum + a + lambda * s) / (wSum + 6 * lambda);
                }
            }
        }
    }
    return true;
}

}  // namespace ondrift
