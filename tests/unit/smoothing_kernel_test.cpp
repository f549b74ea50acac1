// The 3×3 slice convolution against a plain reference, and the "Smooth" kernel's known values.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "pipeline/kernels/smoothing.h"
#include "tests/reference/pipeline_reference.h"

using ondrift::convolveSlice;
using ondrift::KernelWeights;
using ondrift::makeKernel;

namespace {

std::vector<double> referenceConvolution(const std::vector<double>& in, int nx, int ny,
                                         const KernelWeights& k) {
    return reference::smoothSlices(in, nx, ny, 1, k.data());
}

std::vector<double> convolve(const std::vector<double>& in, int nx, int ny,
                             const KernelWeights& k) {
    std::vector<double> out(in.size(), -1.0);
    convolveSlice(in, out, nx, ny, k);
    return out;
}

KernelWeights smooth() {
    KernelWeights k;
    EXPECT_TRUE(makeKernel(2, k));
    return k;
}

void expectSameBits(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i]), std::bit_cast<std::uint64_t>(b[i]))
            << "at " << i << ": " << a[i] << " vs " << b[i];
    }
}

}  // namespace

TEST(SmoothingKernel, Weights) {
    KernelWeights k;
    EXPECT_TRUE(makeKernel(2, k));
    for (const float w : k) EXPECT_EQ(static_cast<double>(w), 0.1111111119389534);
    EXPECT_STREQ(ondrift::kernelName(2), "Smooth");
    EXPECT_FALSE(makeKernel(3, k));
    for (const float w : k) EXPECT_EQ(w, 0.0f);
    EXPECT_STREQ(ondrift::kernelName(0), "unknown");
}

TEST(SmoothingKernel, MatchesReferenceBitForBit) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> value(-1000.0, 1000.0);
    std::uniform_real_distribution<float> weight(-2.0f, 2.0f);
    const int sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {3, 3}, {4, 2}, {17, 9}, {64, 64}};
    for (const auto& size : sizes) {
        const int nx = size[0];
        const int ny = size[1];
        std::vector<double> in(static_cast<std::size_t>(nx * ny));
        for (double& v : in) v = value(random);
        KernelWeights k;
        for (float& w : k) w = weight(random);
        SCOPED_TRACE(testing::Message() << nx << " x " << ny);
        expectSameBits(convolve(in, nx, ny, k), referenceConvolution(in, nx, ny, k));
        expectSameBits(convolve(in, nx, ny, smooth()), referenceConvolution(in, nx, ny, smooth()));
    }
}

TEST(SmoothingKernel, NonFiniteValuesSpreadLikeTheReference) {
    const int nx = 6;
    const int ny = 5;
    std::vector<double> in(nx * ny, 1.0);
    in[8] = std::numeric_limits<double>::quiet_NaN();
    in[20] = std::numeric_limits<double>::infinity();
    in[0] = -0.0;
    expectSameBits(convolve(in, nx, ny, smooth()), referenceConvolution(in, nx, ny, smooth()));
}

TEST(SmoothingKernel, ConstantImage) {
    const int nx = 8;
    const int ny = 6;
    const std::vector<double> out = convolve(std::vector<double>(nx * ny, 100.0), nx, ny, smooth());
    // Nine float weights sum to slightly more than 1.
    EXPECT_DOUBLE_EQ(out[3 * nx + 3], 100.00000074505806);
    EXPECT_GT(out[3 * nx + 3], 100.0);
    // A corner sees four voxels, an edge six; the weights are not renormalised there.
    const double w = 0.1111111119389534;
    EXPECT_DOUBLE_EQ(out[0], 4 * w * 100.0);
    EXPECT_DOUBLE_EQ(out[3], 6 * w * 100.0);
    EXPECT_DOUBLE_EQ(out[(ny - 1) * nx + nx - 1], 4 * w * 100.0);
}

TEST(SmoothingKernel, WindowIsCentredOnTheVoxel) {
    const int n = 21;
    std::vector<double> in(n * n, 0.0);
    in[10 * n + 10] = 900.0;
    const std::vector<double> once = convolve(in, n, n, smooth());
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const bool inside = x >= 9 && x <= 11 && y >= 9 && y <= 11;
            EXPECT_EQ(once[y * n + x], inside ? 900.0 * 0.1111111119389534 : 0.0) << x << "," << y;
        }
    }
    // Two passes widen the support to 5×5 around the same centre: nothing moves.
    const std::vector<double> twice = convolve(once, n, n, smooth());
    double sum = 0.0;
    double sx = 0.0;
    double sy = 0.0;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const double v = twice[y * n + x];
            const bool inside = x >= 8 && x <= 12 && y >= 8 && y <= 12;
            EXPECT_EQ(v != 0.0, inside) << x << "," << y;
            sum += v;
            sx += v * x;
            sy += v * y;
        }
    }
    EXPECT_NEAR(sx / sum, 10.0, 1e-12);
    EXPECT_NEAR(sy / sum, 10.0, 1e-12);
}

TEST(SmoothingKernel, WeightIndexOrientation) {
    // A single voxel shows the kernel: out(x0 − 1 + i, y0 − 1 + j) = k[3·i + j].
    const int n = 5;
    std::vector<double> in(n * n, 0.0);
    in[2 * n + 2] = 1.0;
    KernelWeights k;
    for (int m = 0; m < 9; ++m) k[m] = static_cast<float>(m + 1);
    const std::vector<double> out = convolve(in, n, n, k);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(out[(1 + j) * n + (1 + i)], 3 * i + j + 1.0) << "i=" << i << " j=" << j;
        }
    }
}
