#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/multigrid.h"

using ondrift::Dims;
using ondrift::GridLevels;
using ondrift::LevelParams;

namespace {

constexpr double kTwoPi = 6.283185307179586;

int wrap(int q, int n) { return ((q % n) + n) % n; }

std::size_t at(Dims d, int i, int j, int k) {
    return d.index(wrap(i, d.x), wrap(j, d.y), wrap(k, d.z));
}

// Deterministic values in [-1, 1).
std::vector<double> pseudoRandom(std::size_t n, std::uint32_t seed) {
    std::vector<double> v(n);
    std::uint32_t s = seed;
    for (double& x : v) {
        s = s * 1664525u + 1013904223u;
        x = static_cast<double>(s >> 8) / 8388608.0 - 1.0;
    }
    return v;
}

// The operator written plainly from its definition, as the oracle of the row-wise kernels.
struct Weights {
    double wc, wx, wy, wz;
};
Weights weightsOf(const LevelParams& p) {
    return {p.lambda * (2 * p.s0 * p.s0 + 2 * p.s1 * p.s1 + 2 * p.s2 * p.s2) + p.mu,
            -p.lambda * p.s0 * p.s0, -p.lambda * p.s1 * p.s1, -p.lambda * p.s2 * p.s2};
}

std::vector<double> oracleStencil(Dims d, const std::vector<double>& u, const LevelParams& p) {
    const Weights w = weightsOf(p);
    std::vector<double> r(u.size());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i)
                r[d.index(i, j, k)] = w.wc * u[d.index(i, j, k)] +
                                      w.wz * (u[at(d, i, j, k - 1)] + u[at(d, i, j, k + 1)]) +
                                      w.wy * (u[at(d, i, j - 1, k)] + u[at(d, i, j + 1, k)]) +
                                      w.wx * (u[at(d, i - 1, j, k)] + u[at(d, i + 1, j, k)]);
    return r;
}

void oracleRelax(Dims d, const std::vector<double>& a, const std::vector<double>& b,
                 const LevelParams& p, int nit, std::vector<double>& u) {
    const Weights w = weightsOf(p);
    for (int t = 0; t < 2 * nit; ++t)
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i) {
                    if ((i + j + k) % 2 != t % 2) continue;
                    const std::size_t c = d.index(i, j, k);
                    u[c] = (b[c] - (w.wz * (u[at(d, i, j, k - 1)] + u[at(d, i, j, k + 1)]) +
                                    w.wy * (u[at(d, i, j - 1, k)] + u[at(d, i, j + 1, k)]) +
                                    w.wx * (u[at(d, i - 1, j, k)] + u[at(d, i + 1, j, k)]))) /
                           (a[c] + w.wc);
                }
}

// Resampling voxel by voxel without any slice cache, in the kernel's order of operations.
struct Tap {
    int idx[3];
    double w[3];
};
Tap tapOf(int q, int nIn, int nOut) {
    const double x = (q + 0.5) * (static_cast<double>(nIn) / nOut) - 0.5;
    const int c = static_cast<int>(std::floor(x + 0.5));
    return {{wrap(c - 1, nIn), c, wrap(c + 1, nIn)},
            {ondrift::bspline2_weight(c - 1 - x), ondrift::bspline2_weight(c - x),
             ondrift::bspline2_weight(c + 1 - x)}};
}
std::vector<double> oracleResize(Dims in, const std::vector<double>& f, Dims out) {
    std::vector<double> g(out.voxels());
    const auto yPass = [&](int i, int r, int s) {
        const Tap ty = tapOf(r, in.y, out.y);
        return ty.w[0] * f[in.index(i, ty.idx[0], s)] + ty.w[1] * f[in.index(i, ty.idx[1], s)] +
               ty.w[2] * f[in.index(i, ty.idx[2], s)];
    };
    const auto plane = [&](int i, int r, int s) {
        const Tap tx = tapOf(i, in.x, out.x);
        return tx.w[0] * yPass(tx.idx[0], r, s) + tx.w[1] * yPass(tx.idx[1], r, s) +
               tx.w[2] * yPass(tx.idx[2], r, s);
    };
    for (int k = 0; k < out.z; ++k) {
        const Tap tz = tapOf(k, in.z, out.z);
        for (int j = 0; j < out.y; ++j)
            for (int i = 0; i < out.x; ++i)
                g[out.index(i, j, k)] = tz.w[0] * plane(i, j, tz.idx[0]) +
                                        tz.w[1] * plane(i, j, tz.idx[1]) +
                                        tz.w[2] * plane(i, j, tz.idx[2]);
    }
    return g;
}

