#include <gtest/gtest.h>

#include <vector>

#include "pipeline/kernels/gradient_fill.h"

using ondrift::continueGradients;
using ondrift::Dims;

TEST(GradientFill, ASlopeIsCarriedBeyondTheEdgeAndFadesIntoTheFill) {
    // One row: ten voxels of a slope 2 per voxel inside the mask, then the fill that only
    // carries the edge value (18) outward.
    const Dims d{20, 1, 1};
    std::vector<double> f(20);
    std::vector<unsigned char> inside(20, 0);
    for (int i = 0; i < 10; ++i) f[i] = 2.0 * i, inside[i] = 1;
    for (int i = 10; i < 20; ++i) f[i] = 18.0;
    EXPECT_EQ(continueGradients(d, f, inside), ondrift::kGradientBand);
    EXPECT_DOUBLE_EQ(f[10], 20.0);                       // the line itself
    EXPECT_DOUBLE_EQ(f[11], 0.75 * 22.0 + 0.25 * 18.0);  // fading into the fill
    EXPECT_DOUBLE_EQ(f[13], 0.25 * 26.0 + 0.75 * 18.0);
    for (int i = 14; i < 20; ++i) EXPECT_DOUBLE_EQ(f[i], 18.0);
    for (int i = 0; i < 10; ++i) EXPECT_DOUBLE_EQ(f[i], 2.0 * i);
}

TEST(GradientFill, GapsInsideTheMaskAndShortRunsKeepTheFill) {
    // A dropout of three voxels between two parts of the head, and a run of only three voxels
    // at the far end: neither says where the field goes beyond.
    const Dims d{24, 1, 1};
    std::vector<double> f(24, 0.0);
    std::vector<unsigned char> inside(24, 0);
    for (int i = 0; i < 8; ++i) f[i] = 3.0 * i, inside[i] = 1;
    for (int i = 11; i < 18; ++i) f[i] = 3.0 * i, inside[i] = 1;
    for (int i = 21; i < 24; ++i) f[i] = 5.0, inside[i] = 1;
    for (int i : {8, 9, 10, 18, 19, 20}) f[i] = -1.0;
    const std::vector<double> before = f;
    EXPECT_EQ(continueGradients(d, f, inside), 0);
    EXPECT_EQ(f, before);

    std::vector<double> shortField(23, 0.0);
    EXPECT_EQ(continueGradients(d, shortField, inside), -1);
}
