#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "pipeline/kernels/quadratic_smoothing.h"

using ondrift::Dims;
using ondrift::smoothQuadratic;

namespace {

double quadratic(int i, int j, int k) {
    const double x = i - 7.3, y = j - 5.1, z = k - 4.6;
    return 12.0 + 3.0 * x - 2.0 * y + 0.5 * z + 0.8 * x * x - 0.4 * y * y + 0.3 * x * y +
           0.25 * z * z - 0.1 * y * z;
}

}  // namespace

TEST(QuadraticSmoothing, SecondOrderFieldsPassUnchangedUpToTheGridEdge) {
    // A box average would lower every voxel of a curved field by its curvature, and repeating
    // the edge voxel would bend a slope at the ends of each line; the local quadratic fit must
    // return the field itself everywhere.
    const Dims d{17, 13, 11};
    std::vector<double> f(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) f[d.index(i, j, k)] = quadratic(i, j, k);
    ASSERT_TRUE(smoothQuadratic(d, f));
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i)
                ASSERT_NEAR(f[d.index(i, j, k)], quadratic(i, j, k), 1e-9) << i << j << k;
}

TEST(QuadraticSmoothing, NoiseShrinksAndALevelStaysEverywhereIncludingTheEdges) {
    const Dims d{24, 24, 24};
    std::mt19937 engine(5);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> f(d.voxels());
    for (double& v : f) v = 40.0 + normal(engine);
    ASSERT_TRUE(smoothQuadratic(d, f));
    double sum = 0, squares = 0;
    std::size_t n = 0;
    for (int k = 3; k < d.z - 3; ++k)
        for (int j = 3; j < d.y - 3; ++j)
            for (int i = 3; i < d.x - 3; ++i) {
                const double e = f[d.index(i, j, k)] - 40.0;
                sum += e;
                squares += e * e;
                ++n;
            }
    // Each axis keeps Σ taps² = 1/3 of the variance: (1/3)³ in all.
    const double variance = squares / static_cast<double>(n) - std::pow(sum / n, 2);
    EXPECT_LT(variance, 0.06);
    EXPECT_GT(variance, 0.02);

    std::vector<double> flat(d.voxels(), -7.5);
    ASSERT_TRUE(smoothQuadratic(d, flat));
    for (const double v : flat) ASSERT_NEAR(v, -7.5, 1e-12);  // every row of taps sums to 1
}

TEST(QuadraticSmoothing, ShortAxesAreLeftAloneAndBadSizesTouchNothing) {
    // Three slices: only the in-plane passes run, so each slice is filtered on its own.
    const Dims d{9, 8, 3};
    std::vector<double> f(d.voxels());
    for (std::size_t v = 0; v < f.size(); ++v) f[v] = static_cast<double>((v * 37) % 11);
    std::vector<double> slices = f;
    ASSERT_TRUE(smoothQuadratic(d, f));
    const Dims one{9, 8, 1};
    for (int k = 0; k < d.z; ++k) {
        std::vector<double> s(slices.begin() + k * 72, slices.begin() + (k + 1) * 72);
        ASSERT_TRUE(smoothQuadratic(one, s));
        for (int v = 0; v < 72; ++v)
            ASSERT_DOUBLE_EQ(f[static_cast<std::size_t>(k * 72 + v)], s[v]);
    }
    std::vector<double> tiny{1.0, 5.0, 2.0};
    EXPECT_TRUE(smoothQuadratic({3, 1, 1}, tiny));
    EXPECT_EQ(tiny, (std::vector<double>{1.0, 5.0, 2.0}));
    EXPECT_FALSE(smoothQuadratic({4, 1, 1}, tiny));
    EXPECT_FALSE(smoothQuadratic({0, 1, 1}, std::span<double>()));
    EXPECT_EQ(tiny, (std::vector<double>{1.0, 5.0, 2.0}));
}

TEST(QuadraticSmoothing, EveryVoxelGetsThePlainSumOfItsTapsBitForBit) {
    // The filter runs in vectors as wide as the processor offers; every voxel must still get
    // the plain loop's value: the taps' products added one by one in window order, from 0.
    // The taps are read off a line exactly one window long, one unit sample at a time.
    constexpr int kWindow = ondrift::kQuadraticWindow, kHalf = kWindow / 2;
    std::array<std::array<double, kWindow>, kWindow> taps{};  // [window position][sample]
    for (int u = 0; u < kWindow; ++u) {
        std::vector<double> unit(kWindow, 0.0);
        unit[static_cast<std::size_t>(u)] = 1.0;
        ASSERT_TRUE(smoothQuadratic({kWindow, 1, 1}, unit));
        for (int p = 0; p < kWindow; ++p) taps[p][u] = unit[static_cast<std::size_t>(p)];
    }
    const Dims d{45, 38, 20};
    std::mt19937 engine(11);
    std::normal_distribution<double> normal(0.0, 3.0);
    std::vector<double> f(d.voxels());
    for (double& v : f) v = normal(engine);
    std::vector<double> expected = f;
    const std::size_t stride[3] = {1, static_cast<std::size_t>(d.x),
                                   static_cast<std::size_t>(d.x) * d.y};
    const int extent[3] = {d.x, d.y, d.z};
    for (int axis = 0; axis < 3; ++axis) {
        const std::vector<double> in = expected;
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i) {
                    const int c[3] = {i, j, k};
                    const int s = c[axis], length = extent[axis];
                    const int first = std::clamp(s - kHalf, 0, length - kWindow);
                    const std::size_t at = d.index(i, j, k);
                    const std::size_t start =
                        at - static_cast<std::size_t>(s - first) * stride[axis];
                    double v = 0;
                    for (int u = 0; u < kWindow; ++u)
                        v += taps[s - first][u] *
                             in[start + static_cast<std::size_t>(u) * stride[axis]];
                    expected[at] = v;
                }
    }
    ASSERT_TRUE(smoothQuadratic(d, f));
    EXPECT_EQ(std::memcmp(f.data(), expected.data(), f.size() * sizeof(double)), 0);
}
