// Congruent unwrapping and the edge-true field map against the Laplacian unwrapping they follow,
// on a 128×128×64 field map shaped like scanner data (a head with a gradient of two cycles, a
// steep lobe, noise outside that partly passes the mask threshold). The ratio to report:
// Laplacian + extras over Laplacian alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/congruence.h"
#include "pipeline/kernels/consistent_core.h"
#include "pipeline/kernels/cycle_outliers.h"
#include "pipeline/kernels/dropout_blend.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/field_estimate.h"
#include "pipeline/kernels/gradient_fill.h"
#include "pipeline/kernels/mask_parts.h"
#include "pipeline/kernels/masked_smoothing.h"
#include "pipeline/kernels/multigrid.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/quadratic_smoothing.h"
#include "pipeline/kernels/residual_restoration.h"
#include "pipeline/kernels/wrapped_laplacian.h"

namespace {

using ondrift::Dims;

constexpr double kTwoPi = 6.283185307179586;
const Dims kGrid{128, 128, 64};

struct FieldMap {
    std::vector<double> radians;        ///< wrapped
    std::vector<unsigned char> inside;  ///< the magnitude above the pipeline's threshold (200)
    std::vector<double> magnitude;      ///< bright inside the head, noise outside
};

/// The head in a background of complex noise whose magnitude has the Rayleigh scale `sigma`:
/// 50 is a field map of good signal to noise (900 / 50), where a few hundred scattered noise
/// voxels pass the mask threshold; 70 one of low signal to noise, where 1.7 % of the background
/// does, in specks and small clusters that the mask then holds; 100 one of poor signal to noise
/// (the accuracy phantom's at a phase noise of 0.1 rad), where 13.5 % of the background does.
FieldMap makeFieldMap(double sigma) {
    FieldMap m;
    const Dims d = kGrid;
    m.radians.resize(d.voxels());
    m.inside.resize(d.voxels());
    m.magnitude.resize(d.voxels());
    std::uint32_t s = 99u;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double u = (i - 63.5) / 46.0, v = (j - 63.5) / 54.0, w = (k - 31.5) / 26.0;
                const double cycles = 1.4 * u + 0.5 * v + 0.3 * (u * u - v * v) +
                                      0.6 * std::exp(-(u * u / 0.1 + (v - 0.7) * (v - 0.7) / 0.03));
                s = s * 1664525u + 1013904223u;
                const bool in = u * u + v * v + w * w < 1.0;
                const double noise = static_cast<double>(s >> 8) / 16777216.0 - 0.5;
                const double phase = in ? kTwoPi * cycles : kTwoPi * noise;
                const std::size_t at = d.index(i, j, k);
                m.radians[at] = phase - kTwoPi * std::floor(phase / kTwoPi + 0.5);
                const double u01 = noise + 0.5 + 0.5 / 16777216.0;
                m.magnitude[at] = in ? 900.0 : sigma * std::sqrt(-2.0 * std::log(u01));
                m.inside[at] = m.magnitude[at] > 200.0 ? 1 : 0;
            }
    return m;
}

/// Background 0: good signal to noise, 1: low, 2: poor.
const FieldMap& fieldMap(int background = 0) {
    static const FieldMap good = makeFieldMap(50.0);
    if (background == 0) return good;
    static const FieldMap low = makeFieldMap(70.0);
    if (background == 1) return low;
    static const FieldMap poor = makeFieldMap(100.0);
    return poor;
}

/// The Laplacian unwrapping as the pipeline runs it (gradients, Laplacian, mean removal,
/// full multigrid with 2 cycles of 4 iterations), in cycles.
void laplacianUnwrap(const FieldMap& m, std::vector<double>& result, std::vector<double>& work) {
    const Dims d = kGrid;
    const std::size_t n = d.voxels();
    std::vector<double> g(n), lap(n, 0.0);
    for (const auto axis : {ondrift::Axis::X, ondrift::Axis::Y, ondrift::Axis::Z}) {
        ondrift::wrappedForwardDifference(d, m.radians, axis, g);
        ondrift::addBackwardDifference(d, g, axis, lap);
    }
    double mean = 0;
    for (double v : lap) mean += v;
    mean /= static_cast<double>(n);
    for (double& v : lap) v -= mean;
    const std::vector<double> a(n, 0.0001);
    result.assign(n, 0.0);
    work.resize(static_cast<std::size_t>(ondrift::fmg_scratch_size(d)));
    ondrift::fmg_solve(d, a, lap, ondrift::LevelParams{1.0, 1.0, 1.0, 1.0, 0.0}, 2, 4, result,
                       work);
    for (double& v : result) v /= kTwoPi;
}

