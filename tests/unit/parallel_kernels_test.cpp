// The field-map kernels that share their work out among threads, or skip voxels that cannot
// change, must give the plain loop's values bit for bit: each against its one-thread run, and
// the outlier pass against a straightforward sweep, on a field map shaped like scanner data (a
// shim gradient, a steep lobe, noise in a background partly above the mask threshold).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <new>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "pipeline/kernels/congruence.h"
#include "pipeline/kernels/cycle_outliers.h"
#include "pipeline/kernels/dropout_blend.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/gradient_fill.h"
#include "pipeline/kernels/ordered_ranges.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/quadratic_smoothing.h"

using namespace ondrift;

namespace {

// More than 2^18 voxels, so that the work is shared out, with odd extents.
const Dims kGrid{71, 67, 57};

struct Scene {
    std::vector<double> wrapped, field, magnitude;
    std::vector<unsigned char> inside;
};

/// Wrapped phase in cycles of a head with a gradient of two cycles, a quadratic term and a
/// lobe, noise of 0.05 cycles; outside it random phase and a Rayleigh magnitude of which about
/// one voxel in six passes the mask threshold. `field` is the true field plus noise, with
/// single voxels and small blocks set a cycle off, as unwrapping leaves them beside dropouts
/// (unless not `offCycles`).
Scene scene(bool offCycles = true) {
    Scene s;
    const Dims d = kGrid;
    const std::size_t n = d.voxels();
    s.wrapped.resize(n);
    s.field.resize(n);
    s.magnitude.resize(n);
    s.inside.resize(n);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double u = (i - 35.0) / 27.0, v = (j - 33.0) / 29.0, w = (k - 28.0) / 23.0;
                const double cycles =
                    1.3 * u - 0.7 * v + 0.4 * (u * u - w * w) +
                    0.9 * std::exp(-(u * u / 0.05 + (v - 0.6) * (v - 0.6) / 0.02));
                const bool head = u * u + v * v + w * w < 1.0;
                const bool dropout = (u * u / 0.05 + (v - 0.6) * (v - 0.6) / 0.02) < 0.3;
                const std::size_t c = d.index(i, j, k);
                const double measured = head ? cycles + noise(random) : uniform(random) - 0.5;
                s.wrapped[c] = measured - std::floor(measured + 0.5);
                s.magnitude[c] = head && !dropout
                                     ? 900.0
                                     : 50.0 * std::sqrt(-2.0 * std::log(1.0 - uniform(random)));
                s.inside[c] = s.magnitude[c] > 100.0 ? 1 : 0;
                s.field[c] = head ? measured : s.wrapped[c];
                if (head && uniform(random) < 0.004) {
                    const double flip = uniform(random) < 0.5 ? 1 : -1;
                    if (offCycles) s.field[c] += flip;
                }
            }
    if (!offCycles) return s;
    // Small blocks a cycle off, some touching: inner voxels of a block become worth examining
    // only once outer ones have moved back, within the same sweep.
    std::uniform_int_distribution<int> at(8, 48), size(1, 3);
    for (int b = 0; b < 400; ++b) {
        const int i0 = at(random), j0 = at(random), k0 = at(random) - 4;
        const int si = size(random), sj = size(random), sk = size(random);
        for (int k = k0; k < k0 + sk; ++k)
            for (int j = j0; j < j0 + sj; ++j)
                for (int i = i0; i < i0 + si; ++i) s.field[d.index(i, j, k)] += 1.0;
    }
    return s;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

/// The outlier pass as a plain double sweep: every voxel of the mask with a face neighbour
/// outside it or more than half a cycle away moves to the median of its neighbours.
long long plainOutliers(Dims d, std::vector<double>& u, const std::vector<unsigned char>& in) {
    long long moved = 0;
    for (int sweep = 0; sweep < 2; ++sweep) {
        long long now = 0;
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) {
                    const std::size_t c = d.index(x, y, z);
                    if (in[c] == 0 || !std::isfinite(u[c])) continue;
                    bool examine = false;
                    const int step[6][3] = {{-1, 0, 0}, {1, 0, 0},  {0, -1, 0},
                                            {0, 1, 0},  {0, 0, -1}, {0, 0, 1}};
                    for (const auto& s : step) {
                        const int i = x + s[0], j = y + s[1], k = z + s[2];
                        if (i < 0 || j < 0 || k < 0 || i >= d.x || j >= d.y || k >= d.z) continue;
                        const std::size_t q = d.index(i, j, k);
                        examine |= in[q] == 0 || std::fabs(u[q] - u[c]) > 0.5;
                    }
                    if (!examine) continue;
                    std::vector<double> around;
                    for (int k = std::max(z - 1, 0); k <= std::min(z + 1, d.z - 1); ++k)
                        for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
                            for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i) {
                                const std::size_t q = d.index(i, j, k);
                                if (q != c && in[q] != 0 && std::isfinite(u[q]))
                                    around.push_back(u[q]);
                            }
                    if (around.size() < 6) continue;
                    std::sort(around.begin(), around.end());
                    const double cycles = std::nearbyint(around[around.size() / 2] - u[c]);
                    if (cycles == 0) continue;
                    u[c] += cycles;
                    ++now;
                }
        moved += now;
        if (now == 0) break;
    }
    return moved;
}

