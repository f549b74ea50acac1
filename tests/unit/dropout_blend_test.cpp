#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pipeline/kernels/dropout_blend.h"

using ondrift::blendMeasuredPhase;
using ondrift::Dims;

TEST(DropoutBlend, TheMeasurementWeighsByMagnitudeAndTakesTheCycleOfTheFill) {
    // One row: trusted, at the threshold, three quarters of it, half of it, dark, and a NaN.
    const Dims d{6, 1, 1};
    std::vector<double> field{0.3, 2.3, 2.3, 2.3, 2.3, NAN};
    const std::vector<double> wrapped{0.1, 0.45, 0.45, 0.45, 0.45, 0.45};
    const std::vector<double> magnitude{900, 200, 150, 100, 20, 180};
    const std::vector<unsigned char> trusted{1, 0, 0, 0, 0, 0};
    EXPECT_EQ(blendMeasuredPhase(d, field, wrapped, magnitude, trusted, 200.0), 2);
    EXPECT_DOUBLE_EQ(field[0], 0.3);   // the mask keeps its own value
    EXPECT_DOUBLE_EQ(field[1], 2.45);  // 0.45 + 2 cycles, nearest the fill of 2.3
    EXPECT_NEAR(field[2], 2.3 + 0.5625 * 0.15, 1e-12);
    EXPECT_DOUBLE_EQ(field[3], 2.3);  // half the threshold: noise, left to the fill
    EXPECT_DOUBLE_EQ(field[4], 2.3);
    EXPECT_TRUE(std::isnan(field[5]));

    std::vector<double> shortField(5, 0.0);
    EXPECT_EQ(blendMeasuredPhase(d, shortField, wrapped, magnitude, trusted, 200.0), -1);
    EXPECT_EQ(blendMeasuredPhase(d, field, wrapped, magnitude, trusted, 0.0), -1);
}

TEST(DropoutBlend, StrayVoxelsLeaveTheTrustedMaskUnlessNothingElseIsThere) {
    const Dims d{8, 8, 3};
    std::vector<unsigned char> inside(d.voxels(), 0);
    for (int j = 1; j <= 4; ++j)
        for (int i = 1; i <= 4; ++i) inside[d.index(i, j, 1)] = 1;  // a slab of the head
    inside[d.index(7, 7, 0)] = 1;                                   // alone in the background
    inside[d.index(6, 1, 1)] = inside[d.index(7, 1, 1)] = 1;        // a pair: one face each
    const std::vector<unsigned char> trusted = ondrift::trustedMask(d, inside);
    std::vector<unsigned char> expected(d.voxels(), 0);
    for (int j = 1; j <= 4; ++j)
        for (int i = 1; i <= 4; ++i) expected[d.index(i, j, 1)] = 1;
    EXPECT_EQ(trusted, expected);

    std::vector<unsigned char> onlyStray(d.voxels(), 0);
    onlyStray[d.index(3, 3, 2)] = 1;
    EXPECT_EQ(ondrift::trustedMask(d, onlyStray), onlyStray);
}

TEST(DropoutBlend, GivenThePhaseVoxelsWithARestlessNeighbourLeaveTheTrustedMaskToo) {
    // A slab of calm phase with one noise voxel a third of a cycle off: it and the four face
    // neighbours that see the step leave; steps below a quarter cycle keep the rest.
    const Dims d{6, 6, 1};
    std::vector<unsigned char> inside(d.voxels(), 1);
    std::vector<double> cycles(d.voxels());
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 6; ++i) cycles[d.index(i, j, 0)] = 0.1 + 0.05 * i;
    cycles[d.index(2, 3, 0)] += 1.0 / 3.0;
    const std::vector<unsigned char> trusted = ondrift::trustedMask(d, inside, cycles);
    std::vector<unsigned char> expected(d.voxels(), 1);
    for (const auto& [i, j] : {std::pair{2, 3}, {1, 3}, {3, 3}, {2, 2}, {2, 4}})
        expected[d.index(i, j, 0)] = 0;
    EXPECT_EQ(trusted, expected);
    EXPECT_EQ(ondrift::trustedMask(d, inside), inside);  // without the phase: faces only
}
