// Phase to field map (Hz), over one volume of field-map size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/field_map.h"

namespace {

// Arguments: nx, ny, nz.
void BM_fieldFromPhase(benchmark::State& state) {
    const std::size_t n =
        static_cast<std::size_t>(state.range(0) * state.range(1) * state.range(2));
    std::vector<double> phase(n, 0.37);
    std::vector<double> field(n);
    const double echoTimeDiff = static_cast<double>(2.46f / 1000.0f);
    for (auto _ : state) {
        ondrift::fieldFromPhase(phase, field, echoTimeDiff);
        benchmark::DoNotOptimize(field.data());
        benchmark::ClobberMemory();
    }
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(n), 2 * 8);
}

BENCHMARK(BM_fieldFromPhase)
    ->Args({64, 64, 32})
    ->Args({128, 128, 64})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
