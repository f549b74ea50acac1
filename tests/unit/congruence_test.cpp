// Congruent unwrapping on fields like scanner data: a gradient of several cycles across the
// grid, a quadratic term, a steep lobe, and noise outside the mask.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pipeline/kernels/congruence.h"
#include "pipeline/kernels/region_growing.h"

using ondrift::CongruenceCounts;
using ondrift::Dims;
using ondrift::makeCongruent;

namespace {

struct Scene {
    Dims d{40, 36, 12};
    std::vector<double> truth;    ///< cycles
    std::vector<double> wrapped;  ///< cycles in [-0.5, 0.5)
    std::vector<unsigned char> inside;
};

double wrap(double v) { return v - std::floor(v + 0.5); }

/// A head-like ellipsoid with `lobeCycles` of lobe beside its front edge; outside it the
/// measured phase is noise.
Scene scene(double lobeCycles, double levelCycles = 0.0) {
    Scene s;
    const std::size_t n = s.d.voxels();
    s.truth.resize(n);
    s.wrapped.resize(n);
    s.inside.resize(n);
    std::uint32_t seed = 12345;
    for (int k = 0; k < s.d.z; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) {
                const double u = (i - 19.5) / 16.0, v = (j - 17.5) / 15.0, w = (k - 5.5) / 6.5;
                const double lobe =
                    std::exp(-(u * u / 0.08 + (v - 0.75) * (v - 0.75) / 0.05 + w * w / 0.3));
                const double t = levelCycles + 1.4 * u + 0.6 * v + 0.3 * w +
                                 0.5 * (u * u - 0.5 * v * v + 0.4 * u * v) + lobeCycles * lobe;
                const std::size_t at = s.d.index(i, j, k);
                s.truth[at] = t;
                s.inside[at] = u * u + v * v + w * w < 1.0 ? 1 : 0;
                seed = seed * 1664525u + 1013904223u;
                const double noise = static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
                s.wrapped[at] = s.inside[at] ? wrap(t) : noise;
            }
    return s;
}

/// A smooth estimate as a least-squares solver leaves it: off by a smooth function and a
/// constant, and blind to the lobe.
std::vector<double> smoothEstimate(const Scene& s, double lobeCycles) {
    std::vector<double> e(s.truth.size());
    for (int k = 0; k < s.d.z; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) {
                const std::size_t at = s.d.index(i, j, k);
                const double u = (i - 19.5) / 16.0, v = (j - 17.5) / 15.0, w = (k - 5.5) / 6.5;
                const double lobe =
                    std::exp(-(u * u / 0.08 + (v - 0.75) * (v - 0.75) / 0.05 + w * w / 0.3));
                e[at] = s.truth[at] - lobeCycles * lobe + 0.15 * std::sin(2.0 * u) - 0.1 * v + 7.37;
            }
    return e;
}

/// Cycles off the truth inside the mask, after removing the one whole-cycle level.
int wrongInside(const Scene& s, const std::vector<double>& result) {
    double offset = 0;
    for (std::size_t v = 0; v < result.size(); ++v) {
        if (s.inside[v]) {
            offset = std::nearbyint(result[v] - s.truth[v]);
            break;
        }
    }
    int wrong = 0;
    for (std::size_t v = 0; v < result.size(); ++v) {
        if (s.inside[v] && std::fabs(result[v] - s.truth[v] - offset) > 1e-9) ++wrong;
    }
    return wrong;
}

/// The whole cycles between the truth and the measurement, voxel by voxel.
std::vector<std::int32_t> trueCycles(const Scene& s) {
    std::vector<std::int32_t> c(s.truth.size());
    for (std::size_t v = 0; v < c.size(); ++v)
        c[v] = static_cast<std::int32_t>(std::nearbyint(s.truth[v] - s.wrapped[v]));
    return c;
}

}  // namespace

