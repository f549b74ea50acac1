// Voxels per second and bytes per second, reported the same way by every kernel benchmark.
#ifndef ONDRIFT_BENCH_BENCH_COUNTERS_H
#define ONDRIFT_BENCH_BENCH_COUNTERS_H

#include <benchmark/benchmark.h>

#include <cstdint>

namespace ondrift::bench {

/// `voxels` per iteration; `bytesPerVoxel` = bytes read plus bytes written for each voxel.
inline void reportThroughput(benchmark::State& state, std::int64_t voxels,
                             std::int64_t bytesPerVoxel) {
    const std::int64_t items = static_cast<std::int64_t>(state.iterations()) * voxels;
    state.SetItemsProcessed(items);
    state.SetBytesProcessed(items * bytesPerVoxel);
    state.counters["voxels/s"] =
        benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

}  // namespace ondrift::bench

#endif
