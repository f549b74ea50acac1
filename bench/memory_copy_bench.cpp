// Baseline: a plain copy of doubles, to read the kernels' bytes/s against the machine's bandwidth.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// Argument: number of doubles.
void BM_memoryCopy(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<double> from(n, 1.5);
    std::vector<double> to(n, 0.0);
    for (auto _ : state) {
        std::copy(from.begin(), from.end(), to.begin());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    const auto items = static_cast<std::int64_t>(state.iterations()) * state.range(0);
    state.SetItemsProcessed(items);
    state.SetBytesProcessed(items * 2 * static_cast<std::int64_t>(sizeof(double)));
    state.counters["voxels/s"] =
        benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

// Field maps of 64×64×32 and 128×128×64, and a whole 96×96×60×300 EPI series.
BENCHMARK(BM_memoryCopy)
    ->Arg(64 * 64 * 32)
    ->Arg(128 * 128 * 64)
    ->Arg(96 * 96 * 60 * 300)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
