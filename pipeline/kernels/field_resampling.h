// Trilinear resampling of a field from one grid onto another placed anywhere in the scanner.
#ifndef ONDRIFT_PIPELINE_KERNELS_FIELD_RESAMPLING_H
#define ONDRIFT_PIPELINE_KERNELS_FIELD_RESAMPLING_H

#include <cstddef>
#include <span>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/grid_placement.h"

namespace ondrift {

struct ResampleCounts {
    std::size_t covered = 0;  ///< target voxels whose centre lies in the source's field of view
    std::size_t inside = 0;   ///< of those, the ones that received a value
};

/// Samples `source` at the centre of every target voxel. `targetToSource` takes target voxel
/// indices to source voxel indices (composeAffine(invert(source to world), target to world)).
///
/// A target centre is covered when it lies in the cells of the source voxels (−0.5 to n − 0.5 on
/// every axis); in the outer half voxel the edge values hold. The value is the trilinear
/// interpolation of the eight neighbours. With `sourceInside` (one flag per source voxel; empty:
/// every voxel counts) only the neighbours inside count and their weights are renormalised; the
/// target voxel then receives a value only when those neighbours carry at least half of the
/// weight. Target voxels that receive a value are flagged 1 in `targetInside`, all others get 0
/// and the value 0, for the caller to extrapolate into.
///
/// Positions within 1e-6 voxel of a source centre are taken as that centre, so that a grid
/// resampled onto itself through rounded records is copied exactly. Spans must hold the voxel
/// counts of their grids (checked by the caller).
ResampleCounts resampleTrilinear(Dims source, std::span<const double> sourceValues,
                                 std::span<const unsigned char> sourceInside, Dims target,
                                 const Affine34& targetToSource, std::span<double> targetValues,
                                 std::span<unsigned char> targetInside);

}  // namespace ondrift

#endif