class ParallelKernels : public ::testing::Test {
protected:
    void TearDown() override { setWorkerThreads(0); }
};

}  // namespace

TEST_F(ParallelKernels, TheOutlierPassMovesWhatAPlainSweepMoves) {
    const Scene s = scene();
    // Each scene against the plain sweep, on one thread and three, without and with the counts
    // of neighbours in the mask made beforehand (which pass over the background's specks at
    // once).
    const auto movesAsPlain = [](const Scene& scene, long long fewest) {
        std::vector<double> expected = scene.field;
        const long long moved = plainOutliers(kGrid, expected, scene.inside);
        ASSERT_GE(moved, fewest);
        const auto counts = maskNeighbourCounts(kGrid, scene.inside);
        const unsigned char* const none = nullptr;
        for (const unsigned threads : {1u, 3u}) {
            setWorkerThreads(threads);
            for (const unsigned char* known :
                 {none, static_cast<const unsigned char*>(counts.get())}) {
                std::vector<double> f = scene.field;
                EXPECT_EQ(alignCycleOutliers(kGrid, f, scene.inside, known), moved) << threads;
                EXPECT_TRUE(sameBits(f, expected)) << threads;
            }
        }
    };
    movesAsPlain(s, 101);  // the scene really has outliers, at the rim and inside

    // A few blocks of 3 × 3 × 3 a cycle off in an otherwise clean head (and a mask without
    // noise): the first sweep moves their outer voxels back, and each centre, whose faces were
    // all off with it, becomes worth examining only then; the second sweep must find it without
    // a pass over the grid.
    Scene few = scene(false);
    for (std::size_t c = 0; c < few.inside.size(); ++c) few.inside[c] = few.magnitude[c] == 900.0;
    for (const int b : {0, 1, 2, 3}) {
        for (int k = 20; k < 23; ++k)
            for (int j = 20 + 6 * b; j < 23 + 6 * b; ++j)
                for (int i = 30; i < 33; ++i) few.field[kGrid.index(i, j, k)] += 1.0;
    }
    movesAsPlain(few, 4 * 27);
}

