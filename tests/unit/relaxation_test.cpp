#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/relaxation.h"

using ondrift::Dims;
using ondrift::unwrapByRelaxation;

namespace {

constexpr double kTwoPi = 6.283185307179586;

int wrap(int q, int n) { return ((q % n) + n) % n; }

std::vector<double> pseudoRandom(std::size_t n, std::uint32_t seed, double lo, double hi) {
    std::vector<double> v(n);
    std::uint32_t s = seed;
    for (double& x : v) {
        s = s * 1664525u + 1013904223u;
        x = lo + (hi - lo) * (static_cast<double>(s >> 8) / 16777216.0);
    }
    return v;
}

// Every pass visits all voxels and skips those of the other parity; neighbours by remainder.
void plainRelaxation(Dims d, const std::vector<double>& phi, const std::vector<double>& w,
                     std::vector<double>& u, int n, double lambda) {
    for (int p = 0; p < 2 * n; ++p)
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) {
                    if ((x + y + z) % 2 != p % 2) continue;
                    const std::size_t c = d.index(x, y, z);
                    const std::size_t nb[6] = {
                        d.index(wrap(x - 1, d.x), y, z), d.index(wrap(x + 1, d.x), y, z),
                        d.index(x, wrap(y - 1, d.y), z), d.index(x, wrap(y + 1, d.y), z),
                        d.index(x, y, wrap(z - 1, d.z)), d.index(x, y, wrap(z + 1, d.z))};
                    double W = 0.000001, A = 0.0, S = 0.0;
                    for (const std::size_t q : nb) {
                        const double wn = w[c] * w[q];
                        W += wn;
                        const double t = phi[c] - u[c] - phi[q] + u[q] + 0.5;
                        A += wn * (t - std::floor(t) - 0.5);
                        S += u[q];
                    }
                    u[c] = (u[c] * W + A + lambda * S) / (W + 6 * lambda);
                }
}

}  // namespace

TEST(Relaxation, MatchesThePlainSweepOnEveryShape) {
    for (const Dims d : {Dims{5, 4, 3}, Dims{6, 6, 1}, Dims{1, 5, 3}, Dims{3, 1, 1}, Dims{1, 1, 1},
                         Dims{2, 2, 2}}) {
        const std::vector<double> phi = pseudoRandom(d.voxels(), 1, -0.5, 0.5);
        const std::vector<double> w = pseudoRandom(d.voxels(), 2, 0.0, 3.0);
        std::vector<double> mine(d.voxels(), 0.0), plain(d.voxels(), 0.0);
        ASSERT_TRUE(unwrapByRelaxation(d, phi, w, mine, 7, 0.3));
        plainRelaxation(d, phi, w, plain, 7, 0.3);
        EXPECT_EQ(mine, plain) << d.x << "x" << d.y << "x" << d.z;
    }
}

TEST(Relaxation, NoIterationsLeaveTheStartAndBadInputIsRefused) {
    const Dims d{4, 4, 2};
    const std::vector<double> phi = pseudoRandom(32, 1, -0.5, 0.5);
    const std::vector<double> w(32, 1.0);
    std::vector<double> u(32, 0.0);
    ASSERT_TRUE(unwrapByRelaxation(d, phi, w, u, 0, 0.0));
    EXPECT_EQ(u, std::vector<double>(32, 0.0));

    std::vector<double> shortWeights(31, 1.0);
    EXPECT_FALSE(unwrapByRelaxation(d, phi, shortWeights, u, 3, 0.0));
    EXPECT_FALSE(unwrapByRelaxation(Dims{4, 0, 2}, phi, w, u, 3, 0.0));
    EXPECT_EQ(u, std::vector<double>(32, 0.0));
}

TEST(Relaxation, SingleSliceCountsItselfAsBothZNeighbours) {
    // 2×2×1: voxel 0 has voxel 1 as both x neighbours, voxel 2 as both y neighbours and
    // itself as both z neighbours. phi0 − phi1 = −0.2 and phi0 − phi2 = 0.3 enter A as they
    // are; the wrapped step −0.9 of voxel 0 to itself after the start value 1 enters as 0.
    const Dims d{2, 2, 1};
    const std::vector<double> phi = {0.1, 0.3, -0.2, 0.0};
    const std::vector<double> w = {2.0, 3.0, 5.0, 7.0};
    std::vector<double> u = {1.0, 0.0, 0.0, 0.0};
    ASSERT_TRUE(unwrapByRelaxation(d, phi, w, u, 1, 0.5));
    // W = 1e-6 + 2·6 + 2·10 + 2·4, A = 12·(−0.2) + 20·0.3, S = 2·u0.
    EXPECT_NEAR(u[0], (1.0 * 40.000001 + 3.6 + 0.5 * 2.0) / (40.000001 + 3.0), 1e-12);
}

