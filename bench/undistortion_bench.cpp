// Undistortion of whole EPI series, volume by volume as the step runs it: resample into one
// work volume, copy it back.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/stretch.h"
#include "pipeline/kernels/undistortion.h"

namespace {

using ondrift::Dims;

// A smooth shift of a few voxels with fractional parts, some of it beyond the edges.
std::vector<double> shiftMap(Dims d) {
    std::vector<double> s(d.voxels());
    for (int z = 0; z < d.z; ++z)
        for (int y = 0; y < d.y; ++y)
            for (int x = 0; x < d.x; ++x)
                s[d.index(x, y, z)] = 4.5 * std::sin(0.09 * x + 0.05 * z) * std::cos(0.07 * y);
    return s;
}

// Arguments: nx, ny, nz, volumes, direction code.
void BM_undistortSeries(benchmark::State& state) {
    const Dims d{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                 static_cast<int>(state.range(2))};
    const auto volumes = static_cast<std::size_t>(state.range(3));
    const int code = static_cast<int>(state.range(4));
    const std::size_t n = d.voxels();
    std::vector<double> epi(n * volumes);
    for (std::size_t i = 0; i < epi.size(); ++i) epi[i] = static_cast<double>(i % 4093);
    const std::vector<double> shift = shiftMap(d);
    std::vector<double> work(n);
    for (auto _ : state) {
        for (std::size_t t = 0; t < volumes; ++t) {
            double* volume = epi.data() + t * n;
            ondrift::undistortVolume({volume, n}, work, shift, d, code);
            std::copy(work.begin(), work.end(), volume);
        }
        benchmark::DoNotOptimize(epi.data());
        benchmark::ClobberMemory();
    }
    // Read the EPI and the map, write the work volume; then copy it back (read + write).
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(n * volumes), 5 * 8);
}

BENCHMARK(BM_undistortSeries)
    ->Args({64, 64, 32, 200, 1})
    ->Args({64, 64, 32, 200, 3})
    ->Args({64, 64, 32, 200, 6})
    ->Args({96, 96, 60, 300, 1})
    ->Args({96, 96, 60, 300, 4})
    ->Args({96, 96, 60, 300, 5})
    ->Unit(benchmark::kMillisecond);

// The same with intensity modulation: the stretch is computed once, then each corrected volume
// is multiplied by it before it is copied back. Compare with BM_undistortSeries of the same
// arguments.
void BM_undistortSeriesModulated(benchmark::State& state) {
    const Dims d{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                 static_cast<int>(state.range(2))};
    const auto volumes = static_cast<std::size_t>(state.range(3));
    const int code = static_cast<int>(state.range(4));
    const std::size_t n = d.voxels();
    std::vector<double> epi(n * volumes);
    for (std::size_t i = 0; i < epi.size(); ++i) epi[i] = static_cast<double>(i % 4093);
    const std::vector<double> shift = shiftMap(d);
    std::vector<double> work(n);
    std::vector<double> stretch(n);
    for (auto _ : state) {
        ondrift::stretchFactors(shift, stretch, d, code);
        for (std::size_t t = 0; t < volumes; ++t) {
            double* volume = epi.data() + t * n;
            ondrift::undistortVolume({volume, n}, work, shift, d, code);
            ondrift::applyStretch(work, stretch);
            std::copy(work.begin(), work.end(), volume);
        }
        benchmark::DoNotOptimize(epi.data());
        benchmark::ClobberMemory();
    }
    // As above, and the stretch read once more per voxel.
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(n * volumes), 6 * 8);
}

BENCHMARK(BM_undistortSeriesModulated)
    ->Args({96, 96, 60, 300, 1})
    ->Args({96, 96, 60, 300, 4})
    ->Unit(benchmark::kMillisecond);

}  // namespace