TEST_F(ParallelKernels, TheConditioningChainGivesTheOneThreadValues) {
    const Scene s = scene();
    struct Result {
        std::vector<double> congruent, filled, blended, smoothed;
        std::vector<unsigned char> trusted;
        long long carried = 0, blendedCount = 0;
        CongruenceCounts counts;
    };
    // `preparation`: what congruence takes from the measurement alone, made beforehand as the
    // plug-in makes it beside the unwrapping.
    // `keep`: the threads kept for the whole chain, as the plug-in's unwrapping step keeps them.
    auto run = [&](unsigned threads, const CongruencePreparation* preparation = nullptr,
                   bool keep = false) {
        setWorkerThreads(threads);
        std::optional<KernelThreads> kept;
        if (keep) kept.emplace(threads);
        Result r;
        std::vector<double> f(s.wrapped.size());
        for (std::size_t v = 0; v < f.size(); ++v) f[v] = 0.9 * s.field[v];  // a rough estimate
        EXPECT_TRUE(makeCongruent(kGrid, s.wrapped, f, s.inside, true, r.counts, preparation));
        alignCycleOutliers(kGrid, f, s.inside);
        r.congruent = f;
        r.trusted = trustedMask(kGrid, s.inside, f);
        EXPECT_TRUE(extrapolateOutsideMask(kGrid, f, r.trusted));
        r.carried = continueGradients(kGrid, f, r.trusted);
        r.filled = f;
        r.blendedCount = blendMeasuredPhase(kGrid, f, s.wrapped, s.magnitude, r.trusted, 200.0);
        r.blended = f;
        EXPECT_TRUE(smoothQuadratic(kGrid, f));
        r.smoothed = f;
        return r;
    };
    const CongruencePreparation ahead = prepareCongruence(kGrid, s.wrapped, s.inside);
    // One made for a single slice does not fit this grid and is left aside.
    const std::size_t slice = static_cast<std::size_t>(kGrid.x) * kGrid.y;
    const CongruencePreparation misfit =
        prepareCongruence(Dims{kGrid.x, kGrid.y, 1}, std::span(s.wrapped).first(slice),
                          std::span(s.inside).first(slice));
    ASSERT_NE(misfit.rough, nullptr);
    const Result one = run(1), three = run(3), prepared = run(3, &ahead),
                 misfitted = run(1, &misfit), kept = run(3, &ahead, true);
    for (const Result* r : {&three, &prepared, &misfitted, &kept}) {
        EXPECT_TRUE(sameBits(one.congruent, r->congruent));
        EXPECT_EQ(one.counts.changedCycle, r->counts.changedCycle);
        EXPECT_EQ(one.counts.parts, r->counts.parts);
        EXPECT_EQ(one.counts.level, r->counts.level);
        EXPECT_EQ(one.counts.alignment, r->counts.alignment);
    }
    EXPECT_GT(one.carried, 0);
    EXPECT_GT(one.blendedCount, 0);
    for (const Result* r : {&three, &kept}) {
        EXPECT_EQ(one.trusted, r->trusted);
        EXPECT_EQ(one.carried, r->carried);
        EXPECT_TRUE(sameBits(one.filled, r->filled));
        EXPECT_EQ(one.blendedCount, r->blendedCount);
        EXPECT_TRUE(sameBits(one.blended, r->blended));
        EXPECT_TRUE(sameBits(one.smoothed, r->smoothed));
    }
}

TEST_F(ParallelKernels, CongruenceOnPartsTenMillionCyclesApartGivesTheOneThreadResult) {
    // Two halves of the grid apart by an empty slice, their estimates ten million cycles apart:
    // each thread's whole numbers fit the level window, all of them together do not.
    const Scene s = scene();
    const Dims d = kGrid;
    std::vector<unsigned char> inside(d.voxels(), 1);
    std::vector<double> estimate(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const std::size_t v = d.index(i, j, k);
                if (k == d.z / 2 || i == 0) inside[v] = 0;
                estimate[v] = s.field[v] + (k > d.z / 2 ? 1e7 : 0.0);
            }
    auto run = [&](unsigned threads, CongruenceCounts& counts) {
        setWorkerThreads(threads);
        std::vector<double> f = estimate;
        EXPECT_TRUE(makeCongruent(d, s.wrapped, f, inside, true, counts));
        return f;
    };
    CongruenceCounts one, three;
    const std::vector<double> a = run(1, one), b = run(3, three);
    EXPECT_TRUE(sameBits(a, b));
    EXPECT_GE(one.parts, 2);
    EXPECT_EQ(one.parts, three.parts);
    EXPECT_EQ(one.changedCycle, three.changedCycle);
    EXPECT_EQ(one.level, three.level);
    EXPECT_EQ(one.alignment, three.alignment);
    // Each half takes its level from its estimate (the noise outside the head, in the mask
    // here, moves it by a few cycles): they stay ten million cycles apart.
    EXPECT_NEAR(a[d.index(5, 5, d.z - 2)] - a[d.index(5, 5, 1)], 1e7, 100.0);
}

