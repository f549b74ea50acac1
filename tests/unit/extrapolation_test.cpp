#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "pipeline/kernels/extrapolation.h"

using ondrift::Dims;
using ondrift::extrapolateOutsideMask;

namespace {

// A ball of radius r around the grid's centre, off-centre by `shift` voxels along x.
std::vector<unsigned char> ball(Dims d, double r, double shift = 0.0) {
    std::vector<unsigned char> m(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double x = i - (d.x - 1) / 2.0 - shift, y = j - (d.y - 1) / 2.0,
                             z = k - (d.z - 1) / 2.0;
                m[d.index(i, j, k)] = x * x + y * y + z * z <= r * r ? 1 : 0;
            }
    return m;
}

}  // namespace

TEST(Extrapolation, RefusesWhatItCannotFillAndLeavesTheFieldAlone) {
    const Dims d{4, 3, 2};
    std::vector<double> field(d.voxels(), 7.0);
    std::vector<unsigned char> none(d.voxels(), 0);
    std::vector<unsigned char> shortMask(d.voxels() - 1, 1);
    EXPECT_FALSE(extrapolateOutsideMask(d, field, none));
    EXPECT_FALSE(extrapolateOutsideMask(d, field, shortMask));
    EXPECT_FALSE(extrapolateOutsideMask(Dims{0, 3, 2}, field, none));
    std::vector<double> longer(d.voxels() + 1, 7.0);
    std::vector<unsigned char> all(d.voxels(), 1);
    EXPECT_FALSE(extrapolateOutsideMask(d, longer, std::vector<unsigned char>(longer.size(), 1)));
    for (double v : field) EXPECT_EQ(v, 7.0);
    EXPECT_TRUE(extrapolateOutsideMask(d, field, all));
    for (double v : field) EXPECT_EQ(v, 7.0);
}

TEST(Extrapolation, KeepsTheMeasuredVoxelsAndStaysWithinTheirRange) {
    const Dims d{20, 16, 9};
    const auto inside = ball(d, 5.0, 2.0);
    std::vector<double> field(d.voxels());
    for (std::size_t v = 0; v < field.size(); ++v) {
        field[v] = inside[v] ? std::sin(0.3 * static_cast<double>(v % 20)) * 40.0 + 0.01 * v
                             : 1e9;  // garbage that must not survive
    }
    const std::vector<double> before = field;
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    double lo = 1e300, hi = -1e300;
    for (std::size_t v = 0; v < field.size(); ++v) {
        if (!inside[v]) continue;
        EXPECT_EQ(field[v], before[v]);
        lo = std::min(lo, field[v]);
        hi = std::max(hi, field[v]);
    }
    // Means of known values never leave their range: no overshoot far from the head.
    for (std::size_t v = 0; v < field.size(); ++v) {
        ASSERT_TRUE(std::isfinite(field[v]));
        EXPECT_GE(field[v], lo - 1e-9);
        EXPECT_LE(field[v], hi + 1e-9);
    }
}

TEST(Extrapolation, AConstantOrASingleVoxelFillsTheGridWithItsValue) {
    const Dims d{9, 7, 5};
    std::vector<double> field(d.voxels(), -3.0);
    std::vector<unsigned char> inside(d.voxels(), 0);
    inside[d.index(8, 0, 4)] = 1;  // a corner: the fill must cross the whole grid
    field[d.index(8, 0, 4)] = 12.5;
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    for (double v : field) EXPECT_DOUBLE_EQ(v, 12.5);
}

TEST(Extrapolation, TheFillFollowsTheFieldAtTheMaskEdgeWhicheverWayTheGridIsStored) {
    // A field that ramps along x inside a ball; outside, the fill must continue it near the
    // edge (close to the nearest inside value), and a mirrored input gives the mirrored output.
    const Dims d{24, 12, 6};
    const auto inside = ball(d, 4.5, -3.0);
    std::vector<double> field(d.voxels(), 0.0);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i)
                if (inside[d.index(i, j, k)]) field[d.index(i, j, k)] = 10.0 * i + 0.5 * j;
    std::vector<double> mirrored(d.voxels());
    std::vector<unsigned char> mirroredInside(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                mirrored[d.index(d.x - 1 - i, j, k)] = field[d.index(i, j, k)];
                mirroredInside[d.index(d.x - 1 - i, j, k)] = inside[d.index(i, j, k)];
            }
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    ASSERT_TRUE(extrapolateOutsideMask(d, mirrored, mirroredInside));
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i)
                ASSERT_NEAR(mirrored[d.index(d.x - 1 - i, j, k)], field[d.index(i, j, k)], 1e-9);
    // Just beyond the ball's right edge along its centre row the fill is near the edge value.
    const int j = 5, k = 2;
    int edge = 0;
    for (int i = 0; i < d.x; ++i)
        if (inside[d.index(i, j, k)]) edge = i;
    const double edgeValue = 10.0 * edge + 0.5 * j;
    EXPECT_NEAR(field[d.index(edge + 1, j, k)], edgeValue, 12.0);
    EXPECT_GT(field[d.index(edge + 1, j, k)], edgeValue - 12.0);
    EXPECT_LT(field[d.index(d.x - 1, j, k)], edgeValue + 1e-9);
}

