// Relaxation unwrapping on field-map sized grids.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "pipeline/kernels/relaxation.h"

namespace {

using ondrift::Dims;

// Arguments: nx, ny, nz, iterations.
void BM_unwrapByRelaxation(benchmark::State& state) {
    const Dims d{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                 static_cast<int>(state.range(2))};
    const int iterations = static_cast<int>(state.range(3));
    std::vector<double> phase(d.voxels());
    std::vector<double> magnitude(d.voxels());
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double cycles = 0.03 * i + 0.02 * j + 0.05 * k;
                phase[d.index(i, j, k)] = cycles - std::floor(cycles + 0.5);
                magnitude[d.index(i, j, k)] = 500.0 + 10.0 * std::sin(0.1 * i);
            }
    std::vector<double> u(d.voxels());
    for (auto _ : state) {
        state.PauseTiming();
        std::fill(u.begin(), u.end(), 0.0);
        state.ResumeTiming();
        ondrift::unwrapByRelaxation(d, phase, magnitude, u, iterations, 0.0);
        benchmark::DoNotOptimize(u.data());
        benchmark::ClobberMemory();
    }
    // Each of the 2·N passes updates half of the voxels: N updates per voxel.
    state.counters["voxel_updates/s"] =
        benchmark::Counter(static_cast<double>(d.voxels()) * iterations,
                           benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_unwrapByRelaxation)
    ->ArgNames({"nx", "ny", "nz", "N"})
    ->Args({64, 64, 32, 50})
    ->Args({64, 64, 32, 500})
    ->Args({128, 128, 64, 50})
    ->Args({128, 128, 64, 500})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace
