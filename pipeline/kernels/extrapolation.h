// Carrying a field beyond the region where it was measured.
#ifndef ONDRIFT_PIPELINE_KERNELS_EXTRAPOLATION_H
#define ONDRIFT_PIPELINE_KERNELS_EXTRAPOLATION_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Fills every voxel where inside == 0 from the voxels where inside != 0, which keep their
/// values. The fill grows outward from the mask one shell at a time: each voxel of a shell
/// takes the mean of its already known face neighbours (values of earlier shells only, so the
/// result does not depend on the visiting order); the outer shells are then relaxed towards the
/// mean of their neighbours, so that the continuation has no ridges. Deterministic. Returns
/// false, touching nothing, when an extent is below 1, a span's length differs from the grid's
/// voxel count, or no voxel is inside.
bool extrapolateOutsideMask(Dims d, std::span<double> field, std::span<const unsigned char> inside);

}  // namespace ondrift

#endif
