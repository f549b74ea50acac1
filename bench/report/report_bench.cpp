// The quality report and the polarity check of `ondrift correct` on the large demo case
// (128×128×40 voxels, 12 volumes, the scanner-like phantom), against a floor of the same run:
// the mean of the series, which the report needs in any case and which reads every value once.
// The share that matters is end to end (bench scripts and `correct` with and without
// --no-report); these cases show where the report's own time goes.
#include <benchmark/benchmark.h>

#include <string>

#include "cli/phantom/phantom.h"
#include "cli/report/html_report.h"
#include "cli/report/polarity_check.h"
#include "cli/report/shift_figures.h"
#include "cli/report/volume.h"

namespace {

using namespace ondrift::cli;

struct LargeDemo {
    Phantom phantom;
    Volume mean;
    Volume shift;
    Volume magnitude;

    LargeDemo() {
        PhantomOptions o;
        o.dims = {128, 128, 40};
        o.volumes = 12;
        o.voxelSize = 1.8f;
        phantom = makePhantom(o);
        mean = meanVolume(phantom.seriesGeometry, phantom.distorted);
        shift = firstVolume(phantom.geometry, phantom.fieldHz);
        for (float& s : shift.values) s = static_cast<float>(s / phantom.bandwidthPE());
        magnitude = firstVolume(phantom.geometry, phantom.magnitude);
    }
};

const LargeDemo& demo() {
    static const LargeDemo d;
    return d;
}

void BM_reportFloorMeanOfSeries(benchmark::State& state) {
    const LargeDemo& d = demo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(meanOfVolumes(d.phantom.distorted, d.mean.voxels()).data());
    }
}
BENCHMARK(BM_reportFloorMeanOfSeries)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_polarityCheck(benchmark::State& state) {
    const LargeDemo& d = demo();
    for (auto _ : state) {
        const PolarityCheck c =
            checkPolarity(d.mean, d.shift, d.magnitude, d.phantom.options.peDirection);
        benchmark::DoNotOptimize(c.usedScore);
    }
}
BENCHMARK(BM_polarityCheck)->Unit(benchmark::kMillisecond)->UseRealTime();

// The page as `correct` writes it: the shared figures, the shift figures and every picture.
void BM_reportPage(benchmark::State& state) {
    const LargeDemo& d = demo();
    const PolarityCheck check =
        checkPolarity(d.mean, d.shift, d.magnitude, d.phantom.options.peDirection);
    for (auto _ : state) {
        ReportContent content;
        content.title = "large demo";
        content.polarity = check;
        ReportImages& im = content.images;
        im.magnitude = d.magnitude;
        im.fieldHz = d.shift;
        im.meanBefore = d.mean;
        im.meanAfter = d.mean;
        im.shift = d.shift;
        im.magnitudeOnEpi = d.magnitude;
        im.direction = d.phantom.options.peDirection;
        im.prepare();
        content.shifts = shiftFigures(im.shift, im.head, im.direction);
        benchmark::DoNotOptimize(renderReport(content).size());
    }
}
BENCHMARK(BM_reportPage)->Unit(benchmark::kMillisecond)->UseRealTime();

// The single pieces that used to dominate.
void BM_reportHeadMaskGrown(benchmark::State& state) {
    const LargeDemo& d = demo();
    for (auto _ : state) benchmark::DoNotOptimize(headMask(d.mean, 4).data());
}
BENCHMARK(BM_reportHeadMaskGrown)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_reportPercentiles(benchmark::State& state) {
    const LargeDemo& d = demo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(percentilesOf(d.mean.values, {0.98, 0.99}).data());
    }
}
BENCHMARK(BM_reportPercentiles)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_reportShiftAlong(benchmark::State& state) {
    const LargeDemo& d = demo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            shiftAlong(d.mean, d.shift.values, d.phantom.options.peDirection).data());
    }
}
BENCHMARK(BM_reportShiftAlong)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