/// What the plug-in runs after the Laplacian unwrapping with congruent unwrapping on and the
/// field map conditioning `mode` (1 box, 4 quadratic).
void conditioned(const FieldMap& m, const std::vector<double>& wrappedCycles,
                 std::vector<double>& result, int mode,
                 const ondrift::CongruencePreparation* prepared, ondrift::FillPlan* plan,
                 const ondrift::SlopePlan* slopes, const ondrift::BlendPlan* blend,
                 const unsigned char* neighbours, const std::vector<unsigned char>* large,
                 double noise, const std::vector<unsigned char>* likely) {
    ondrift::CongruenceCounts counts;
    ondrift::makeCongruent(kGrid, wrappedCycles, result, m.inside, true, counts, prepared);
    std::vector<unsigned char> own;
    if (mode == 4 && (large == nullptr || large->empty())) {
        own = ondrift::withoutSpecks(kGrid, m.inside,
                                     ondrift::findSpecks(kGrid, m.inside, ondrift::kSmallestCore));
        large = &own;
        neighbours = nullptr;
    }
    ondrift::alignCycleOutliers(kGrid, result, mode == 4 ? *large : m.inside, neighbours);
    if (mode == 1) {
        ondrift::smoothInsideMask(kGrid, result, m.inside, 0.0);
        ondrift::extrapolateOutsideMask(kGrid, result, m.inside, plan);
        return;
    }
    std::vector<unsigned char> trusted = ondrift::trustedMask(kGrid, *large, result);
    std::vector<unsigned char> ownLikely;
    if (likely == nullptr || likely->empty()) {
        ownLikely = ondrift::likelyTrustedMask(
            kGrid, *large,
            ondrift::roughMarks(
                kGrid, wrappedCycles, m.inside,
                ondrift::rangeWorkers(kGrid.z, static_cast<std::size_t>(kGrid.x) * kGrid.y))
                .get());
        likely = &ownLikely;
    }
    ondrift::mendTrustedMask(kGrid, result, wrappedCycles, *likely, trusted);
    ondrift::extrapolateOutsideMask(kGrid, result, trusted, plan);
    ondrift::continueGradients(kGrid, result, trusted, slopes);
    if (noise < 0) noise = ondrift::backgroundNoise(m.magnitude, 200.0);
    ondrift::blendMeasuredPhase(kGrid, result, wrappedCycles, m.magnitude, trusted,
                                ondrift::noiseAwareBlendThreshold(200.0, noise), blend);
    ondrift::smoothQuadratic(kGrid, result);
}

/// What the plug-in makes from the measurement alone on another core while the Laplacian solve
/// runs: congruence's preparation and the fill, planned for the mask (box conditioning) or for
/// the trusted mask the quadratic conditioning most likely finds, with the slopes beyond it, and
/// the blend.
struct Prepared {
    ondrift::CongruencePreparation congruence;
    std::unique_ptr<unsigned char[]> neighbours;
    ondrift::FillPlan fill;
    ondrift::SlopePlan slopes;
    ondrift::BlendPlan blend;
    std::vector<unsigned char> large;   ///< the mask without its specks
    double noise = -1;                  ///< the magnitude's background noise
    std::vector<unsigned char> likely;  ///< the trusted mask most likely found
};

Prepared prepare(const FieldMap& m, const std::vector<double>& wrappedCycles, bool quadratic) {
    const ondrift::RangesOnThisThread here;
    Prepared p;
    const ondrift::Specks specks = ondrift::findSpecks(kGrid, m.inside, ondrift::kSmallestCore);
    p.congruence = ondrift::prepareCongruence(kGrid, wrappedCycles, m.inside, &specks);
    if (quadratic) p.large = ondrift::withoutSpecks(kGrid, m.inside, specks);
    p.neighbours = ondrift::maskNeighbourCounts(kGrid, quadratic ? p.large : m.inside);
    if (quadratic && p.congruence.rough != nullptr) {
        p.likely = ondrift::likelyTrustedMask(kGrid, p.large, p.congruence.rough.get());
        p.fill = ondrift::planFill(kGrid, p.likely);
        p.slopes = ondrift::planSlopes(kGrid, p.likely);
        p.noise = ondrift::backgroundNoise(m.magnitude, 200.0);
        p.blend = ondrift::planBlend(kGrid, m.magnitude,
                                     ondrift::noiseAwareBlendThreshold(200.0, p.noise));
    } else if (!quadratic) {
        p.fill = ondrift::planFill(kGrid, m.inside);
    }
    return p;
}

