// Nearest-neighbour transfer of a pixel shift map from one functional grid into another through
// the voxels of an anatomical grid.
#ifndef ONDRIFT_PIPELINE_KERNELS_SHIFT_MAPPING_H
#define ONDRIFT_PIPELINE_KERNELS_SHIFT_MAPPING_H

#include <span>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/matrix4.h"

namespace ondrift {

/// Visits every anatomical voxel (z outermost, x fastest) at its centred coordinates
/// (v − (n−1)/2, single precision), takes it into the target grid with `toTarget` and into the
/// source grid with `toSource` (both centred voxel coordinates), rounds each position half up,
/// and copies the source value, rounded to float, into the target voxel. Positions outside
/// either grid are skipped; the last anatomical voxel that reaches a target voxel sets it, and
/// target voxels nobody reaches keep their value.
///
/// `source` holds at least source.voxels() values and `target` target.voxels() values (checked
/// by the caller). Uses `scratch` of at least 6·anatomy.x floats for the per-column products.
void mapShiftsThroughAnatomy(const Matrix4& toTarget, const Matrix4& toSource, Dims anatomy,
                             Dims target, Dims source, std::span<const double> sourceValues,
                             std::span<double> targetValues, std::span<float> scratch);

/// Scratch floats mapShiftsThroughAnatomy needs for an anatomy of `anatomy` extents.
inline std::size_t shiftMappingScratchSize(Dims anatomy) {
    return 6 * static_cast<std::size_t>(anatomy.x > 0 ? anatomy.x : 0);
}

}  // namespace ondrift

#endif
