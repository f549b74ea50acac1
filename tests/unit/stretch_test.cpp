// The local stretch of the undistortion's mapping, against the derivative of shift maps whose
// central differences are exact (quadratics along the axis), in every direction and sign.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "pipeline/kernels/stretch.h"

using ondrift::Dims;
using ondrift::kMinStretch;
using ondrift::stretchFactors;

TEST(Stretch, FollowsTheShiftAlongTheAxisWithTheDirectionsSign) {
    const Dims d{5, 4, 3};
    constexpr double c = 0.04;  // s = c·n² along the axis: slope 2c·n
    for (int code = 1; code <= 6; ++code) {
        SCOPED_TRACE(code);
        const int axis = (code - 1) / 2;
        const int length = axis == 0 ? d.x : (axis == 1 ? d.y : d.z);
        const double sign = code % 2 == 1 ? 1.0 : -1.0;
        std::vector<double> shift(d.voxels());
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) {
                    const int n = axis == 0 ? x : (axis == 1 ? y : z);
                    // Other axes add a constant per line, which must not matter.
                    shift[d.index(x, y, z)] = c * n * n + 0.3 * (axis == 0 ? 0 : x) +
                                              0.2 * (axis == 1 ? 0 : y) + 0.1 * (axis == 2 ? 0 : z);
                }
        std::vector<double> out(d.voxels(), -1.0);
        EXPECT_EQ(stretchFactors(shift, out, d, code), 0u);
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) {
                    const int n = axis == 0 ? x : (axis == 1 ? y : z);
                    const double slope = n == 0            ? c                // s(1) − s(0)
                                         : n == length - 1 ? c * (2 * n - 1)  // s(n) − s(n−1)
                                                           : 2 * c * n;       // central
                    EXPECT_NEAR(out[d.index(x, y, z)], 1.0 + sign * slope, 1e-12)
                        << x << "," << y << "," << z;
                }
    }
}

TEST(Stretch, HoldsFoldsAndNonFiniteShiftsWithinBoundsAndCountsThem) {
    const Dims d{6, 1, 1};
    // A fold (slope −2 with code 1), a steep stretch (slopes 11 and 20) and a NaN.
    const std::vector<double> shift = {0.0,  -2.0, -4.0,
                                       18.0, 36.0, std::numeric_limits<double>::quiet_NaN()};
    std::vector<double> out(d.voxels());
    const std::size_t clamped = stretchFactors(shift, out, d, 1);
    EXPECT_EQ(out[0], kMinStretch);        // 1 − 2
    EXPECT_EQ(out[1], kMinStretch);        // 1 − 2
    EXPECT_EQ(out[2], 1.0 / kMinStretch);  // 1 + 11
    EXPECT_EQ(out[3], 1.0 / kMinStretch);  // 1 + 20
    EXPECT_EQ(out[5], kMinStretch);        // NaN
    EXPECT_EQ(clamped, 6u);
    // An axis of one voxel has no slope; a bad direction code writes nothing.
    std::vector<double> single(d.voxels(), -1.0);
    EXPECT_EQ(stretchFactors(shift, single, d, 3), 0u);
    EXPECT_EQ(single, std::vector<double>(d.voxels(), 1.0));
    std::vector<double> untouched(d.voxels(), -1.0);
    EXPECT_EQ(stretchFactors(shift, untouched, d, 7), 0u);
    EXPECT_EQ(untouched, std::vector<double>(d.voxels(), -1.0));
}
