#include "pipeline/kernels/smoothing.h"

#include <cstddef>

namespace ondrift {

bool makeKernel(int kernelId, KernelWeights& weights) {
    weights.fill(0.0f);
    if (kernelId != kSmoothKernel) return false;
    weights.fill(0.11111111f);
    return true;
}

const char* kernelName(int kernelId) { return kernelId == kSmoothKernel ? "Smooth" : "unknown"; }

namespace {

// One output voxel with bounds tests; used along the slice's edges (and for slices too narrow
// for the interior loop). Out-of-slice positions add k·0 like every other term, so the sum is
// formed exactly as in the interior.
double edgeVoxel(const double* in, int nx, int ny, int x, int y, const double* k) {
    double sum = 0.0;
    for (int j = 0; j < 3; ++j) {
        const int sy = y + 1 - j;
        for (int i = 0; i < 3; ++i) {
            const int sx = x + 1 - i;
            const double v = (sx >= 0 && sx < nx && sy >= 0 && sy < ny)
                                 ? in[static_cast<std::size_t>(sy) * nx + sx]
                                 : 0.0;
            sum += k[3 * i + j] * v;
        }
    }
    return sum;
}

}  // namespace

void convolveSlice(std::span<const double> in, std::span<double> out, int nx, int ny,
                   const KernelWeights& weights) {
    if (nx <= 0 || ny <= 0) return;
    const std::size_t n = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    if (in.size() < n || out.size() < n) return;
    double k[9];
    for (int m = 0; m < 9; ++m) k[m] = static_cast<double>(weights[m]);
    const double* src = in.data();
    double* dst = out.data();
    const std::size_t stride = static_cast<std::size_t>(nx);

    for (int y = 0; y < ny; ++y) {
        double* row = dst + static_cast<std::size_t>(y) * stride;
        if (y == 0 || y == ny - 1 || nx < 3) {
            for (int x = 0; x < nx; ++x) row[x] = edgeVoxel(src, nx, ny, x, y, k);
            continue;
        }
        // Interior rows: the window lies inside the slice for 1 ≤ x ≤ nx−2. The nine terms are
        // added in the fixed j-outer, i-inner order; each x is independent, so the compiler may
        // vectorise across x without changing any single sum.
        const double* below = src + static_cast<std::size_t>(y + 1) * stride;  // j = 0
        const double* same = src + static_cast<std::size_t>(y) * stride;       // j = 1
        const double* above = src + static_cast<std::size_t>(y - 1) * stride;  // j = 2
        row[0] = edgeVoxel(src, nx, ny, 0, y, k);
        for (int x = 1; x < nx - 1; ++x) {
            double sum = 0.0;
            sum += k[0] * below[x + 1];
            sum += k[3] * below[x];
            sum += k[6] * below[x - 1];
            sum += k[1] * same[x + 1];
            sum += k[4] * same[x];
            sum += k[7] * same[x - 1];
            sum += k[2] * above[x + 1];
            sum += k[5] * above[x];
            sum += k[8] * above[x - 1];
            row[x] = sum;
        }
        row[nx - 1] = edgeVoxel(src, nx, ny, nx - 1, y, k);
    }
}

}  // namespace ondrift
