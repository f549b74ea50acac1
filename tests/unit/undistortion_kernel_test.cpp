// Resampling along the phase-encoding axis against a plain reference and the documented cases.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "pipeline/kernels/undistortion.h"
#include "tests/reference/pipeline_reference.h"

using ondrift::Dims;
using ondrift::undistortVolume;

namespace {

std::vector<double> referenceUndistort(const std::vector<double>& src,
                                       const std::vector<double>& shift, Dims d, int code) {
    return reference::undistortVolume(src, shift, d.x, d.y, d.z, code);
}

std::vector<double> undistort(const std::vector<double>& src, const std::vector<double>& shift,
                              Dims d, int code) {
    std::vector<double> out(src.size(), -7.0);
    undistortVolume(src, out, shift, d, code);
    return out;
}

std::vector<double> ramp(Dims d) {
    std::vector<double> v(d.voxels());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 3.0 * static_cast<double>(i) + 1.0;
    return v;
}

}  // namespace

TEST(UndistortionKernel, MatchesReferenceBitForBit) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> value(-500.0, 4000.0);
    std::uniform_real_distribution<double> smallShift(-3.0, 3.0);
    std::uniform_int_distribution<int> pick(0, 9);
    const double special[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              2.5,
                              1e12,
                              -1e12,
                              1e300,
                              std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN()};
    const Dims grids[] = {{1, 1, 1}, {7, 5, 3}, {16, 12, 9}, {3, 1, 4}};
    for (const Dims d : grids) {
        std::vector<double> src(d.voxels());
        std::vector<double> shift(d.voxels());
        for (double& v : src) v = value(random);
        for (double& s : shift) s = pick(random) == 0 ? special[pick(random)] : smallShift(random);
        for (int code = 1; code <= 6; ++code) {
            const std::vector<double> got = undistort(src, shift, d, code);
            const std::vector<double> want = referenceUndistort(src, shift, d, code);
            for (std::size_t i = 0; i < got.size(); ++i) {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]),
                          std::bit_cast<std::uint64_t>(want[i]))
                    << "code " << code << " voxel " << i << ": " << got[i] << " vs " << want[i];
            }
        }
    }
}

TEST(UndistortionKernel, ZeroShiftLeavesTheVolume) {
    const Dims d{5, 4, 3};
    const std::vector<double> src = ramp(d);
    for (int code = 1; code <= 6; ++code) {
        EXPECT_EQ(undistort(src, std::vector<double>(d.voxels(), 0.0), d, code), src) << code;
    }
}

TEST(UndistortionKernel, DocumentedExamples) {
    const Dims d{8, 6, 5};
    const std::vector<double> e = ramp(d);
    auto at = [&](int x, int y, int z) { return e[d.index(x, y, z)]; };
    std::vector<double> shift(d.voxels(), 0.0);

    shift[d.index(3, 2, 1)] = 1.5;
    EXPECT_EQ(undistort(e, shift, d, 1)[d.index(3, 2, 1)], 0.5 * at(4, 2, 1) + 0.5 * at(5, 2, 1));
    EXPECT_EQ(undistort(e, shift, d, 2)[d.index(3, 2, 1)], 0.5 * at(1, 2, 1) + 0.5 * at(2, 2, 1));

    shift[d.index(3, 2, 1)] = -0.25;  // p = y − 0.25: floor y − 1, f = 0.75
    EXPECT_EQ(undistort(e, shift, d, 3)[d.index(3, 2, 1)], 0.25 * at(3, 1, 1) + 0.75 * at(3, 2, 1));

    shift[d.index(3, 2, 1)] = 0.75;  // code 6: p = z − 0.75 = 0.25
    EXPECT_EQ(undistort(e, shift, d, 6)[d.index(3, 2, 1)], 0.75 * at(3, 2, 0) + 0.25 * at(3, 2, 1));
}

TEST(UndistortionKernel, PositionsBeyondTheAxisTakeTheEndVoxel) {
    const Dims d{6, 3, 2};
    const std::vector<double> e = ramp(d);
    std::vector<double> shift(d.voxels(), 0.0);
    shift[d.index(0, 1, 1)] = -0.3;  // p = −0.3
    shift[d.index(5, 1, 1)] = 2.6;   // p = 7.6
    shift[d.index(2, 1, 1)] = 1e200;
    const std::vector<double> out = undistort(e, shift, d, 1);
    // f weighs two copies of the end voxel, so the value is that voxel up to one rounding.
    EXPECT_DOUBLE_EQ(out[d.index(0, 1, 1)], e[d.index(0, 1, 1)]);
    EXPECT_DOUBLE_EQ(out[d.index(5, 1, 1)], e[d.index(5, 1, 1)]);
    EXPECT_DOUBLE_EQ(out[d.index(2, 1, 1)], e[d.index(5, 1, 1)]);
}

TEST(UndistortionKernel, SingleSliceAlongZKeepsItsValues) {
    const Dims d{4, 3, 1};
    const std::vector<double> e = ramp(d);
    std::vector<double> shift(d.voxels());
    for (std::size_t i = 0; i < shift.size(); ++i) shift[i] = 0.37 * static_cast<double>(i) - 1.9;
    for (int code : {5, 6}) {
        const std::vector<double> out = undistort(e, shift, d, code);
        for (std::size_t i = 0; i < out.size(); ++i) EXPECT_DOUBLE_EQ(out[i], e[i]) << code;
    }
}

TEST(UndistortionKernel, UnknownCodeOrShortSpansWriteNothing) {
    const Dims d{3, 3, 3};
    const std::vector<double> e = ramp(d);
    const std::vector<double> shift(d.voxels(), 1.0);
    for (int code : {0, 7, -1}) {
        EXPECT_EQ(undistort(e, shift, d, code), std::vector<double>(d.voxels(), -7.0));
    }
    std::vector<double> out(d.voxels(), -7.0);
    undistortVolume(e, out, std::vector<double>(5, 0.0), d, 1);
    EXPECT_EQ(out, std::vector<double>(d.voxels(), -7.0));
    EXPECT_FALSE(ondrift::isDirectionCode(0));
    EXPECT_TRUE(ondrift::isDirectionCode(6));
}
