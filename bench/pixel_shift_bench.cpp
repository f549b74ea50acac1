// Field map to pixel shift map, over one volume of field-map size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/pixel_shift.h"

namespace {

// Arguments: nx, ny, nz, applyTwoPi.
void BM_shiftFromField(benchmark::State& state) {
    const std::size_t n =
        static_cast<std::size_t>(state.range(0) * state.range(1) * state.range(2));
    std::vector<double> field(n, 64.0);
    std::vector<double> shift(n);
    const int applyTwoPi = static_cast<int>(state.range(3));
    for (auto _ : state) {
        ondrift::shiftFromField(field, shift, 32.0, applyTwoPi);
        benchmark::DoNotOptimize(shift.data());
        benchmark::ClobberMemory();
    }
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(n), 2 * 8);
}

BENCHMARK(BM_shiftFromField)
    ->Args({64, 64, 32, 0})
    ->Args({128, 128, 64, 0})
    ->Args({128, 128, 64, 1})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