TEST(Congruence, RoundingRecoversAGradientOfSeveralCyclesFromASmoothEstimate) {
    const Scene s = scene(0.0);
    std::vector<double> e = smoothEstimate(s, 0.0);
    CongruenceCounts counts;
    ASSERT_TRUE(makeCongruent(s.d, s.wrapped, e, s.inside, false, counts));
    EXPECT_EQ(wrongInside(s, e), 0);
    // Inside: whole cycles away from the measurement. Outside, where the measurement is
    // noise: the estimate, shifted by one constant (alignment and level).
    const std::vector<double> estimate = smoothEstimate(s, 0.0);
    for (std::size_t v = 0; v < e.size(); ++v) {
        if (s.inside[v]) {
            ASSERT_NEAR(e[v] - s.wrapped[v], std::nearbyint(e[v] - s.wrapped[v]), 1e-9);
        } else {
            ASSERT_NEAR(e[v] - estimate[v], counts.alignment - counts.level, 1e-9);
        }
    }
    EXPECT_EQ(counts.changedCycle, 0u);
    EXPECT_GT(counts.inside, 5000u);
}

TEST(Congruence, ASteepLobeTheEstimateMissedIsRepairedByGrowingNotByRounding) {
    const double lobe = 1.6;
    const Scene s = scene(lobe);
    std::vector<double> rounded = smoothEstimate(s, lobe);
    std::vector<double> grown = rounded;
    CongruenceCounts plain, repaired;
    ASSERT_TRUE(makeCongruent(s.d, s.wrapped, rounded, s.inside, false, plain));
    ASSERT_TRUE(makeCongruent(s.d, s.wrapped, grown, s.inside, true, repaired));
    EXPECT_GT(wrongInside(s, rounded), 50) << "rounding alone cannot see the lobe";
    EXPECT_EQ(wrongInside(s, grown), 0);
    EXPECT_GT(repaired.changedCycle, 50u);
    EXPECT_EQ(repaired.parts, 1);
}

TEST(Congruence, TheLevelPutsTheMedianInsideTheMaskNearestZero) {
    for (const double level : {0.0, 3.0, -2.0}) {
        SCOPED_TRACE(level);
        const Scene s = scene(0.8, level);
        std::vector<double> e = smoothEstimate(s, 0.8);
        CongruenceCounts counts;
        ASSERT_TRUE(makeCongruent(s.d, s.wrapped, e, s.inside, true, counts));
        std::vector<double> inside;
        for (std::size_t v = 0; v < e.size(); ++v)
            if (s.inside[v]) inside.push_back(e[v]);
        std::nth_element(inside.begin(), inside.begin() + (inside.size() - 1) / 2, inside.end());
        EXPECT_LE(std::fabs(inside[(inside.size() - 1) / 2]), 0.5);
        EXPECT_EQ(wrongInside(s, e), 0);
    }
}

TEST(Congruence, SeparatePartsOfTheMaskTakeTheirLevelFromTheEstimate) {
    // Two slabs with no voxel between them: the growth cannot cross, the estimate decides.
    Scene s = scene(0.0);
    for (int k = 5; k <= 6; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) s.inside[s.d.index(i, j, k)] = 0;
    std::vector<double> e = smoothEstimate(s, 0.0);
    CongruenceCounts counts;
    ASSERT_TRUE(makeCongruent(s.d, s.wrapped, e, s.inside, true, counts));
    EXPECT_EQ(counts.parts, 2);
    EXPECT_EQ(wrongInside(s, e), 0);
}

TEST(Congruence, RefusesAnEmptyMaskOrSpansThatDoNotFitAndTouchesNothing) {
    const Scene s = scene(0.0);
    std::vector<double> e = smoothEstimate(s, 0.0);
    const std::vector<double> before = e;
    CongruenceCounts counts;
    const std::vector<unsigned char> none(s.inside.size(), 0);
    EXPECT_FALSE(makeCongruent(s.d, s.wrapped, e, none, true, counts));
    std::vector<double> shorter(s.wrapped.begin(), s.wrapped.end() - 1);
    EXPECT_FALSE(makeCongruent(s.d, shorter, e, s.inside, true, counts));
    EXPECT_FALSE(makeCongruent(Dims{0, 36, 12}, s.wrapped, e, s.inside, true, counts));
    EXPECT_EQ(e, before);
    // An all-zero measurement gives an all-zero phase, not NaN.
    std::vector<double> zeros(s.truth.size(), 0.0), estimate(s.truth.size(), 0.0);
    ASSERT_TRUE(makeCongruent(s.d, zeros, estimate, s.inside, true, counts));
    for (double v : estimate) ASSERT_EQ(v, 0.0);
}