/// First arg 0: the Laplacian alone; 1: with congruent unwrapping and the box conditioning; 4:
/// with congruent unwrapping and the quadratic conditioning (the command's default before the
/// field estimate). Second arg: the threads the kernels may use (0: one per core; the Laplacian
/// always runs on one).
/// The unwrapping step as the plug-in runs it: the Laplacian unwrapping, then for a `mode` other
/// than 0 congruent unwrapping and that conditioning. With more than one thread, what congruence
/// takes from the measurement alone is made on another core while the Laplacian solve runs.
void unwrappingStep(const FieldMap& m, const std::vector<double>& wrappedCycles,
                    std::vector<double>& result, std::vector<double>& work, int mode) {
    std::future<Prepared> preparing;
    if (mode != 0 && ondrift::workerThreads() > 1) {
        preparing =
            std::async(std::launch::async, [&] { return prepare(m, wrappedCycles, mode == 4); });
    }
    laplacianUnwrap(m, result, work);
    if (mode != 0) {
        const ondrift::KernelThreads kept;
        Prepared prepared = preparing.valid() ? preparing.get() : Prepared{};
        conditioned(m, wrappedCycles, result, mode, &prepared.congruence, &prepared.fill,
                    &prepared.slopes, &prepared.blend, prepared.neighbours.get(), &prepared.large,
                    prepared.noise, &prepared.likely);
    }
}

std::vector<double> wrappedInCycles(const FieldMap& m) {
    std::vector<double> cycles(m.radians.size());
    for (std::size_t v = 0; v < cycles.size(); ++v) cycles[v] = m.radians[v] / kTwoPi;
    return cycles;
}

