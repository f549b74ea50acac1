#include "cli/pairs/volume_average.h"

#include <algorithm>
#include <cmath>

namespace ondrift::pairs {

VolumeAverage averageVolumes(std::span<const float> series, std::size_t voxels, int volumes) {
    VolumeAverage out;
    if (volumes < 1 || series.size() < voxels * static_cast<std::size_t>(volumes)) return out;
    std::vector<double> sum(voxels, 0.0);
    for (int v = 0; v < volumes; ++v) {
        const float* vol = series.data() + static_cast<std::size_t>(v) * voxels;
        for (std::size_t i = 0; i < voxels; ++i) sum[i] += vol[i];
    }
    out.mean.resize(voxels);
    for (std::size_t i = 0; i < voxels; ++i) out.mean[i] = static_cast<float>(sum[i] / volumes);
    out.correlation.assign(static_cast<std::size_t>(volumes), 1.0);
    if (volumes == 1 || voxels == 0) return out;
    // Compared inside the signal only: the background would make any two head images agree.
    std::vector<float> sorted(out.mean);
    const auto k = static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(voxels - 1));
    std::nth_element(sorted.begin(), sorted.begin() + k, sorted.end());
    const float threshold = kSignalFraction * sorted[static_cast<std::size_t>(k)];
    // Each volume against the voxelwise median of all (against the other one when there are
    // two): one moved volume among three does not pull the reference of the others.
    std::vector<float> median(voxels);
    std::vector<float> values(static_cast<std::size_t>(volumes));
    for (std::size_t i = 0; i < voxels; ++i) {
        for (int v = 0; v < volumes; ++v)
            values[static_cast<std::size_t>(v)] = series[static_cast<std::size_t>(v) * voxels + i];
        std::nth_element(values.begin(), values.begin() + volumes / 2, values.end());
        median[i] = values[static_cast<std::size_t>(volumes / 2)];
    }
    for (int v = 0; v < volumes; ++v) {
        const float* vol = series.data() + static_cast<std::size_t>(v) * voxels;
        const float* ref =
            volumes == 2 ? series.data() + static_cast<std::size_t>(1 - v) * voxels : median.data();
        double ma = 0, mb = 0, count = 0;
        for (std::size_t i = 0; i < voxels; ++i) {
            if (out.mean[i] <= threshold) continue;
            ma += vol[i];
            mb += ref[i];
            ++count;
        }
        ma /= std::max(count, 1.0);
        mb /= std::max(count, 1.0);
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = 0; i < voxels; ++i) {
            if (out.mean[i] <= threshold) continue;
            const double a = vol[i] - ma;
            const double b = ref[i] - mb;
            ab += a * b;
            aa += a * a;
            bb += b * b;
        }
        const double c = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
        out.correlation[static_cast<std::size_t>(v)] = c;
        if (c < kMinVolumeCorrelation && out.disagreeing < 0) out.disagreeing = v;
    }
    return out;
}

}  // namespace ondrift::pairs