TEST(RegionGrowing, StepsBetweenNeighboursStayWithinHalfACycleInsideTheMask) {
    const Scene s = scene(1.6);
    std::vector<std::int32_t> cycles(s.truth.size(), 0);
    std::vector<std::int32_t> part(s.truth.size());
    ASSERT_EQ(ondrift::growUnwrapped(s.d, s.wrapped, s.inside, cycles, part), 1);
    for (int k = 0; k < s.d.z; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i + 1 < s.d.x; ++i) {
                const std::size_t a = s.d.index(i, j, k), b = s.d.index(i + 1, j, k);
                if (!s.inside[a] || !s.inside[b]) continue;
                ASSERT_LT(std::fabs((s.wrapped[b] + cycles[b]) - (s.wrapped[a] + cycles[a])), 0.5);
            }
    EXPECT_NEAR(ondrift::wrappedStep(0.45, -0.45), -0.1, 1e-12);
    EXPECT_NEAR(ondrift::wrappedStep(-0.45, 0.45), 0.1, 1e-12);
}

TEST(RegionGrowing, NoiseIslandsAndAMaskAtTheGridFacesEachGrowAsTheirOwnPart) {
    // Noise voxels above the threshold outside the head are islands; the head is cut by the
    // grid on two faces. Every face-connected part of the mask is one part of the growth, and
    // every voxel but a part's seed lies within half a cycle of a neighbour of its part.
    Scene s = scene(1.2);
    std::uint32_t seed = 99;
    for (std::size_t v = 0; v < s.inside.size(); ++v) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 24) % 37 == 0) s.inside[v] = 1;
    }
    for (int j = 0; j < s.d.y; ++j)
        for (int i = 0; i < s.d.x; ++i) s.inside[s.d.index(i, j, 0)] = i < 25 ? 1 : 0;
    const std::size_t n = s.inside.size();
    const std::ptrdiff_t step[3] = {1, s.d.x, static_cast<std::ptrdiff_t>(s.d.x) * s.d.y};
    auto neighbour = [&](std::size_t v, int a, int sign, std::size_t& w) {
        const int c[3] = {static_cast<int>(v % s.d.x), static_cast<int>(v / s.d.x % s.d.y),
                          static_cast<int>(v / (static_cast<std::size_t>(s.d.x) * s.d.y))};
        const int extent[3] = {s.d.x, s.d.y, s.d.z};
        if (c[a] + sign < 0 || c[a] + sign >= extent[a]) return false;
        w = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + sign * step[a]);
        return s.inside[w] != 0;
    };
    // The parts by flood fill.
    std::vector<int> label(n, 0);
    int expectedParts = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (!s.inside[v] || label[v] != 0) continue;
        label[v] = ++expectedParts;
        std::vector<std::size_t> stack{v};
        while (!stack.empty()) {
            const std::size_t u = stack.back();
            stack.pop_back();
            std::size_t w = 0;
            for (int a = 0; a < 3; ++a)
                for (const int sign : {-1, 1})
                    if (neighbour(u, a, sign, w) && label[w] == 0) {
                        label[w] = expectedParts;
                        stack.push_back(w);
                    }
        }
    }
    std::vector<std::int32_t> cycles(n, 5), part(n, -7);
    ASSERT_EQ(ondrift::growUnwrapped(s.d, s.wrapped, s.inside, cycles, part), expectedParts);
    std::vector<int> seeds(static_cast<std::size_t>(expectedParts) + 1, 0);
    for (std::size_t v = 0; v < n; ++v) {
        if (!s.inside[v]) {
            ASSERT_EQ(part[v], 0);
            ASSERT_EQ(cycles[v], 5);  // outside the mask nothing is touched
            continue;
        }
        ASSERT_GE(part[v], 1);
        bool follows = false;
        std::size_t w = 0;
        for (int a = 0; a < 3; ++a)
            for (const int sign : {-1, 1}) {
                if (!neighbour(v, a, sign, w)) continue;
                ASSERT_EQ(part[w], part[v]);
                const double jump = (s.wrapped[v] + cycles[v]) - (s.wrapped[w] + cycles[w]);
                follows = follows || std::fabs(jump) <= 0.5;
            }
        if (!follows) ++seeds[static_cast<std::size_t>(part[v])];
    }
    for (int p = 1; p <= expectedParts; ++p) EXPECT_LE(seeds[static_cast<std::size_t>(p)], 1);
}

