#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pipeline/kernels/masked_smoothing.h"

using ondrift::Dims;
using ondrift::smoothInsideMask;

TEST(MaskedSmoothing, TheEdgeOfTheMaskKeepsItsLevelAndNothingLeaksInFromOutside) {
    // A plateau of 100 inside a disc, zeros and garbage outside: normalised by the weights it
    // used, the smoothing leaves every inside voxel at 100 (the slice smoothing would pull the
    // rim towards 0).
    const Dims d{16, 14, 3};
    std::vector<double> field(d.voxels());
    std::vector<unsigned char> inside(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const bool in = (i - 7) * (i - 7) + (j - 6) * (j - 6) <= 25;
                inside[d.index(i, j, k)] = in ? 1 : 0;
                field[d.index(i, j, k)] = in ? 100.0 : (i % 2 ? 0.0 : -5000.0);
            }
    const std::vector<double> before = field;
    for (const double range : {0.0, 3.0}) {
        std::vector<double> f = before;
        ASSERT_TRUE(smoothInsideMask(d, f, inside, range));
        for (std::size_t v = 0; v < f.size(); ++v) {
            ASSERT_DOUBLE_EQ(f[v], before[v]) << v;  // inside 100, outside untouched
        }
    }
}

TEST(MaskedSmoothing, RangeWeightsAverageNoiseButKeepASteepStep) {
    const Dims d{12, 12, 1};
    std::vector<double> field(d.voxels());
    std::vector<unsigned char> inside(d.voxels(), 1);
    for (int j = 0; j < d.y; ++j)
        for (int i = 0; i < d.x; ++i)
            field[d.index(i, j, 0)] = (i < 6 ? 0.0 : 50.0) + ((i + j) % 2 ? 1.0 : -1.0);
    std::vector<double> box = field, ranged = field;
    ASSERT_TRUE(smoothInsideMask(d, box, inside, 0.0));
    ASSERT_TRUE(smoothInsideMask(d, ranged, inside, 3.0));
    // Beside the step, in the middle rows: the box mixes the two sides, the range weights do
    // not; away from it both reduce the ±1 checkerboard.
    const std::size_t left = d.index(5, 5, 0), far = d.index(2, 5, 0);
    EXPECT_GT(box[left], 10.0);
    EXPECT_LT(std::fabs(ranged[left]), 1.0);
    EXPECT_LT(std::fabs(ranged[far]), 0.5);
    EXPECT_LT(std::fabs(box[far]), 0.5);
}

TEST(MaskedSmoothing, RefusesSpansThatDoNotFit) {
    std::vector<double> field(24, 1.0);
    std::vector<unsigned char> inside(23, 1);
    EXPECT_FALSE(smoothInsideMask(Dims{4, 3, 2}, field, inside, 0.0));
    EXPECT_FALSE(smoothInsideMask(Dims{-4, 3, 2}, field, inside, 0.0));
    for (double v : field) EXPECT_EQ(v, 1.0);
}
