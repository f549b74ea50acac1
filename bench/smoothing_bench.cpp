// The "Smooth" 3×3 convolution over every slice of a field map, as the smoothing step runs it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/smoothing.h"

namespace {

std::vector<double> fieldLike(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = 40.0 * std::sin(0.001 * static_cast<double>(i));
    return v;
}

// Arguments: nx, ny, nz. One pass = every slice convolved into scratch and copied back.
void BM_convolveSlices(benchmark::State& state) {
    const int nx = static_cast<int>(state.range(0));
    const int ny = static_cast<int>(state.range(1));
    const int nz = static_cast<int>(state.range(2));
    const std::size_t slice = static_cast<std::size_t>(nx) * ny;
    std::vector<double> image = fieldLike(slice * nz);
    std::vector<double> work(slice);
    ondrift::KernelWeights k;
    ondrift::makeKernel(ondrift::kSmoothKernel, k);
    for (auto _ : state) {
        for (int z = 0; z < nz; ++z) {
            double* s = image.data() + static_cast<std::size_t>(z) * slice;
            ondrift::convolveSlice({s, slice}, work, nx, ny, k);
            std::copy(work.begin(), work.end(), s);
        }
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    // Read the slice, write the scratch, copy it back.
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(slice * nz), 4 * 8);
}

BENCHMARK(BM_convolveSlices)
    ->Args({64, 64, 32})
    ->Args({128, 128, 64})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
