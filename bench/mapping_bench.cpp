// The pixel shift mapping on an anatomical grid of 256×256×170 voxels, tabulated and per-voxel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "pipeline/kernels/shift_mapping.h"

namespace {

using ondrift::Dims;
using ondrift::Matrix4;
using ondrift::Point4;

const Dims kVmr{256, 256, 170};
const Dims kEpi{80, 80, 36};
const Dims kStart{64, 64, 32};

// 1 mm anatomy into 3 mm EPI voxels tilted by 15°, and into 3.5 mm field-map voxels.
Matrix4 toEpi() {
    const float c = std::cos(0.2618f) / 3.0f, s = std::sin(0.2618f) / 3.0f;
    return {1.0f / 3.0f, 0, 0, -2.0f, 0, c, s, 1.8f, 0, -s, c, -4.6f, 0, 0, 0, 1};
}
Matrix4 toStart() {
    return {1.0f / 3.5f, 0, 0, 0.5f, 0, 1.0f / 3.5f, 0, -1.2f, 0, 0, -1.0f / 3.5f,
            0.8f,        0, 0, 0,    1};
}

void BM_mapShiftsThroughAnatomy(benchmark::State& state) {
    std::vector<double> shifts(kStart.voxels(), 1.25);
    std::vector<double> mapped(kEpi.voxels(), 0.0);
    std::vector<float> scratch(ondrift::shiftMappingScratchSize(kVmr));
    const Matrix4 e = toEpi(), p = toStart();
    for (auto _ : state) {
        ondrift::mapShiftsThroughAnatomy(e, p, kVmr, kEpi, kStart, shifts, mapped, scratch);
        benchmark::DoNotOptimize(mapped.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kVmr.voxels()));
}
BENCHMARK(BM_mapShiftsThroughAnatomy)->Unit(benchmark::kMillisecond);

// The same mapping with two full matrix-point products per voxel, for comparison.
void BM_mapShiftsPerVoxelProducts(benchmark::State& state) {
    std::vector<double> shifts(kStart.voxels(), 1.25);
    std::vector<double> mapped(kEpi.voxels(), 0.0);
    const Matrix4 e = toEpi(), p = toStart();
    auto inside = [](double v, int n) { return v >= 0.0 && v < n; };
    for (auto _ : state) {
        for (int z = 0; z < kVmr.z; ++z)
            for (int y = 0; y < kVmr.y; ++y)
                for (int x = 0; x < kVmr.x; ++x) {
                    const Point4 pt{float(x) - float(kVmr.x - 1) / 2.0f,
                                    float(y) - float(kVmr.y - 1) / 2.0f,
                                    float(z) - float(kVmr.z - 1) / 2.0f, 1.0f};
                    Point4 q, r;
                    ondrift::transformPoint4(e, pt, q);
                    const double i = ondrift::roundHalfUp(q[0] + float(kEpi.x - 1) / 2.0f);
                    const double j = ondrift::roundHalfUp(q[1] + float(kEpi.y - 1) / 2.0f);
                    const double k = ondrift::roundHalfUp(q[2] + float(kEpi.z - 1) / 2.0f);
                    if (!inside(i, kEpi.x) || !inside(j, kEpi.y) || !inside(k, kEpi.z)) continue;
                    ondrift::transformPoint4(p, pt, r);
                    const double a = ondrift::roundHalfUp(r[0] + float(kStart.x - 1) / 2.0f);
                    const double b = ondrift::roundHalfUp(r[1] + float(kStart.y - 1) / 2.0f);
                    const double c = ondrift::roundHalfUp(r[2] + float(kStart.z - 1) / 2.0f);
                    if (!inside(a, kStart.x) || !inside(b, kStart.y) || !inside(c, kStart.z))
                        continue;
                    mapped[kEpi.index(int(i), int(j), int(k))] =
                        double(float(shifts[kStart.index(int(a), int(b), int(c))]));
                }
        benchmark::DoNotOptimize(mapped.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kVmr.voxels()));
}
BENCHMARK(BM_mapShiftsPerVoxelProducts)->Unit(benchmark::kMillisecond);

}  // namespace
