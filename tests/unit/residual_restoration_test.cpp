// Giving back what a smooth field misses: a sharp feature the measurement shows comes back,
// the noise around a field that already fits stays out, and the window is in millimetres.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/residual_restoration.h"

using ondrift::Dims;

namespace {

/// A Gaussian deviate from a fixed sequence (Box–Muller on a linear congruential generator).
double gaussian(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    const double u = (static_cast<double>(state >> 8) + 0.5) / 16777216.0;
    state = state * 1664525u + 1013904223u;
    const double v = static_cast<double>(state >> 8) / 16777216.0;
    return std::sqrt(-2 * std::log(u)) * std::cos(2 * M_PI * v);
}

double rms(const std::vector<double>& a, const std::vector<double>& b,
           const std::vector<unsigned char>& where) {
    double sum = 0;
    int count = 0;
    for (std::size_t v = 0; v < a.size(); ++v)
        if (where[v] != 0) sum += (a[v] - b[v]) * (a[v] - b[v]), ++count;
    return std::sqrt(sum / count);
}

}  // namespace

TEST(ResidualRestoration, GivesBackASharpDipOnItsOwnSliceButNotTheNoise) {
    // 1.5 × 1.5 × 9 mm voxels; the smooth field is right except for a dip of 40 Hz, 4.5 mm
    // across, confined to one slice, that it smoothed away. The noise SD is 4 Hz.
    const Dims d{40, 40, 5};
    const ondrift::Spacing h{1.5, 1.5, 9.0};
    const std::size_t n = d.voxels();
    std::vector<double> truth(n), smooth(n), g(n), w(n, 1.0 / 16);
    std::vector<unsigned char> dip(n, 0), rest(n, 0);
    std::uint32_t state = 7;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const std::size_t v = d.index(i, j, k);
                const double r = std::hypot((i - 20) * h[0], (j - 20) * h[1]);
                const double broad = 0.5 * i - 0.2 * j + 3.0 * k;
                const double sharp = k == 2 ? -40 * std::exp(-0.5 * (r / 2.25) * (r / 2.25)) : 0;
                truth[v] = broad + sharp;
                smooth[v] = broad;
                g[v] = truth[v] + 4 * gaussian(state);
                (r < 4.5 && k == 2 ? dip : rest)[v] = 1;
            }
    std::vector<double> f = smooth;
    ASSERT_GT(ondrift::restoreResidual(d, h, g, w, f, 1.5, 1.0), 0);
    EXPECT_LT(rms(f, truth, dip), 0.35 * rms(smooth, truth, dip));
    // Away from the dip, and on the slices beside it, the field keeps to what it was: the
    // noise that passes the threshold is a fraction of the noise itself.
    EXPECT_LT(rms(f, truth, rest), 1.0);
    for (int j = 15; j <= 25; ++j)
        EXPECT_NEAR(f[d.index(20, j, 1)], smooth[d.index(20, j, 1)], 2.5);

    // Unusable inputs change nothing.
    std::vector<double> kept = smooth;
    EXPECT_EQ(ondrift::restoreResidual(d, {1.5, 0.0, 9.0}, g, w, kept, 1.5, 1.0), -1);
    EXPECT_EQ(ondrift::restoreResidual(d, h, std::vector<double>(n - 1), w, kept, 1.5, 1.0), -1);
    EXPECT_EQ(kept, smooth);
}
