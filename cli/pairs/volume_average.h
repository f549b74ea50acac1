// The volumes of one phase-encoding direction averaged into one, after a check that they agree
// (a volume taken after the head moved would blur the average and bias the field).
#ifndef ONDRIFT_CLI_PAIRS_VOLUME_AVERAGE_H
#define ONDRIFT_CLI_PAIRS_VOLUME_AVERAGE_H

#include <cstddef>
#include <span>
#include <vector>

namespace ondrift::pairs {

/// Volumes whose correlation with the others, inside the signal, lies below this disagree.
inline constexpr double kMinVolumeCorrelation = 0.9;
/// The signal: voxels of the mean above this share of its 99th percentile (the bright tissue).
inline constexpr float kSignalFraction = 0.2f;

struct VolumeAverage {
    std::vector<float> mean;
    /// Per volume, its correlation inside the signal with the voxelwise median of all volumes
    /// (with the other volume when there are two; 1 for a single volume).
    std::vector<double> correlation;
    int disagreeing = -1;  ///< the first volume below kMinVolumeCorrelation; -1: none
};

/// `series` holds `volumes` volumes of `voxels` voxels each, volume slowest.
VolumeAverage averageVolumes(std::span<const float> series, std::size_t voxels, int volumes);

}  // namespace ondrift::pairs

#endif