TEST(RegionGrowing, TheLargestConsistentPartOfTheGuessStaysAndPatchesOutsideItAreRegrown) {
    // The guess is the true cycles, except: a blob a cycle off (consistent within itself, so a
    // core of its own if it were the largest), scattered single voxels off by one or two, and
    // a second part of the mask (a slab cut off by two empty planes) three cycles off as a
    // whole. The head keeps its guess, the blob and the voxels are regrown from it, the slab
    // keeps its own level (its guess is consistent).
    Scene s = scene(0.4);
    for (int k = 9; k <= 9; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) s.inside[s.d.index(i, j, k)] = 0;
    const std::size_t n = s.truth.size();
    const std::vector<std::int32_t> truth = trueCycles(s);
    std::vector<std::int32_t> guess = truth;
    std::uint32_t seed = 4242;
    int blob = 0, scattered = 0;
    for (int k = 0; k < s.d.z; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) {
                const std::size_t v = s.d.index(i, j, k);
                if (!s.inside[v]) continue;
                if (k >= 10) {
                    guess[v] += 3;
                } else if ((i - 12) * (i - 12) + (j - 12) * (j - 12) + (k - 5) * (k - 5) <= 16) {
                    guess[v] += 1;
                    ++blob;
                } else {
                    seed = seed * 1664525u + 1013904223u;
                    if ((seed >> 24) % 53 == 0)
                        guess[v] += (seed >> 8) % 2 == 0 ? 1 : -2, ++scattered;
                }
            }
    ASSERT_GT(blob, 200);
    ASSERT_GT(scattered, 20);
    std::vector<std::int32_t> cycles = guess, part(n);
    ASSERT_EQ(ondrift::growUnwrapped(s.d, s.wrapped, s.inside, cycles, part), 2);
    for (std::size_t v = 0; v < n; ++v) {
        if (!s.inside[v]) {
            ASSERT_EQ(cycles[v], guess[v]);
            continue;
        }
        const bool slab = v >= s.d.index(0, 0, 10);
        ASSERT_EQ(cycles[v], truth[v] + (slab ? 3 : 0)) << v;
        ASSERT_EQ(part[v], slab ? 2 : 1);  // parts with a core in storage order
    }

    // With the blob larger than the rest of its part, the blob's level wins.
    Scene t = scene(0.0);
    std::vector<std::int32_t> offBy(n);
    for (std::size_t v = 0; v < n; ++v) {
        offBy[v] = static_cast<std::int32_t>(std::nearbyint(t.truth[v] - t.wrapped[v]));
        if (t.inside[v] && v % static_cast<std::size_t>(t.d.x) < 25) offBy[v] += 1;
    }
    cycles = offBy;
    ASSERT_EQ(ondrift::growUnwrapped(t.d, t.wrapped, t.inside, cycles, part), 1);
    for (std::size_t v = 0; v < n; ++v) {
        if (!t.inside[v]) continue;
        const std::int32_t expected =
            static_cast<std::int32_t>(std::nearbyint(t.truth[v] - t.wrapped[v])) + 1;
        ASSERT_EQ(cycles[v], expected) << v;
    }
}

TEST(RegionGrowing, ANoiseBackgroundInsideTheMaskBridgesNoWrongPatchIntoTheCore) {
    // A magnitude threshold below the noise floor puts the whole background into the mask.
    // Noise voxels agree with some neighbours by chance; through them a patch of the guess a
    // cycle off, at the edge of the head, must not join the core at its wrong level.
    Scene s = scene(0.4);
    const std::size_t n = s.truth.size();
    std::vector<unsigned char> everything(n, 1);
    const std::vector<std::int32_t> truth = trueCycles(s);
    std::vector<std::int32_t> guess = truth;
    int patch = 0;
    for (int k = 0; k < s.d.z; ++k)
        for (int j = 0; j < s.d.y; ++j)
            for (int i = 0; i < s.d.x; ++i) {
                const std::size_t v = s.d.index(i, j, k);
                if (s.inside[v] && (i - 20) * (i - 20) + (j - 30) * (j - 30) <= 25) {
                    guess[v] += 1;
                    ++patch;
                }
            }
    ASSERT_GT(patch, 100);
    std::vector<std::int32_t> cycles = guess, part(n);
    ASSERT_EQ(ondrift::growUnwrapped(s.d, s.wrapped, everything, cycles, part), 1);
    std::size_t wrong = 0;
    for (std::size_t v = 0; v < n; ++v) wrong += s.inside[v] && cycles[v] != truth[v] ? 1 : 0;
    EXPECT_EQ(wrong, 0u);
}