std::vector<double> resized(Dims in, const std::vector<double>& f, Dims out) {
    std::vector<double> g(out.voxels(), -7.0);
    std::vector<double> work(ondrift::resizeWorkSize(in, out), -7.0);
    ondrift::resize(in, f.data(), out, g.data(), work.data());
    return g;
}

double residualNorm(Dims d, const std::vector<double>& a, const std::vector<double>& b,
                    const LevelParams& p, const std::vector<double>& u) {
    std::vector<double> r(u.size());
    ondrift::apply_system(d, a.data(), p, u.data(), r.data());
    double sum = 0.0;
    for (std::size_t v = 0; v < r.size(); ++v) sum += (b[v] - r[v]) * (b[v] - r[v]);
    return std::sqrt(sum);
}

std::vector<double> solve(Dims d, const std::vector<double>& a, const std::vector<double>& b,
                          const LevelParams& p, int c, int nit) {
    std::vector<double> u(d.voxels(), 0.0);
    std::vector<double> scratch(static_cast<std::size_t>(ondrift::fmg_scratch_size(d)));
    EXPECT_TRUE(ondrift::fmg_solve(d, a, b, p, c, nit, u, scratch));
    return u;
}

}  // namespace

TEST(MultigridLevels, HalvingListsAndScratchSizes) {
    GridLevels lv;
    ASSERT_TRUE(ondrift::buildGridLevels({64, 64, 30}, LevelParams{}, lv));
    const std::vector<Dims> expected = {{64, 64, 30}, {32, 32, 15}, {16, 16, 8}, {8, 8, 4},
                                        {4, 4, 2},    {2, 2, 1},    {1, 1, 1}};
    ASSERT_EQ(lv.count, 7);
    for (std::size_t l = 0; l < expected.size(); ++l) EXPECT_EQ(lv.dims[l], expected[l]) << l;
    // The axis weight is s·n_l/n_0: an axis halved exactly gives 0.5, one of 15 of 30 too.
    EXPECT_DOUBLE_EQ(lv.params[1].s0, 0.5);
    EXPECT_DOUBLE_EQ(lv.params[2].s2, 8.0 / 30.0);

    ASSERT_TRUE(ondrift::buildGridLevels({4, 4, 2}, LevelParams{}, lv));
    EXPECT_EQ(lv.count, 3);
    EXPECT_EQ(ondrift::fmg_scratch_size({4, 4, 2}), 108);
    // Here the prolongation onto the finest grid (2·4) is the larger transfer.
    EXPECT_EQ(ondrift::fmg_scratch_size({3, 4, 2}), 88);

    ASSERT_TRUE(ondrift::buildGridLevels({1, 1, 1}, LevelParams{}, lv));
    EXPECT_EQ(lv.count, 2);
    EXPECT_EQ(lv.dims[1], (Dims{1, 1, 1}));

    ASSERT_TRUE(ondrift::buildGridLevels({3, 1, 5}, LevelParams{}, lv));
    ASSERT_EQ(lv.count, 4);
    EXPECT_EQ(lv.dims[1], (Dims{2, 1, 3}));
    EXPECT_EQ(lv.dims[2], (Dims{1, 1, 2}));
    EXPECT_EQ(lv.dims[3], (Dims{1, 1, 1}));

    ASSERT_TRUE(ondrift::buildGridLevels({32768, 1, 1}, LevelParams{}, lv));
    EXPECT_EQ(lv.count, 16);
    EXPECT_EQ(lv.dims[15], (Dims{1, 1, 1}));
}