TEST_F(ParallelKernels, TheFillWithinAndBeyondTheBandGivesTheOneThreadValues) {
    // The head on one side of the field of view, with its dropout and some noise passing the
    // mask nearby: from x = 54 on, every voxel lies more than eight voxels from the mask, where
    // the fill carries the band outward in two sweeps.
    const Scene s = scene();
    std::vector<unsigned char> inside(kGrid.voxels());
    std::mt19937 random(3);
    for (int k = 0; k < kGrid.z; ++k)
        for (int j = 0; j < kGrid.y; ++j)
            for (int i = 0; i < kGrid.x; ++i) {
                const double u = (i - 20.0) / 17.0, v = (j - 30.0) / 25.0, w = (k - 28.0) / 21.0;
                const bool head = u * u + v * v + w * w < 1.0;
                const bool dropout = (u * u / 0.05 + (v - 0.6) * (v - 0.6) / 0.02) < 0.3;
                const bool noise = i < 45 && random() % 800 == 0;
                inside[kGrid.index(i, j, k)] = (head && !dropout) || noise ? 1 : 0;
            }
    auto run = [&](unsigned threads) {
        setWorkerThreads(threads);
        std::vector<double> f = s.field;
        EXPECT_TRUE(extrapolateOutsideMask(kGrid, f, inside));
        return f;
    };
    const std::vector<double> one = run(1);
    for (int k = 0; k < kGrid.z; ++k)
        for (int j = 0; j < kGrid.y; ++j)
            for (int i = 0; i < kGrid.x; ++i)
                if (inside[kGrid.index(i, j, k)] == 0) {
                    ASSERT_NE(one[kGrid.index(i, j, k)], s.field[kGrid.index(i, j, k)]);
                }
    for (const unsigned threads : {2u, 3u, 4u}) EXPECT_TRUE(sameBits(run(threads), one)) << threads;

    // Planned beforehand on another thread, which runs the plan's blocks one after another: the
    // same bits, and the plan is used up. A plan for another mask is left alone and unused.
    std::vector<unsigned char> other = inside;
    other[kGrid.index(20, 30, 28)] ^= 1;
    for (const unsigned threads : {1u, 2u, 3u}) {
        setWorkerThreads(threads);
        FillPlan plan =
            std::async(std::launch::async, [&] { return planFill(kGrid, inside); }).get();
        FillPlan otherPlan = planFill(kGrid, other);
        ASSERT_NE(plan.geometry, nullptr);
        std::vector<double> f = s.field;
        EXPECT_TRUE(extrapolateOutsideMask(kGrid, f, inside, &otherPlan));
        EXPECT_NE(otherPlan.geometry, nullptr);
        EXPECT_TRUE(sameBits(f, one)) << threads;
        f = s.field;
        EXPECT_TRUE(extrapolateOutsideMask(kGrid, f, inside, &plan));
        EXPECT_EQ(plan.geometry, nullptr);
        EXPECT_TRUE(sameBits(f, one)) << threads;
    }
}

TEST_F(ParallelKernels, SlopesPlannedBeforehandGiveTheSameField) {
    // The scene's mask, with its dropout and specks of noise: many lines end in it. A plan for
    // another mask is left aside.
    const Scene s = scene();
    std::vector<double> filled = s.field;
    ASSERT_TRUE(extrapolateOutsideMask(kGrid, filled, s.inside));
    const SlopePlan plan =
        std::async(std::launch::async, [&] { return planSlopes(kGrid, s.inside); }).get();
    std::vector<unsigned char> other = s.inside;
    other[kGrid.index(35, 33, 28)] ^= 1;
    const SlopePlan otherPlan = planSlopes(kGrid, other);
    ASSERT_NE(plan.ends, nullptr);
    for (const unsigned threads : {1u, 3u}) {
        setWorkerThreads(threads);
        std::vector<double> plain = filled, planned = filled, misfit = filled;
        const long long changed = continueGradients(kGrid, plain, s.inside);
        ASSERT_GT(changed, 1000);
        EXPECT_EQ(continueGradients(kGrid, planned, s.inside, &plan), changed);
        EXPECT_EQ(continueGradients(kGrid, misfit, s.inside, &otherPlan), changed);
        EXPECT_TRUE(sameBits(planned, plain)) << threads;
        EXPECT_TRUE(sameBits(misfit, plain)) << threads;
    }
}