TEST(Relaxation, WrappedStepEntersAsTheNearestWholeCycleShift) {
    // phi_c − phi_n = −0.9 cycle is a step of +0.1 once a whole cycle is taken off.
    const Dims d{2, 1, 1};
    const std::vector<double> phi = {-0.45, 0.45};
    const std::vector<double> w = {1.0, 1.0};
    std::vector<double> u = {0.0, 0.0};
    ASSERT_TRUE(unwrapByRelaxation(d, phi, w, u, 1, 0.0));
    EXPECT_NEAR(u[0], 0.2 / 6.000001, 1e-12);
    EXPECT_GT(u[0], 0.0);
}

TEST(Relaxation, ZeroWeights) {
    const Dims d{4, 3, 2};
    const std::vector<double> phi = pseudoRandom(24, 4, -0.5, 0.5);
    const std::vector<double> zero(24, 0.0);
    const std::vector<double> start = pseudoRandom(24, 5, -2.0, 2.0);

    // Without regularisation nothing moves: u·W/W.
    std::vector<double> u = start;
    ASSERT_TRUE(unwrapByRelaxation(d, phi, zero, u, 3, 0.0));
    for (std::size_t v = 0; v < u.size(); ++v) EXPECT_NEAR(u[v], start[v], 1e-14);

    // With regularisation every voxel takes the mean of its six neighbours as they stand.
    u = start;
    ASSERT_TRUE(unwrapByRelaxation(d, phi, zero, u, 1, 0.8));
    std::vector<double> expected = start;
    for (int parity = 0; parity < 2; ++parity)
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) {
                    if ((x + y + z) % 2 != parity) continue;
                    expected[d.index(x, y, z)] = (expected[d.index(wrap(x - 1, 4), y, z)] +
                                                  expected[d.index(wrap(x + 1, 4), y, z)] +
                                                  expected[d.index(x, wrap(y - 1, 3), z)] +
                                                  expected[d.index(x, wrap(y + 1, 3), z)] +
                                                  expected[d.index(x, y, wrap(z - 1, 2))] +
                                                  expected[d.index(x, y, wrap(z + 1, 2))]) /
                                                 6.0;
                }
    for (std::size_t v = 0; v < u.size(); ++v) EXPECT_NEAR(u[v], expected[v], 1e-5);
}

TEST(Relaxation, UnwrapsASmoothFieldWithSeveralWraps) {
    // A periodic field spanning about 2.6 cycles, steps below half a cycle everywhere.
    const Dims d{24, 20, 4};
    std::vector<double> truth(d.voxels()), phi(d.voxels());
    for (int z = 0; z < d.z; ++z)
        for (int y = 0; y < d.y; ++y)
            for (int x = 0; x < d.x; ++x) {
                const double v = 1.1 * std::sin(kTwoPi * x / d.x) * std::cos(kTwoPi * y / d.y) +
                                 0.2 * std::sin(kTwoPi * z / d.z);
                truth[d.index(x, y, z)] = v;
                phi[d.index(x, y, z)] = v - std::floor(v + 0.5);
            }
    const std::vector<double> magnitude(d.voxels(), 1.0);
    std::vector<double> u(d.voxels(), 0.0);
    ASSERT_TRUE(unwrapByRelaxation(d, phi, magnitude, u, 1500, 0.0));
    double meanU = 0.0, meanTruth = 0.0;
    for (std::size_t v = 0; v < u.size(); ++v) {
        meanU += u[v];
        meanTruth += truth[v];
    }
    meanU /= static_cast<double>(u.size());
    meanTruth /= static_cast<double>(u.size());
    double worst = 0.0;
    for (std::size_t v = 0; v < u.size(); ++v)
        worst = std::max(worst, std::fabs((u[v] - meanU) - (truth[v] - meanTruth)));
    EXPECT_LT(worst, 1e-3);
}