TEST(Congruence, SpecksGrownAheadGiveTheSameResultAsGrowingThemWithTheHead) {
    // Noise above the threshold around the head: specks of every size below a core's, larger
    // clusters, and an estimate there that wanders by whole cycles from voxel to voxel, so that
    // a speck's shift is a true median (and beyond the counting window). Grown beforehand or
    // with the head, every bit and count is the same; also where a speck holds a non-finite
    // phase or an estimate too large for the specks' own arithmetic, when the preparation
    // falls back to the growth.
    Scene s = scene(1.2);
    const std::size_t n = s.inside.size();
    std::uint32_t seed = 4242;
    const auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    const std::vector<unsigned char> head = s.inside;
    for (std::size_t v = 0; v < n; ++v)
        if (!head[v] && next() % 5 == 0) s.inside[v] = 1;
    std::vector<double> estimate = smoothEstimate(s, 1.2);
    for (std::size_t v = 0; v < n; ++v)
        if (!head[v]) estimate[v] += static_cast<double>(next() % 25) - 12.0;
    const auto same = [&](const Scene& t, const std::vector<double>& e, bool specksAhead) {
        const ondrift::CongruencePreparation prepared =
            ondrift::prepareCongruence(t.d, t.wrapped, t.inside);
        EXPECT_EQ(prepared.large != nullptr, specksAhead);
        if (specksAhead) {
            EXPECT_GT(prepared.speckStart.size(), 20u);
        }
        std::vector<double> ahead = e, plain = e;
        CongruenceCounts a, b;
        ASSERT_TRUE(makeCongruent(t.d, t.wrapped, ahead, t.inside, true, a, &prepared));
        ASSERT_TRUE(makeCongruent(t.d, t.wrapped, plain, t.inside, true, b));
        EXPECT_EQ(0, std::memcmp(ahead.data(), plain.data(), n * sizeof(double)));
        EXPECT_EQ(a.parts, b.parts);
        EXPECT_EQ(a.changedCycle, b.changedCycle);
        EXPECT_EQ(a.level, b.level);
    };
    same(s, estimate, true);
    // A voxel of the mask with no face neighbour in it, away from the grid's faces.
    const std::size_t plane = s.d.index(0, 0, 1);
    std::size_t alone = n;
    for (std::size_t v = plane; v + plane < n && alone == n; ++v)
        if (s.inside[v] && !s.inside[v - 1] && !s.inside[v + 1] && !s.inside[v - s.d.x] &&
            !s.inside[v + s.d.x] && !s.inside[v - plane] && !s.inside[v + plane])
            alone = v;
    ASSERT_LT(alone, n);
    std::vector<double> huge = estimate;
    huge[alone] = 1e9;
    same(s, huge, true);
    Scene broken = s;
    broken.wrapped[alone] = std::nan("");
    same(broken, estimate, false);
}

TEST(RegionGrowing, ADipThatWrapsBetweenThickSlicesFollowsItsOwnSlice) {
    // Beside air the field can fall most of a cycle within one thick slice: the step to the
    // slices around it then looks small (+0.15 instead of −0.85), and its flat bottom is more
    // reliable than the steep ramp that leads into it within the slice. Reached across the
    // slices first it would sit a cycle off; along the ramp (steps below 0.3) it is right.
    const Dims d{24, 24, 5};
    const std::size_t n = d.voxels();
    std::vector<double> truth(n), wrapped(n);
    std::vector<std::int32_t> guess(n);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double r = std::hypot(i - 12.0, j - 12.0);
                const double dip = k != 2 ? 0 : -0.85 * std::clamp((5 - r) / 3, 0.0, 1.0);
                const std::size_t v = d.index(i, j, k);
                truth[v] = 0.02 * i + dip;
                wrapped[v] = wrap(truth[v]);
                guess[v] = 0;  // the rounding of an estimate blind to the dip
            }
    const std::vector<unsigned char> inside(n, 1);
    std::vector<std::int32_t> cycles = guess, part(n);
    const unsigned inPlane = 3;  // x and y: the slices are thick
    ASSERT_EQ(ondrift::growUnwrapped(d, wrapped, inside, cycles, part, nullptr, nullptr, inPlane),
              1);
    for (std::size_t v = 0; v < n; ++v) ASSERT_NEAR(wrapped[v] + cycles[v], truth[v], 1e-9) << v;
}
