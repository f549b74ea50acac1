// The field estimated from a reverse phase-encoding pair (three volumes each way averaged, then
// the coarse-to-fine estimate) on a functional-sized grid, beside the field-map path's solver
// on the same grid (the full-multigrid unwrapping with the command's 2 cycles and 4 sweeps),
// timed in the same run, and their ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include "cli/pairs/pair_estimation.h"
#include "cli/pairs/volume_average.h"
#include "pipeline/kernels/multigrid.h"

namespace {

using ondrift::pairs::Grid;

constexpr double kVoxelMm = 2.5;
constexpr double kVoxelsPerHz = 1.0 / 22.0;  // 22 Hz per pixel along phase encoding

double field(double x, double y, double z) {
    const double dx = x - 10, dy = y + 45, dz = z + 20;
    return 180.0 * std::exp(-(dx * dx + dy * dy + dz * dz) / (2 * 16.0 * 16.0)) + 0.6 * y + 0.3 * x;
}

double head(double x, double y, double z) {
    const double r =
        std::sqrt(x * x / (75.0 * 75.0) + y * y / (95.0 * 95.0) + z * z / (60.0 * 60.0));
    return 900.0 / (1.0 + std::exp((r - 1.0) / 0.03)) *
           (0.75 + 0.25 * std::sin(x / 6.0) * std::cos(y / 8.0) * std::cos(z / 9.0));
}

/// One volume along j with sign σ: the signal of p at p + σ·s(p), scaled by 1 / (1 + σ·s'),
/// with a little noise that differs per volume.
std::vector<float> acquire(const Grid& g, int sign, unsigned seed) {
    std::vector<float> out(g.voxels());
    std::uint32_t s = seed * 2654435761u + 1u;
    std::size_t i = 0;
    auto mm = [&g](int a, double v) { return (v - 0.5 * (g.dims[a] - 1)) * g.voxelMm[a]; };
    for (int z = 0; z < g.dims[2]; ++z)
        for (int y = 0; y < g.dims[1]; ++y)
            for (int x = 0; x < g.dims[0]; ++x, ++i) {
                const double wx = mm(0, x), wz = mm(2, z);
                auto shift = [&](double t) { return kVoxelsPerHz * field(wx, mm(1, t), wz); };
                double p = y, slope = 0;
                for (int k = 0; k < 8; ++k) {
                    slope = (shift(p + 1e-3) - shift(p - 1e-3)) / 2e-3;
                    p -= (p + sign * shift(p) - y) / (1 + sign * slope);
                }
                s = s * 1664525u + 1013904223u;
                const double noise = 8.0 * (static_cast<double>(s >> 8) / 8388608.0 - 1.0);
                out[i] = static_cast<float>(head(wx, mm(1, p), wz) / (1 + sign * slope) + noise);
            }
    return out;
}

/// The field-map path's solver on a grid: the full-multigrid unwrapping with the command's 2
/// cycles and 4 sweeps on a smooth right-hand side.
struct FieldMapPath {
    ondrift::Dims d;
    std::vector<double> a, b, u, scratch;
    explicit FieldMapPath(const ondrift::Dims& dims)
        : d(dims),
          a(d.voxels(), 0.0001),
          b(d.voxels()),
          u(d.voxels(), 0.0),
          scratch(static_cast<std::size_t>(ondrift::fmg_scratch_size(d))) {
        double mean = 0;
        for (std::size_t i = 0; i < b.size(); ++i)
            mean += (b[i] = std::sin(0.01 * static_cast<double>(i)));
        for (double& v : b) v -= mean / static_cast<double>(b.size());
    }
    void run() {
        const ondrift::LevelParams p{1.0, 1.0, 1.0, 1.0, 0.0};
        ondrift::fmg_solve(d, a, b, p, 2, 4, u, scratch);
        benchmark::DoNotOptimize(u.data());
    }
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Arguments: nx, ny, nz, volumes each way. Beside the estimate's time, the field-map path's
// solver on the same grid is timed right after it (the quickest of three runs, so that the
// shared machine's load weighs on both alike), and their ratio given.
void BM_pairFieldEstimation(benchmark::State& state) {
    Grid g;
    g.dims = {static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
              static_cast<int>(state.range(2))};
    g.voxelMm = {kVoxelMm, kVoxelMm, kVoxelMm};
    const int volumes = static_cast<int>(state.range(3));
    std::vector<float> plus, minus;
    for (int v = 0; v < volumes; ++v) {
        const auto a = acquire(g, +1, 2 * v + 1), b = acquire(g, -1, 2 * v + 2);
        plus.insert(plus.end(), a.begin(), a.end());
        minus.insert(minus.end(), b.begin(), b.end());
    }
    ondrift::pairs::PairEstimate e;
    FieldMapPath floor({g.dims[0], g.dims[1], g.dims[2]});
    double pairSeconds = 0, floorSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto a = ondrift::pairs::averageVolumes(plus, g.voxels(), volumes);
        const auto b = ondrift::pairs::averageVolumes(minus, g.voxels(), volumes);
        e = ondrift::pairs::estimateField({g, 1, a.mean, b.mean, kVoxelsPerHz, kVoxelsPerHz});
        benchmark::DoNotOptimize(e.fieldHz.data());
        pairSeconds += seconds(start);
        state.PauseTiming();
        double quickest = 1e300;
        for (int k = 0; k < 3; ++k) {
            const auto s = std::chrono::steady_clock::now();
            floor.run();
            quickest = std::min(quickest, seconds(s));
        }
        floorSeconds += quickest;
        state.ResumeTiming();
    }
    state.counters["field_map_path_ms"] =
        1e3 * floorSeconds / static_cast<double>(state.iterations());
    state.counters["ratio_to_field_map_path"] = pairSeconds / floorSeconds;
    state.counters["converged"] = e.converged ? 1 : 0;
    // The steps of each level, coarse to fine, as one number (a digit pair per level).
    double steps = 0;
    for (const auto& l : e.levels) steps = steps * 100 + l.iterations;
    state.counters["steps"] = steps;
    state.counters["agreement_before"] = e.before.relativeDifference;
    state.counters["agreement_after"] = e.after.relativeDifference;
    state.counters["voxels/s"] = benchmark::Counter(static_cast<double>(g.voxels()),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

// The field-map path's solver alone on the same grid.
void BM_fieldMapPathUnwrapping(benchmark::State& state) {
    FieldMapPath path({static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                       static_cast<int>(state.range(2))});
    for (auto _ : state) path.run();
    state.counters["voxels/s"] = benchmark::Counter(static_cast<double>(path.d.voxels()),
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_pairFieldEstimation)
    ->ArgNames({"nx", "ny", "nz", "volumes"})
    ->Args({96, 96, 60, 3})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_fieldMapPathUnwrapping)
    ->ArgNames({"nx", "ny", "nz"})
    ->Args({96, 96, 60})
    ->Unit(benchmark::kMillisecond);

}  // namespace
