// Checks of how the input grids relate in the world.
#ifndef ONDRIFT_CLI_GRID_CHECKS_H
#define ONDRIFT_CLI_GRID_CHECKS_H

#include <array>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

class Reporter;

/// The continuous voxel coordinates of grid `g` at world point `w` (mm).
std::array<double, 3> voxelOf(const NiftiGeometry& g, const std::array<double, 3>& w);

/// The mapping samples the anatomical grid: each functional voxel needs an anatomical voxel
/// inside it, so the anatomical image must be as fine as the functional one and cover it.
/// Warns when it is not.
void checkSamplingLattice(const NiftiGeometry& anat, const NiftiGeometry& epi, Reporter& reporter);

}  // namespace ondrift::cli

#endif
