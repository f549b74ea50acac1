// The full-multigrid solver on grids of the size of field maps, and its transfer alone.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/multigrid.h"

namespace {

using ondrift::Dims;
using ondrift::LevelParams;

// A mean-free right-hand side like a wrapped-phase Laplacian: smooth modes plus a little noise.
std::vector<double> rightHandSide(Dims d) {
    std::vector<double> b(d.voxels());
    std::uint32_t s = 12345u;
    double mean = 0.0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                s = s * 1664525u + 1013904223u;
                const double noise = static_cast<double>(s >> 8) / 8388608.0 - 1.0;
                const double v =
                    std::sin(0.21 * i) * std::cos(0.13 * j) + 0.3 * std::sin(0.4 * k) + 0.1 * noise;
                b[d.index(i, j, k)] = v;
                mean += v;
            }
    mean /= static_cast<double>(b.size());
    for (double& v : b) v -= mean;
    return b;
}

double residualNorm(Dims d, const std::vector<double>& a, const std::vector<double>& b,
                    const LevelParams& p, const std::vector<double>& u, std::vector<double>& r) {
    ondrift::apply_system(d, a.data(), p, u.data(), r.data());
    double sum = 0.0;
    for (std::size_t v = 0; v < r.size(); ++v) sum += (b[v] - r[v]) * (b[v] - r[v]);
    return std::sqrt(sum);
}

// Arguments: nx, ny, nz, cycles, relaxation iterations.
void BM_fmg_solve(benchmark::State& state) {
    const Dims d{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                 static_cast<int>(state.range(2))};
    const int cycles = static_cast<int>(state.range(3));
    const int nit = static_cast<int>(state.range(4));
    const LevelParams p{1.0, 1.0, 1.0, 1.0, 0.0};
    const std::vector<double> a(d.voxels(), 0.0001);
    const std::vector<double> b = rightHandSide(d);
    std::vector<double> u(d.voxels(), 0.0);
    std::vector<double> scratch(static_cast<std::size_t>(ondrift::fmg_scratch_size(d)));
    for (auto _ : state) {
        ondrift::fmg_solve(d, a, b, p, cycles, nit, u, scratch);
        benchmark::DoNotOptimize(u.data());
        benchmark::ClobberMemory();
    }
    std::vector<double> r(d.voxels());
    const double before = residualNorm(d, a, b, p, std::vector<double>(d.voxels(), 0.0), r);
    const double after = residualNorm(d, a, b, p, u, r);
    const double voxels = static_cast<double>(d.voxels());
    // Seconds per voxel of the finest grid (shown with an SI prefix, e.g. "37n" = 37 ns).
    state.counters["time_per_voxel"] = benchmark::Counter(
        voxels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["voxels/s"] =
        benchmark::Counter(voxels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["residual_reduction"] = after / before;
}

void fmgArguments(benchmark::internal::Benchmark* b) {
    for (const auto& size :
         {std::vector<std::int64_t>{64, 64, 32}, {128, 128, 64}, {256, 256, 128}})
        for (const auto& cn : {std::vector<std::int64_t>{2, 2}, {4, 4}})
            b->Args({size[0], size[1], size[2], cn[0], cn[1]});
}

BENCHMARK(BM_fmg_solve)
    ->ArgNames({"nx", "ny", "nz", "c", "nit"})
    ->Apply(fmgArguments)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

// Restriction (halving) and prolongation (doubling) of a whole volume.
void BM_resize(benchmark::State& state) {
    const Dims fine{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                    static_cast<int>(state.range(2))};
    const Dims coarse{(fine.x + 1) / 2, (fine.y + 1) / 2, (fine.z + 1) / 2};
    const bool restrict = state.range(3) == 0;
    const Dims in = restrict ? fine : coarse;
    const Dims out = restrict ? coarse : fine;
    const std::vector<double> f = rightHandSide(in);
    std::vector<double> g(out.voxels());
    std::vector<double> work(ondrift::resizeWorkSize(in, out));
    for (auto _ : state) {
        ondrift::resize(in, f.data(), out, g.data(), work.data());
        benchmark::DoNotOptimize(g.data());
        benchmark::ClobberMemory();
    }
    state.counters["fine_voxels/s"] = benchmark::Counter(
        static_cast<double>(fine.voxels()), benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_resize)
    ->ArgNames({"nx", "ny", "nz", "prolong"})
    ->Args({128, 128, 64, 0})
    ->Args({128, 128, 64, 1})
    ->Args({256, 256, 128, 0})
    ->Args({256, 256, 128, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
