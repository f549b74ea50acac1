// Single voxels and small clusters left a whole cycle off their surroundings after unwrapping.
#ifndef ONDRIFT_PIPELINE_KERNELS_CYCLE_OUTLIERS_H
#define ONDRIFT_PIPELINE_KERNELS_CYCLE_OUTLIERS_H

#include <cstddef>
#include <memory>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Moves by whole cycles every voxel of the mask that lies more than half a cycle from the
/// median of the mask voxels around it (the 26 neighbours; at least 6 of them in the mask),
/// so that its value lies within half a cycle of that median. Only voxels at the rim of the
/// mask or with a face neighbour more than half a cycle away are examined, and two sweeps in
/// storage order are made, so the pass changes noise voxels at the rim of a signal dropout,
/// where region growing can place a voxel from an equally noisy neighbour or leave a pair of
/// them as a part of its own, but not whole regions. `unwrapped` is in
/// cycles. Returns the number of voxels moved, or -1 (touching nothing) when the extents or
/// span lengths do not fit.
long long alignCycleOutliers(Dims d, std::span<double> unwrapped,
                             std::span<const unsigned char> inside,
                             const unsigned char* neighbourCounts = nullptr);

/// Per voxel of the mask (other entries unset): how many of its 26 neighbours lie in the mask.
/// The outlier pass passes over a voxel with fewer than six at once, as it can never move; the
/// counts depend on the mask alone, so they can be made beforehand and given to
/// alignCycleOutliers as `neighbourCounts` (for the same mask; the result is the same). Null
/// when the extents or the span length do not fit.
std::unique_ptr<unsigned char[]> maskNeighbourCounts(Dims d, std::span<const unsigned char> inside);

}  // namespace ondrift

#endif
