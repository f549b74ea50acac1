#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

// A slab of the head whose wrapped phase steps calmly everywhere; after the unwrapping one voxel
// of its rim and a pair beyond it are a cycle off. The likely mask already leaves out a calm
// pair that touches the head only through rough voxels; the rim voxel is placed on the cycle of
// its trusted neighbours from its own measured phase, and the trusted mask is the likely one.
TEST(DropoutBlend, AVoxelACycleOffItsCalmNeighboursIsPlacedFromThemAndTrustedAgain) {
    const Dims d{9, 7, 1};
    std::vector<unsigned char> inside(d.voxels(), 0), rough(d.voxels(), 0);
    std::vector<double> wrapped(d.voxels(), 0.0), cycles(d.voxels(), 0.0);
    for (int j = 1; j <= 5; ++j)
        for (int i = 1; i <= 5; ++i) {
            const std::size_t v = d.index(i, j, 0);
            inside[v] = 1;
            wrapped[v] = 0.02 * i - 0.05;
            cycles[v] = wrapped[v] + 3;  // three cycles up, all alike
        }
    // Beyond the rim at x = 6, y = 3: two rough voxels, then a calm pair (x = 7, 8 at y = 3).
    for (const int j : {2, 4}) {
        inside[d.index(6, j, 0)] = 1;
        rough[d.index(6, j, 0)] = 1;
    }
    for (const int i : {6, 7, 8}) inside[d.index(i, 3, 0)] = 1;
    rough[d.index(6, 3, 0)] = 1;
    for (const std::size_t v : {d.index(6, 2, 0), d.index(6, 3, 0), d.index(6, 4, 0)}) {
        wrapped[v] = 0.07;
        cycles[v] = 3.07;
    }
    const std::vector<unsigned char> likely = ondrift::likelyTrustedMask(d, inside, rough.data());
    EXPECT_EQ(likely[d.index(7, 3, 0)], 0);  // the calm pair has one calm neighbour each
    EXPECT_EQ(likely[d.index(8, 3, 0)], 0);
    EXPECT_EQ(likely[d.index(6, 3, 0)], 0);  // rough
    EXPECT_EQ(likely[d.index(5, 3, 0)], 1);
    EXPECT_EQ(likely[d.index(1, 1, 0)], 1);  // a corner of the slab: two calm faces

    // Its calm neighbours see the step too and leave with it: they come back on their own cycle,
    // then it on theirs, from its own measured phase.
    const std::size_t off = d.index(5, 3, 0);
    cycles[off] -= 1.0;  // the growth placed it a cycle down
    std::vector<unsigned char> trusted = ondrift::trustedMask(d, inside, cycles);
    ASSERT_EQ(trusted[off], 0);
    ASSERT_EQ(trusted[d.index(4, 3, 0)], 0);
    EXPECT_EQ(ondrift::mendTrustedMask(d, cycles, wrapped, likely, trusted), 4);
    EXPECT_DOUBLE_EQ(cycles[off], wrapped[off] + 3);
    EXPECT_DOUBLE_EQ(cycles[d.index(4, 3, 0)], wrapped[d.index(4, 3, 0)] + 3);
    EXPECT_EQ(trusted, likely);

    // Two neighbours a cycle up together.
    cycles[d.index(5, 2, 0)] += 1.0;
    cycles[d.index(5, 1, 0)] += 1.0;
    trusted = ondrift::trustedMask(d, inside, cycles);
    EXPECT_EQ(ondrift::mendTrustedMask(d, cycles, wrapped, likely, trusted), 5);
    EXPECT_DOUBLE_EQ(cycles[d.index(5, 2, 0)], wrapped[d.index(5, 2, 0)] + 3);
    EXPECT_DOUBLE_EQ(cycles[d.index(5, 1, 0)], wrapped[d.index(5, 1, 0)] + 3);
    EXPECT_EQ(trusted, likely);

    // Nothing trusted to place from: nothing placed, nothing trusted. Lengths that do not fit
    // touch nothing.
    std::vector<unsigned char> none(d.voxels(), 0);
    const std::vector<double> before = cycles;
    EXPECT_EQ(ondrift::mendTrustedMask(d, cycles, wrapped, likely, none), 0);
    EXPECT_EQ(none, std::vector<unsigned char>(d.voxels(), 0));
    EXPECT_EQ(cycles, before);
    std::vector<double> shortCycles(5, 0.0);
    EXPECT_EQ(ondrift::mendTrustedMask(d, shortCycles, wrapped, likely, trusted), -1);
}

// The noise scale is read off a magnitude made as a scanner makes it: a bright head with dark
// rims in a background of complex noise, part of which passes the threshold.
TEST(DropoutBlend, TheBackgroundNoiseIsFoundWhereverTheThresholdCutsItsDistribution) {
    std::uint32_t s = 3u;
    const auto uniform = [&] {
        s = s * 1664525u + 1013904223u;
        return (static_cast<double>(s >> 8) + 0.5) / 16777216.0;
    };
    for (const double scale : {20.0, 50.0, 100.0, 150.0}) {
        std::vector<double> magnitude;
        for (int v = 0; v < 60000; ++v) {
            if (v % 3 == 0) {
                magnitude.push_back(v % 30 == 0 ? 150.0 : 900.0);  // the head and its rim
            } else {
                magnitude.push_back(scale * std::sqrt(-2.0 * std::log(uniform())));
            }
        }
        // Near the threshold the cut-off distribution flattens and the median says less.
        const double found = ondrift::backgroundNoise(magnitude, 200.0);
        if (scale <= 100.0) {
            EXPECT_NEAR(found, scale, 0.1 * scale) << scale;
        } else {
            EXPECT_GT(found, 100.0) << scale;
        }
    }
    // A background set to zero, or a grid all head, tells nothing; noise far above the
    // threshold is at most the threshold.
    std::vector<double> zeroed(60000, 0.0);
    for (std::size_t v = 0; v < zeroed.size(); v += 3) zeroed[v] = 900.0;
    for (std::size_t v = 0; v < zeroed.size(); v += 30) zeroed[v] = 150.0;  // its dark rim
    EXPECT_EQ(ondrift::backgroundNoise(zeroed, 200.0), 0.0);
    EXPECT_EQ(ondrift::backgroundNoise(std::vector<double>(100, 900.0), 200.0), 0.0);
    std::vector<double> flat(1000, 190.0);
    EXPECT_EQ(ondrift::backgroundNoise(flat, 200.0), 200.0);
    EXPECT_EQ(ondrift::backgroundNoise(flat, std::nan("")), 0.0);

    // The blend's threshold stays at the mask's for noise up to a quarter of it, and rises with
    // the noise beyond.
    EXPECT_EQ(ondrift::noiseAwareBlendThreshold(200.0, 0.0), 200.0);
    EXPECT_EQ(ondrift::noiseAwareBlendThreshold(200.0, 50.0), 200.0);
    EXPECT_DOUBLE_EQ(ondrift::noiseAwareBlendThreshold(200.0, 100.0), 400.0);
}
