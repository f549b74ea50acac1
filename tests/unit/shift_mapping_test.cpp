// The mapping kernel against a straightforward per-voxel computation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "pipeline/kernels/shift_mapping.h"

using namespace ondrift;

namespace {

/// The mapping as written: one full matrix-point product per voxel and grid.
std::vector<double> oracle(const Matrix4& e, const Matrix4& p, Dims vmr, Dims epi, Dims start,
                           const std::vector<double>& shifts, std::vector<double> mapped) {
    for (int z = 0; z < vmr.z; ++z) {
        for (int y = 0; y < vmr.y; ++y) {
            for (int x = 0; x < vmr.x; ++x) {
                const Point4 point{float(x) - float(vmr.x - 1) / 2.0f,
                                   float(y) - float(vmr.y - 1) / 2.0f,
                                   float(z) - float(vmr.z - 1) / 2.0f, 1.0f};
                Point4 q, r;
                transformPoint4(e, point, q);
                const double i = roundHalfUp(double(q[0] + float(epi.x - 1) / 2.0f));
                const double j = roundHalfUp(double(q[1] + float(epi.y - 1) / 2.0f));
                const double k = roundHalfUp(double(q[2] + float(epi.z - 1) / 2.0f));
                if (i < 0 || i >= epi.x || j < 0 || j >= epi.y || k < 0 || k >= epi.z) continue;
                transformPoint4(p, point, r);
                const double a = roundHalfUp(double(r[0] + float(start.x - 1) / 2.0f));
                const double b = roundHalfUp(double(r[1] + float(start.y - 1) / 2.0f));
                const double c = roundHalfUp(double(r[2] + float(start.z - 1) / 2.0f));
                if (a < 0 || a >= start.x || b < 0 || b >= start.y || c < 0 || c >= start.z)
                    continue;
                const float v = float(shifts[start.index(int(a), int(b), int(c))]);
                mapped[epi.index(int(i), int(j), int(k))] = double(v);
            }
        }
    }
    return mapped;
}

std::vector<double> run(const Matrix4& e, const Matrix4& p, Dims vmr, Dims epi, Dims start,
                        const std::vector<double>& shifts, std::vector<double> mapped) {
    std::vector<float> scratch(shiftMappingScratchSize(vmr));
    mapShiftsThroughAnatomy(e, p, vmr, epi, start, shifts, mapped, scratch);
    return mapped;
}

Matrix4 randomAffine(std::mt19937& rng, float scale, float shift) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Matrix4 m{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) m[4 * r + c] = scale * u(rng);
        m[4 * r + 3] = shift * u(rng);
    }
    m[15] = 1.0f;
    return m;
}

}  // namespace

TEST(ShiftMapping, MatchesStraightforwardComputationBitForBit) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> value(-5.0, 5.0);
    const Dims vmr{23, 19, 17}, epi{9, 8, 7}, start{7, 10, 6};
    std::vector<double> shifts(start.voxels());
    for (double& s : shifts) s = value(rng);  // doubles, so the float rounding shows
    std::vector<double> initial(epi.voxels(), -1.0);
    std::ptrdiff_t reached = 0;
    for (int trial = 0; trial < 20; ++trial) {
        const Matrix4 e = randomAffine(rng, 0.6f, 4.0f);
        const Matrix4 p = randomAffine(rng, 0.6f, 4.0f);
        const std::vector<double> expected = oracle(e, p, vmr, epi, start, shifts, initial);
        EXPECT_EQ(run(e, p, vmr, epi, start, shifts, initial), expected) << "trial " << trial;
        reached +=
            std::count_if(expected.begin(), expected.end(), [](double v) { return v != -1; });
    }
    // Grids that never overlap would leave every voxel as it was and prove nothing.
    EXPECT_GT(reached, 0);
}

TEST(ShiftMapping, HalvesRoundUpAndLastVisitedWins) {
    // An anatomy of 4 voxels in a row maps with scale 1/2 onto 3 target voxels: centred
    // positions −0.75, −0.25, 0.25, 0.75 become 0.25, 0.75, 1.25, 1.75 → 0, 1, 1, 2. The
    // source is the identity grid, so each target voxel takes the last source value to land.
    const Dims vmr{4, 1, 1}, epi{3, 1, 1}, start{4, 1, 1};
    Matrix4 e;
    setScaling4(e, 0.5f, 1.0f, 1.0f);
    Matrix4 p;
    setIdentity4(p);
    const std::vector<double> shifts{10.0, 11.0, 12.0, 13.0};
    EXPECT_EQ(run(e, p, vmr, epi, start, shifts, {0, 0, 0}),
              (std::vector<double>{10.0, 12.0, 13.0}));

    // A translation of half a voxel: positions 0.5, 1.5, 2.5, 3.5 round to 1, 2, 3 and 4
    // (outside).
    setIdentity4(e);
    e[3] = 0.5f;
    EXPECT_EQ(run(e, p, vmr, Dims{4, 1, 1}, start, shifts, {0, 0, 0, 0}),
              (std::vector<double>{0.0, 10.0, 11.0, 12.0}));
    // Positions −1.5, −0.5, 0.5, 1.5: −0.5 rounds to 0, inside; −1.5 to −1, outside.
    e[3] = -1.5f;
    EXPECT_EQ(run(e, p, vmr, Dims{4, 1, 1}, start, shifts, {0, 0, 0, 0}),
              (std::vector<double>{11.0, 12.0, 13.0, 0.0}));
}

TEST(ShiftMapping, SkipsOutsideEitherGridAndNonNumbers) {
    const Dims vmr{6, 6, 6}, epi{6, 6, 6}, start{6, 6, 6};
    std::vector<double> shifts(start.voxels());
    for (std::size_t n = 0; n < shifts.size(); ++n) shifts[n] = double(n) + 0.125;
    Matrix4 e, p;
    setIdentity4(e);
    setIdentity4(p);
    p[3] = 2.0f;  // source two voxels further along x: the last two columns fall outside
    const std::vector<double> mapped =
        run(e, p, vmr, epi, start, shifts, std::vector<double>(epi.voxels(), -7.0));
    for (int z = 0; z < 6; ++z)
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 6; ++x) {
                const double expected = x + 2 < 6 ? shifts[start.index(x + 2, y, z)] : -7.0;
                EXPECT_EQ(mapped[epi.index(x, y, z)], expected);
            }

    Matrix4 nan = e;
    nan[3] = std::nanf("");
    Matrix4 huge = e;
    huge[7] = 3e38f;
    for (const Matrix4& bad : {nan, huge}) {
        EXPECT_EQ(run(bad, p, vmr, epi, start, shifts, std::vector<double>(epi.voxels(), -7.0)),
                  std::vector<double>(epi.voxels(), -7.0));
        EXPECT_EQ(run(e, bad, vmr, epi, start, shifts, std::vector<double>(epi.voxels(), -7.0)),
                  std::vector<double>(epi.voxels(), -7.0));
    }
}