TEST_F(ParallelKernels, TheBlendPlannedForTheMagnitudeMovesTheSameVoxels) {
    // The scene's dropout and its background above half the threshold, outside a trusted mask
    // with a few voxels of the head taken out (as the trusted mask takes out restless ones).
    const Scene s = scene();
    std::vector<unsigned char> trusted = trustedMask(kGrid, s.inside);
    for (std::size_t v = 0; v < trusted.size(); v += 97) trusted[v] = 0;
    std::vector<double> filled = s.field;
    ASSERT_TRUE(extrapolateOutsideMask(kGrid, filled, trusted));
    const BlendPlan plan =
        std::async(std::launch::async, [&] { return planBlend(kGrid, s.magnitude, 200.0); }).get();
    ASSERT_NE(plan.runs, nullptr);
    // Made for another buffer or threshold, a plan is left aside.
    const std::vector<double> copy = s.magnitude;
    const BlendPlan elsewhere = planBlend(kGrid, copy, 200.0);
    const BlendPlan lower = planBlend(kGrid, s.magnitude, 100.0);
    for (const unsigned threads : {1u, 3u}) {
        setWorkerThreads(threads);
        std::vector<double> plain = filled;
        const long long moved =
            blendMeasuredPhase(kGrid, plain, s.wrapped, s.magnitude, trusted, 200.0);
        ASSERT_GT(moved, 10000);
        for (const BlendPlan* p : {&plan, &elsewhere, &lower}) {
            std::vector<double> f = filled;
            EXPECT_EQ(blendMeasuredPhase(kGrid, f, s.wrapped, s.magnitude, trusted, 200.0, p),
                      moved);
            EXPECT_TRUE(sameBits(f, plain)) << threads;
        }
    }
}

TEST_F(ParallelKernels, RangesOnThisThreadRunInOrderOnTheCallingThreadAlone) {
    // Also the pipelines and stages built on the ranges, whose later ranges wait on earlier ones.
    setWorkerThreads(4);
    const RangesOnThisThread here;
    const auto self = std::this_thread::get_id();
    std::vector<long long> firsts;
    bool elsewhere = false;
    forEachRange(12, 4u, [&](unsigned, long long first, long long) {
        firsts.push_back(first);
        elsewhere |= std::this_thread::get_id() != self;
    });
    EXPECT_EQ(firsts, (std::vector<long long>{0, 3, 6, 9}));
    std::vector<int> steps;
    forEachPipelined(3, 4, [&](unsigned w, long long step) {
        steps.push_back(static_cast<int>(w * 10 + step));
        elsewhere |= std::this_thread::get_id() != self;
    });
    EXPECT_EQ(steps.size(), 12u);
    const Stage stages[2] = {{0, 5}, {0, 7}};
    int chunks = 0;
    forEachStage(4, stages, 2, [&](std::size_t, std::size_t, std::size_t) {
        ++chunks;
        elsewhere |= std::this_thread::get_id() != self;
    });
    EXPECT_EQ(chunks, 7);
    EXPECT_FALSE(elsewhere);
}

TEST_F(ParallelKernels, WhatARangeThrowsReachesTheCallerAfterEveryRangeRan) {
    // With threads kept, also when more ranges are asked for than threads are kept, and when a
    // range shares out work of its own while the kept threads are busy.
    for (const unsigned keep : {0u, 2u, 4u}) {
        std::optional<KernelThreads> kept;
        if (keep != 0) kept.emplace(keep);
        std::vector<int> done(8, 0), inner(6, 0);
        EXPECT_THROW(forEachRange(8, 4u,
                                  [&](unsigned worker, long long first, long long end) {
                                      for (long long i = first; i < end; ++i) done[i] = 1;
                                      if (worker == 0)
                                          forEachRange(6, 3u,
                                                       [&](unsigned, long long a, long long b) {
                                                           for (long long i = a; i < b; ++i)
                                                               inner[i] = 1;
                                                       });
                                      if (worker == 2) throw std::bad_alloc();
                                  }),
                     std::bad_alloc)
            << keep;
        EXPECT_EQ(done, std::vector<int>(8, 1)) << keep;
        EXPECT_EQ(inner, std::vector<int>(6, 1)) << keep;
    }
}
