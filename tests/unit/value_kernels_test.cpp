// Field map, pixel shift, phase scaling, polar form, masks and difference on known values.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "pipeline/kernels/difference.h"
#include "pipeline/kernels/field_map.h"
#include "pipeline/kernels/mask.h"
#include "pipeline/kernels/phase_scaling.h"
#include "pipeline/kernels/pi15.h"
#include "pipeline/kernels/pixel_shift.h"
#include "pipeline/kernels/polar.h"

using namespace ondrift;

TEST(FieldMapKernel, DividesByTheEchoTimeDifference) {
    // "EchoTimeDiff" 2.46 ms becomes seconds in single precision.
    const double echoTimeDiff = static_cast<double>(2.46f / 1000.0f);
    const std::vector<double> phase = {0.5, -0.5, 0.0, 1.25};
    std::vector<double> out(4, 9.0);
    fieldFromPhase(phase, out, echoTimeDiff);
    EXPECT_NEAR(out[0], 203.2520238, 1e-6);
    EXPECT_EQ(out[1], -out[0]);
    EXPECT_EQ(out[2], 0.0);
    // A reciprocal multiplied, not a division per voxel.
    EXPECT_EQ(out[3], (1.0 / echoTimeDiff) * 1.25);
}

TEST(PixelShiftKernel, DividesByTheBandwidth) {
    const std::vector<double> field = {64.0, -64.0, 10.0};
    std::vector<double> out(3);
    shiftFromField(field, out, 32.0, 0);
    EXPECT_EQ(out, (std::vector<double>{2.0, -2.0, 0.3125}));
    shiftFromField(field, out, 32.0, 2);  // only 1 selects the 2π form
    EXPECT_EQ(out[0], 2.0);
    shiftFromField(field, out, 32.0, 1);
    EXPECT_NEAR(out[0], 0.3183098, 1e-7);
    EXPECT_EQ(out[2], 10.0 / (6.28318530717958 * 32.0));
}

TEST(PhaseScalingKernel, RescalesOntoPlusMinusPi) {
    std::vector<double> positive = {0.0, 1000.0, 4095.0};
    ASSERT_TRUE(rescaleToRadians(positive));
    EXPECT_DOUBLE_EQ(positive[0], -kPi15);
    EXPECT_DOUBLE_EQ(positive[2], kPi15);
    EXPECT_EQ(positive[1], (2 * kPi15 / 4095.0) * 1000.0 + (-kPi15));

    // All negative: 0 is the upper end even though no value is 0.
    std::vector<double> negative = {-2048.0, -1.0};
    ASSERT_TRUE(rescaleToRadians(negative));
    EXPECT_DOUBLE_EQ(negative[0], -kPi15);
    EXPECT_LT(negative[1], kPi15);
    EXPECT_NEAR(negative[1], kPi15 - 2 * kPi15 / 2048.0, 1e-12);

    std::vector<double> unit = {-1.0, 0.0, 1.0};
    ASSERT_TRUE(rescaleToRadians(unit));
    EXPECT_DOUBLE_EQ(unit[0], -kPi15);
    EXPECT_DOUBLE_EQ(unit[2], kPi15);
}

TEST(PhaseScalingKernel, AllZeroImageIsLeftAlone) {
    std::vector<double> zeros(5, 0.0);
    EXPECT_FALSE(rescaleToRadians(zeros));
    EXPECT_EQ(zeros, std::vector<double>(5, 0.0));
    std::vector<double> none;
    EXPECT_FALSE(rescaleToRadians(none));
}

TEST(PhaseScalingKernel, RadiansToCyclesUsesTheShortTwoPi) {
    std::vector<double> v = {kPi15, -kPi15, 1.0};
    radiansToCycles(v);
    EXPECT_EQ(v[0], 0.5);
    EXPECT_EQ(v[1], -0.5);
    EXPECT_EQ(v[2], 1.0 / 6.28318530717958);
    EXPECT_NE(v[2], 1.0 / (2 * std::numbers::pi));
}

TEST(PolarKernel, KeepsFractionalValues) {
    const std::vector<double> re = {-1.0, 0.0, 3.0, 2.0, 0.0};
    const std::vector<double> im = {0.0, 0.0, 4.0, 2.0, -2.9};
    std::vector<double> magnitude(5, -1.0);
    std::vector<double> phase(5, -1.0);
    polarFromComplex(re, im, magnitude, phase);
    EXPECT_EQ(magnitude, (std::vector<double>{1.0, 0.0, 5.0, std::hypot(2.0, 2.0), 2.9}));
    EXPECT_EQ(phase[0], std::atan2(0.0, -1.0));
    EXPECT_EQ(phase[1], 0.0);
    EXPECT_EQ(phase[2], std::atan2(4.0, 3.0));
    EXPECT_NEAR(phase[3], 0.7853981633974483, 1e-15);
    EXPECT_NEAR(phase[4], -1.5707963267948966, 1e-15);
}

TEST(MaskKernels, ThresholdIsStrictAndMaskingKeepsOnlyMaskedVoxels) {
    const std::vector<double> magnitude = {200.0, 200.5, -5.0, 4000.0};
    std::vector<double> mask(4, 7.0);
    thresholdMask(magnitude, mask, 200.0, 4000.0);
    EXPECT_EQ(mask, (std::vector<double>{0.0, 4000.0, 0.0, 4000.0}));

    std::vector<double> image = {1.5, 2.5, 3.5, 4.5};
    zeroWhereMasked(image, std::vector<double>{0.999, 1.0, 0.0, 4000.0});
    EXPECT_EQ(image, (std::vector<double>{0.0, 2.5, 0.0, 4.5}));
}

TEST(DifferenceKernel, SourceMinusSubtrahend) {
    std::vector<double> subtrahend = {1.0, 5.0, -2.0};
    subtractFrom(std::vector<double>{4.0, 5.0, 1.0}, subtrahend);
    EXPECT_EQ(subtrahend, (std::vector<double>{3.0, 0.0, 3.0}));
}