TEST(Extrapolation, MatchesTheShellDefinitionExactlyWithIslandsAndAtTheGridFaces) {
    // The definition, computed the slow way: city-block distance to the nearest mask voxel by
    // brute force; shell by shell, each voxel the mean of its neighbours in the shell before
    // (lower x, upper x, lower y, ... in turn); then one averaging pass over the six nearest
    // shells. The mask touches two faces of the grid and has scattered islands.
    const Dims d{13, 9, 7};
    const std::size_t n = d.voxels();
    std::vector<unsigned char> inside = ball(d, 3.2, 4.5);
    std::uint32_t seed = 7;
    std::vector<double> field(n);
    for (std::size_t v = 0; v < n; ++v) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 24) % 23 == 0) inside[v] = 1;
        field[v] = inside[v] ? static_cast<double>(seed >> 8) / 65536.0 - 128.0 : -1.0;
    }
    auto at = [&](int i, int j, int k) { return d.index(i, j, k); };
    std::vector<int> dist(n, 0);
    int far = 0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                int best = 1 << 20;
                for (int c = 0; c < d.z; ++c)
                    for (int b = 0; b < d.y; ++b)
                        for (int a = 0; a < d.x; ++a)
                            if (inside[at(a, b, c)])
                                best = std::min(
                                    best, std::abs(a - i) + std::abs(b - j) + std::abs(c - k));
                dist[at(i, j, k)] = best;
                far = std::max(far, best);
            }
    auto neighbours = [&](int i, int j, int k) {
        std::vector<std::size_t> out;
        const int step[6][3] = {{-1, 0, 0}, {1, 0, 0},  {0, -1, 0},
                                {0, 1, 0},  {0, 0, -1}, {0, 0, 1}};
        for (const auto& s : step) {
            const int a = i + s[0], b = j + s[1], c = k + s[2];
            if (a >= 0 && a < d.x && b >= 0 && b < d.y && c >= 0 && c < d.z)
                out.push_back(at(a, b, c));
        }
        return out;
    };
    std::vector<double> expected = field;
    for (int t = 1; t <= far; ++t)
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i) {
                    if (dist[at(i, j, k)] != t) continue;
                    double sum = 0;
                    int count = 0;
                    for (const std::size_t w : neighbours(i, j, k))
                        if (dist[w] == t - 1) sum += expected[w], ++count;
                    expected[at(i, j, k)] = sum / count;
                }
    std::vector<double> smoothed = expected;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const int t = dist[at(i, j, k)];
                if (t == 0 || t > 6) continue;
                double sum = 0;
                int count = 0;
                for (const std::size_t w : neighbours(i, j, k)) sum += expected[w], ++count;
                smoothed[at(i, j, k)] = sum / count;
            }
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    for (std::size_t v = 0; v < n; ++v) ASSERT_EQ(field[v], smoothed[v]) << v;
}

TEST(Extrapolation, ALongRowBeyondSixteenBitDistancesFillsFromItsNearestEnd) {
    const Dims d{32800, 1, 1};
    std::vector<double> field(d.voxels(), 0.0);
    std::vector<unsigned char> inside(d.voxels(), 0);
    inside.front() = inside.back() = 1;
    field.front() = 2.0;
    field.back() = 4.0;
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    for (std::size_t v = 1; v < 16400; ++v) ASSERT_EQ(field[v], 2.0) << v;
    for (std::size_t v = 16400; v + 1 < field.size(); ++v) ASSERT_EQ(field[v], 4.0) << v;
}