void BM_unwrapping(benchmark::State& state) {
    const FieldMap& m = fieldMap();
    const int mode = static_cast<int>(state.range(0));
    ondrift::setWorkerThreads(static_cast<unsigned>(state.range(1)));
    const std::vector<double> wrappedCycles = wrappedInCycles(m);
    std::vector<double> result, work;
    for (auto _ : state) {
        unwrappingStep(m, wrappedCycles, result, work, mode);
        benchmark::DoNotOptimize(result.data());
    }
    ondrift::setWorkerThreads(0);
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(kGrid.voxels()), 16);
}
BENCHMARK(BM_unwrapping)
    ->ArgNames({"conditioning", "threads"})
    ->ArgsProduct({{0, 1, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

/// The ratios themselves, paired as closely as the machine allows: every iteration runs the
/// step with conditioning 0, 1 and 4 (in an order that rotates), and the counters give the
/// median over the iterations of the box chain's and the quadratic chain's time over the
/// Laplacian alone of the same iteration. A shared machine's speed drifts within seconds; pairs
/// this close see the same speed. Arg: the background (see fieldMap).
void BM_chainRatios(benchmark::State& state) {
    const FieldMap& m = fieldMap(static_cast<int>(state.range(0)));
    const std::vector<double> wrappedCycles = wrappedInCycles(m);
    std::vector<double> result, work, box, quadratic;
    const int modes[3] = {0, 1, 4};
    int turn = 0;
    for (auto _ : state) {
        double took[3];
        for (int j = 0; j < 3; ++j) {
            const int which = (j + turn) % 3;
            const auto start = std::chrono::steady_clock::now();
            unwrappingStep(m, wrappedCycles, result, work, modes[which]);
            benchmark::DoNotOptimize(result.data());
            took[which] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        turn = (turn + 1) % 3;
        box.push_back(took[1] / took[0]);
        quadratic.push_back(took[2] / took[0]);
    }
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    state.counters["box_ratio"] = median(box);
    state.counters["quadratic_ratio"] = median(quadratic);
}
BENCHMARK(BM_chainRatios)
    ->ArgName("background")
    ->DenseRange(0, 2)
    ->Iterations(45)
    ->Unit(benchmark::kMillisecond);

/// The field estimate (conditioning 5) against the Laplacian unwrapping on the same grid, paired
/// per iteration: the counter is the median of its time over the unwrapping's. It estimates from
/// the congruent phase with the noise measured from it, and gives back the residual's structure,
/// as the step does. Arg: the background.
void BM_estimateRatio(benchmark::State& state) {
    const FieldMap& m = fieldMap(static_cast<int>(state.range(0)));
    const std::vector<double> wrappedCycles = wrappedInCycles(m);
    std::vector<double> congruent, work, field(kGrid.voxels()), ratios;
    laplacianUnwrap(m, congruent, work);
    ondrift::CongruenceCounts counts;
    ondrift::makeCongruent(kGrid, wrappedCycles, congruent, m.inside, true, counts);
    const ondrift::Spacing h{2.0, 2.0, 2.0};
    const double noSignal = 1.0 / kTwoPi;  // a radian, in cycles
    for (auto _ : state) {
        std::vector<double> unwrapped;
        auto start = std::chrono::steady_clock::now();
        laplacianUnwrap(m, unwrapped, work);
        const double laplacian =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        start = std::chrono::steady_clock::now();
        const double scale =
            ondrift::noiseScaleFromData(kGrid, h, congruent, m.magnitude, m.inside, noSignal);
        std::vector<double> weight(field.size(), 0.0);
        for (std::size_t v = 0; v < weight.size(); ++v) {
            const double sd = scale / m.magnitude[v];
            if (m.inside[v] != 0 && sd < noSignal) weight[v] = 1 / (sd * sd);
        }
        ondrift::FieldEstimate found;
        ondrift::estimateSmoothField(kGrid, h, congruent, weight, field, found,
                                     ondrift::kSmoothFieldNoiseShare);
        ondrift::restoreResidual(kGrid, h, congruent, weight, field, ondrift::kRestorationWindowMm,
                                 ondrift::kRestorationShrink);
        benchmark::DoNotOptimize(field.data());
        ratios.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
            laplacian);
    }
    std::nth_element(ratios.begin(),
                     ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
    state.counters["estimate_over_unwrapping"] = ratios[ratios.size() / 2];
}
BENCHMARK(BM_estimateRatio)
    ->ArgName("background")
    ->DenseRange(0, 2)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

/// The new kernels one by one. Arg: 0 congruent (with growing), 1 box smoothing inside the
/// mask, 2 range-weighted smoothing, 3 extrapolation, 4 quadratic smoothing, 5 cycle outliers,
/// 6 trusted mask, 7 slope beyond the mask, 8 dropout blend, 9 what is made beside the Laplacian
/// solve (on one thread).
void BM_conditioningKernel(benchmark::State& state) {
    const FieldMap& m = fieldMap();
    const std::vector<double> wrappedCycles = wrappedInCycles(m);
    std::vector<double> estimate, work;
    laplacianUnwrap(m, estimate, work);
    std::vector<double> field(estimate.size());
    for (auto _ : state) {
        state.PauseTiming();
        field = estimate;
        state.ResumeTiming();
        ondrift::CongruenceCounts counts;
        switch (state.range(0)) {
            case 0:
                ondrift::makeCongruent(kGrid, wrappedCycles, field, m.inside, true, counts);
                break;
            case 1: ondrift::smoothInsideMask(kGrid, field, m.inside, 0.0); break;
            case 2: ondrift::smoothInsideMask(kGrid, field, m.inside, 0.02); break;
            case 3: ondrift::extrapolateOutsideMask(kGrid, field, m.inside); break;
            case 4: ondrift::smoothQuadratic(kGrid, field); break;
            case 5: ondrift::alignCycleOutliers(kGrid, field, m.inside); break;
            case 6:
                benchmark::DoNotOptimize(ondrift::trustedMask(kGrid, m.inside, field).data());
                break;
            case 7: ondrift::continueGradients(kGrid, field, m.inside); break;
            case 8:
                ondrift::blendMeasuredPhase(kGrid, field, wrappedCycles, m.magnitude, m.inside,
                                            200.0);
                break;
            default:
                benchmark::DoNotOptimize(prepare(m, wrappedCycles, true).fill.geometry.get());
                break;
        }
        benchmark::DoNotOptimize(field.data());
    }
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(kGrid.voxels()), 16);
}
BENCHMARK(BM_conditioningKernel)
    ->ArgName("kernel")
    ->DenseRange(0, 9)
    ->Unit(benchmark::kMillisecond);

}  // namespace