TEST(MultigridLevels, RefusesExtentsOutsideTheLevelLimit) {
    for (const Dims d : {Dims{32769, 1, 1}, Dims{4, 0, 4}, Dims{4, 4, -3}}) {
        GridLevels lv;
        EXPECT_FALSE(ondrift::buildGridLevels(d, LevelParams{}, lv));
        EXPECT_EQ(ondrift::fmg_scratch_size(d), -1);
        std::vector<double> a(8), b(8), u(8, 5.0), scratch(1024);
        EXPECT_FALSE(ondrift::fmg_solve(d, a, b, LevelParams{}, 1, 1, u, scratch));
        EXPECT_EQ(u[0], 5.0);
    }
    // A scratch one double short is refused as well.
    const Dims d{4, 4, 2};
    std::vector<double> a(32, 0.0001), b(32, 1.0), u(32, 5.0), scratch(107);
    EXPECT_FALSE(ondrift::fmg_solve(d, a, b, LevelParams{}, 1, 1, u, scratch));
    EXPECT_EQ(u[0], 5.0);
}

TEST(MultigridResize, ExactHalvingAndDoublingWeights) {
    // A unit impulse along each axis in turn shows the three weights of every output sample.
    for (int axis = 0; axis < 3; ++axis) {
        const auto along = [axis](int n) {
            return axis == 0 ? Dims{n, 1, 1} : axis == 1 ? Dims{1, n, 1} : Dims{1, 1, n};
        };
        std::vector<double> impulse(8, 0.0);
        impulse[3] = 1.0;
        const std::vector<double> half = resized(along(8), impulse, along(4));
        EXPECT_EQ(half, (std::vector<double>{0.0, 0.5, 0.0, 0.0})) << axis;

        const std::vector<double> twice = resized(along(8), impulse, along(16));
        const std::vector<double> expected = {
            0, 0, 0, 0, 0.03125, 0.28125, 0.6875, 0.6875, 0.28125, 0.03125, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(twice, expected) << axis;
    }
    EXPECT_EQ(ondrift::bspline2_weight(0.0), 0.75);
    EXPECT_EQ(ondrift::bspline2_weight(-0.5), 0.5);
    EXPECT_EQ(ondrift::bspline2_weight(1.5), 0.0);
}

TEST(MultigridResize, ConstantFieldStaysConstant) {
    const std::vector<std::pair<Dims, Dims>> cases = {{{7, 5, 9}, {4, 3, 5}},
                                                      {{4, 3, 5}, {7, 5, 9}},
                                                      {{1, 1, 1}, {3, 4, 2}},
                                                      {{6, 6, 6}, {1, 1, 1}},
                                                      {{2, 3, 1}, {4, 6, 1}}};
    for (const auto& [in, out] : cases) {
        const std::vector<double> g = resized(in, std::vector<double>(in.voxels(), 2.5), out);
        for (const double v : g) EXPECT_NEAR(v, 2.5, 1e-14);
    }
}

TEST(MultigridResize, SliceCacheMatchesResamplingEverySlice) {
    // Slice centres that stay, advance by one, by two and jump further (9 -> 2, 11 -> 3).
    const std::vector<std::pair<Dims, Dims>> cases = {
        {{6, 5, 7}, {3, 3, 4}},  {{3, 3, 4}, {6, 5, 7}}, {{5, 4, 9}, {3, 2, 2}},
        {{4, 4, 11}, {2, 2, 3}}, {{5, 3, 2}, {9, 6, 4}}, {{4, 3, 1}, {2, 2, 1}},
        {{3, 3, 5}, {3, 3, 5}}};
    for (const auto& [in, out] : cases) {
        const std::vector<double> f = pseudoRandom(in.voxels(), 11);
        EXPECT_EQ(resized(in, f, out), oracleResize(in, f, out))
            << in.x << "x" << in.y << "x" << in.z << " -> " << out.x << "x" << out.y << "x"
            << out.z;
    }
}

TEST(MultigridOperator, StencilAndRelaxationMatchThePlainDefinition) {
    const LevelParams unit{1, 1, 1, 1, 0};
    std::vector<double> delta(125, 0.0);
    const Dims d5{5, 5, 5};
    delta[d5.index(2, 2, 2)] = 1.0;
    std::vector<double> r(125);
    ondrift::Ltlf_me(d5, delta.data(), unit, r.data());
    EXPECT_EQ(r[d5.index(2, 2, 2)], 6.0);
    EXPECT_EQ(r[d5.index(1, 2, 2)], -1.0);
    EXPECT_EQ(r[d5.index(2, 2, 3)], -1.0);
    EXPECT_EQ(r[d5.index(1, 1, 2)], 0.0);

    const LevelParams p{0.7, 1.3, 0.45, 1.1, 0.02};
    for (const Dims d : {Dims{5, 4, 3}, Dims{1, 3, 2}, Dims{2, 1, 5}, Dims{6, 2, 1}}) {
        const std::vector<double> u = pseudoRandom(d.voxels(), 3);
        const std::vector<double> a = pseudoRandom(d.voxels(), 5);
        const std::vector<double> b = pseudoRandom(d.voxels(), 7);
        std::vector<double> out(d.voxels());
        ondrift::Ltlf_me(d, u.data(), p, out.data());
        EXPECT_EQ(out, oracleStencil(d, u, p));

        std::vector<double> mine = u;
        std::vector<double> plain = u;
        std::vector<double> aPos(a.size());
        for (std::size_t v = 0; v < a.size(); ++v) aPos[v] = std::fabs(a[v]);
        ondrift::relax(d, aPos.data(), b.data(), p, 3, mine.data());
        oracleRelax(d, aPos, b, p, 3, plain);
        EXPECT_EQ(mine, plain);
    }
}

TEST(MultigridSolve, FourierModeComesBackExactly) {
    // cos(2π(kx·x/nx + ky·y/ny + kz·z/nz)) is an eigenvector of the periodic stencil with
    // eigenvalue Σ(2 − 2cos(2πk/n)); with the diagonal 0.0001 the solution is the mode itself.
    const Dims d{32, 16, 8};
    const int kx = 3, ky = 1, kz = 2;
    const double eig = (2 - 2 * std::cos(kTwoPi * kx / d.x)) +
                       (2 - 2 * std::cos(kTwoPi * ky / d.y)) +
                       (2 - 2 * std::cos(kTwoPi * kz / d.z));
    std::vector<double> mode(d.voxels()), b(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double v = std::cos(
                    kTwoPi * (double(kx) * i / d.x + double(ky) * j / d.y + double(kz) * k / d.z));
                mode[d.index(i, j, k)] = v;
                b[d.index(i, j, k)] = (eig + 0.0001) * v;
            }
    const std::vector<double> a(d.voxels(), 0.0001);
    const std::vector<double> u = solve(d, a, b, LevelParams{1, 1, 1, 1, 0}, 8, 4);
    double worst = 0.0;
    for (std::size_t v = 0; v < u.size(); ++v) worst = std::max(worst, std::fabs(u[v] - mode[v]));
    EXPECT_LT(worst, 1e-8);
}

TEST(MultigridSolve, EveryVCycleLowersTheResidual) {
    const Dims d{24, 20, 10};
    const LevelParams p{1, 1, 1, 1, 0};
    std::vector<double> b = pseudoRandom(d.voxels(), 42);
    double mean = 0.0;
    for (const double v : b) mean += v;
    mean /= static_cast<double>(b.size());
    for (double& v : b) v -= mean;
    const std::vector<double> a(d.voxels(), 0.0001);
    const std::vector<double> aCopy = a, bCopy = b;
    double previous = residualNorm(d, a, b, p, std::vector<double>(d.voxels(), 0.0));
    for (int c = 1; c <= 6; ++c) {
        const double now = residualNorm(d, a, b, p, solve(d, a, b, p, c, 2));
        EXPECT_LT(now, previous) << c << " cycles";
        previous = now;
    }
    EXPECT_LT(previous, 1e-3 * residualNorm(d, a, b, p, std::vector<double>(d.voxels(), 0.0)));
    EXPECT_EQ(a, aCopy);  // a and b are only read
    EXPECT_EQ(b, bCopy);
}

TEST(MultigridSolve, CoarseValueCarriedUpWithoutCycles) {
    const Dims d{6, 5, 3};
    const LevelParams p{1, 1, 1, 1, 0.5};
    const std::vector<double> b = pseudoRandom(d.voxels(), 9);
    const std::vector<double> a(d.voxels(), 0.25);
    const std::vector<double> u = solve(d, a, b, p, 0, 3);
    for (const double v : u) EXPECT_NEAR(v, u[0], 1e-14);

    // On a 1×1×1 grid the coarse value b/(a + mu) already solves the system.
    const std::vector<double> one = solve({1, 1, 1}, {0.25}, {3.0}, p, 2, 2);
    EXPECT_NEAR(one[0], 3.0 / 0.75, 1e-14);
}
