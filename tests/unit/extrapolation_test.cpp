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

/// City-block distance of every voxel to the nearest voxel inside, by brute force.
std::vector<int> distances(Dims d, const std::vector<unsigned char>& inside) {
    std::vector<int> dist(d.voxels(), 0);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                int best = 1 << 20;
                for (int c = 0; c < d.z; ++c)
                    for (int b = 0; b < d.y; ++b)
                        for (int a = 0; a < d.x; ++a)
                            if (inside[d.index(a, b, c)])
                                best = std::min(
                                    best, std::abs(a - i) + std::abs(b - j) + std::abs(c - k));
                dist[d.index(i, j, k)] = best;
            }
    return dist;
}

// The shells filled exactly, and symmetric under mirroring.
constexpr int kExactBand = 8;

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
    // Within the band the fill is the same whichever way the grid is stored; beyond it the
    // sweeps take equally near values in storage order, which may differ by a little of the
    // field's own variation (less than a third of the ramp's rise over one voxel).
    const std::vector<int> dist = distances(d, inside);
    int beyond = 0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double a = mirrored[d.index(d.x - 1 - i, j, k)], b = field[d.index(i, j, k)];
                if (dist[d.index(i, j, k)] <= kExactBand) {
                    ASSERT_NEAR(a, b, 1e-9);
                } else {
                    ++beyond;
                    ASSERT_NEAR(a, b, 3.0);
                }
            }
    EXPECT_GT(beyond, 20) << "the grid must reach beyond the band";
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

namespace {

/// The definition, computed the slow way: city-block distance to the nearest mask voxel by
/// brute force; shell by shell up to the band's edge, each voxel the mean of its neighbours in
/// the shell before (lower x, upper x, lower y, ... in turn); then one averaging pass over the
/// six nearest shells. Returns the expected field, exact within the band.
std::vector<double> shellDefinition(Dims d, const std::vector<double>& field,
                                    const std::vector<int>& dist) {
    auto neighbours = [&](int i, int j, int k) {
        std::vector<std::size_t> out;
        const int step[6][3] = {{-1, 0, 0}, {1, 0, 0},  {0, -1, 0},
                                {0, 1, 0},  {0, 0, -1}, {0, 0, 1}};
        for (const auto& s : step) {
            const int a = i + s[0], b = j + s[1], c = k + s[2];
            if (a >= 0 && a < d.x && b >= 0 && b < d.y && c >= 0 && c < d.z)
                out.push_back(d.index(a, b, c));
        }
        return out;
    };
    std::vector<double> expected = field;
    for (int t = 1; t <= kExactBand; ++t)
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i) {
                    if (dist[d.index(i, j, k)] != t) continue;
                    double sum = 0;
                    int count = 0;
                    for (const std::size_t w : neighbours(i, j, k))
                        if (dist[w] == t - 1) sum += expected[w], ++count;
                    expected[d.index(i, j, k)] = sum / count;
                }
    std::vector<double> smoothed = expected;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const int t = dist[d.index(i, j, k)];
                if (t == 0 || t > 6) continue;
                double sum = 0;
                int count = 0;
                for (const std::size_t w : neighbours(i, j, k)) sum += expected[w], ++count;
                smoothed[d.index(i, j, k)] = sum / count;
            }
    return smoothed;
}

/// A mask with scattered islands and random values inside; -1 outside.
void islands(Dims d, std::vector<unsigned char>& inside, std::vector<double>& field,
             std::uint32_t seed, int oneIn) {
    field.assign(d.voxels(), -1.0);
    for (std::size_t v = 0; v < d.voxels(); ++v) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 24) % static_cast<std::uint32_t>(oneIn) == 0) inside[v] = 1;
        if (inside[v]) field[v] = static_cast<double>(seed >> 8) / 65536.0 - 128.0;
    }
}

}  // namespace

TEST(Extrapolation, MatchesTheShellDefinitionExactlyWithIslandsAndAtTheGridFaces) {
    // The mask touches two faces of the grid and has scattered islands.
    const Dims d{13, 9, 7};
    std::vector<unsigned char> inside = ball(d, 3.2, 4.5);
    std::vector<double> field;
    islands(d, inside, field, 7, 23);
    const std::vector<int> dist = distances(d, inside);
    ASSERT_LE(*std::max_element(dist.begin(), dist.end()), kExactBand);
    const std::vector<double> expected = shellDefinition(d, field, dist);
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    for (std::size_t v = 0; v < d.voxels(); ++v) ASSERT_EQ(field[v], expected[v]) << v;
}

TEST(Extrapolation, TheBandIsExactAndBeyondItTheFieldContinuesFromTheBandsOuterShell) {
    // A small head with islands at one end of a long grid: the fill reaches some twenty shells
    // beyond the band. Within the band: the shell definition to the bit. The first shell beyond
    // takes the values of its neighbours on the band's outer shell (one of them or the mean of
    // two); farther out nothing leaves the range of that shell.
    const Dims d{34, 14, 9};
    std::vector<unsigned char> inside = ball(d, 3.6, -11.0);
    std::vector<double> field;
    islands(d, inside, field, 11, 40);
    for (std::size_t v = 0; v < d.voxels(); ++v) {
        if (v % static_cast<std::size_t>(d.x) > 10) inside[v] = 0, field[v] = -1.0;  // head only
    }
    const std::vector<int> dist = distances(d, inside);
    ASSERT_GT(*std::max_element(dist.begin(), dist.end()), kExactBand + 10);
    const std::vector<double> expected = shellDefinition(d, field, dist);
    ASSERT_TRUE(extrapolateOutsideMask(d, field, inside));
    double lo = 1e300, hi = -1e300;
    for (std::size_t v = 0; v < d.voxels(); ++v) {
        if (dist[v] <= kExactBand) {
            ASSERT_EQ(field[v], expected[v]) << v;
        }
        if (dist[v] == kExactBand) lo = std::min(lo, field[v]), hi = std::max(hi, field[v]);
    }
    const std::ptrdiff_t step[6] = {-1, 1, -d.x, d.x, -d.x * d.y, d.x * d.y};
    int first = 0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const std::size_t v = d.index(i, j, k);
                if (dist[v] <= kExactBand) continue;
                ASSERT_GE(field[v], lo);
                ASSERT_LE(field[v], hi);
                if (dist[v] != kExactBand + 1) continue;
                ++first;
                const int c[3] = {i, j, k}, extent[3] = {d.x, d.y, d.z};
                std::vector<double> on;
                for (int e = 0; e < 6; ++e) {
                    const int moved = c[e / 2] + (e % 2 == 0 ? -1 : 1);
                    if (moved < 0 || moved >= extent[e / 2]) continue;
                    const auto w =
                        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + step[e]);
                    if (dist[w] == kExactBand) on.push_back(field[w]);
                }
                bool matches = false;
                for (const double a : on)
                    for (const double b : on) matches = matches || field[v] == 0.5 * (a + b);
                ASSERT_TRUE(matches) << v;
            }
    EXPECT_GT(first, 50);
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
