// Resampling a field map onto the functional grid: the large case (field map 128×128×64 at
// 1.875×1.875×2 mm, functional grid 96×96×60 at 2.5×2.5×2.13 mm, same field of view), compare
// with BM_undistortSeries/96/96/60/300 of the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "bench/bench_counters.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/field_resampling.h"
#include "pipeline/kernels/grid_placement.h"

namespace {

using ondrift::Affine34;
using ondrift::Dims;

constexpr Dims kSource{128, 128, 64};
constexpr Dims kTarget{96, 96, 60};

/// An axial grid centred at the origin, or one tilted by `degrees` about x.
Affine34 grid(Dims d, ondrift::Vec3d size, double degrees) {
    const double a = degrees * 3.14159265358979 / 180.0;
    ondrift::SlicePlacement p;
    p.rowDir = {1, 0, 0};
    p.colDir = {0, std::cos(a), std::sin(a)};
    const ondrift::Vec3d normal{0, -std::sin(a), std::cos(a)};
    const double half = (d.z - 1) / 2.0 * size[2];
    for (int k = 0; k < 3; ++k) {
        p.firstSliceCentre[k] = -half * normal[k];
        p.lastSliceCentre[k] = half * normal[k];
    }
    p.voxelSize = size;
    Affine34 out{};
    ondrift::voxelToWorld(p, d, out);
    return out;
}

// Arguments: tilt of the functional grid in degrees (0: the same field of view; tilted, the
// corners of the functional grid leave it and are extrapolated), and 1 to sample only inside a
// head-shaped mask and extrapolate the rest, 0 to sample everywhere.
void BM_resampleFieldMap(benchmark::State& state) {
    const Affine34 source = grid(kSource, {1.875, 1.875, 2.0}, 0);
    const Affine34 target = grid(kTarget, {2.5, 2.5, 2.13}, static_cast<double>(state.range(0)));
    Affine34 worldToSource{};
    ondrift::invertAffine(source, worldToSource);
    const Affine34 targetToSource = ondrift::composeAffine(worldToSource, target);
    std::vector<double> field(kSource.voxels());
    std::vector<unsigned char> mask(kSource.voxels());
    for (int z = 0; z < kSource.z; ++z)
        for (int y = 0; y < kSource.y; ++y)
            for (int x = 0; x < kSource.x; ++x) {
                const double u = (x - 63.5) / 50.0, v = (y - 63.5) / 58.0, w = (z - 31.5) / 26.0;
                field[kSource.index(x, y, z)] = 40.0 * u + 25.0 * v * v - 30.0 * w;
                mask[kSource.index(x, y, z)] = u * u + v * v + w * w < 1.0 ? 1 : 0;
            }
    const bool masked = state.range(1) != 0;
    std::vector<double> values(kTarget.voxels());
    std::vector<unsigned char> inside(kTarget.voxels());
    for (auto _ : state) {
        const ondrift::ResampleCounts counts = ondrift::resampleTrilinear(
            kSource, field,
            masked ? std::span<const unsigned char>(mask) : std::span<const unsigned char>(),
            kTarget, targetToSource, values, inside);
        if (counts.inside < kTarget.voxels()) {
            ondrift::extrapolateOutsideMask(kTarget, values, inside);
        }
        benchmark::DoNotOptimize(values.data());
        benchmark::ClobberMemory();
    }
    // Eight neighbours and their mask flags read, one value and one flag written per voxel.
    ondrift::bench::reportThroughput(state, static_cast<std::int64_t>(kTarget.voxels()), 8 * 9 + 9);
}

BENCHMARK(BM_resampleFieldMap)
    ->Args({0, 0})
    ->Args({12, 0})
    ->Args({0, 1})
    ->Args({12, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
