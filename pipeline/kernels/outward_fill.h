// Carrying a field from the voxels where it is known into the rest of the grid.
#ifndef ONDRIFT_PIPELINE_KERNELS_OUTWARD_FILL_H
#define ONDRIFT_PIPELINE_KERNELS_OUTWARD_FILL_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Fills every voxel with inside[i] == 0, layer by layer outward from the known voxels: a voxel
/// of the next layer takes the mean of its known face neighbours (six-connected), which then
/// count as known. The known voxels keep their values. False, with `field` unchanged, when no
/// voxel is known; true otherwise (voxels in parts of the grid unconnected to any known voxel
/// cannot occur on a box-shaped grid).
bool fillOutward(Dims d, std::span<double> field, std::span<const unsigned char> inside);

}  // namespace ondrift

#endif
