#include <gtest/gtest.h>

#include <vector>

#include "pipeline/kernels/cycle_outliers.h"

using ondrift::alignCycleOutliers;
using ondrift::Dims;

TEST(CycleOutliers, ANoisyPairAtTheRimFollowsItsSurroundingsButARealStepStays) {
    const Dims d{12, 12, 8};
    std::vector<double> f(d.voxels());
    std::vector<unsigned char> inside(d.voxels(), 1);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) f[d.index(i, j, k)] = 0.05 * i + 0.02 * j;
    // A hole (a dropout) with a pair of voxels inside it, a cycle off, touching the mask only
    // by edges: each is the other's only face neighbour in the mask.
    for (int k = 2; k <= 5; ++k)
        for (int j = 3; j <= 7; ++j)
            for (int i = 3; i <= 7; ++i) inside[d.index(i, j, k)] = 0;
    const std::size_t a = d.index(3, 3, 2), b = d.index(3, 3, 3);
    inside[a] = inside[b] = 1;
    f[a] += 1.0;
    f[b] += 1.0;
    std::vector<double> expected = f;
    expected[a] -= 1.0;
    expected[b] -= 1.0;
    EXPECT_EQ(alignCycleOutliers(d, f, inside), 2);
    EXPECT_EQ(f, expected);

    // Half the grid a cycle above the other: every voxel at the step has most of its
    // neighbours on its own side, so nothing moves.
    std::vector<double> step(d.voxels());
    std::vector<unsigned char> all(d.voxels(), 1);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) step[d.index(i, j, k)] = i < 6 ? 0.1 : 1.2;
    const std::vector<double> before = step;
    EXPECT_EQ(alignCycleOutliers(d, step, all), 0);
    EXPECT_EQ(step, before);

    EXPECT_EQ(alignCycleOutliers({12, 12, 7}, step, all), -1);
    EXPECT_EQ(step, before);
}
