// Where the voxels of a slice stack lie in the scanner: the voxel-to-world affine built from the
// slice centres and in-plane directions of a position record, and the affine between two grids.
#ifndef ONDRIFT_PIPELINE_KERNELS_GRID_PLACEMENT_H
#define ONDRIFT_PIPELINE_KERNELS_GRID_PLACEMENT_H

#include <array>

#include "pipeline/kernels/dims.h"

namespace ondrift {

using Vec3d = std::array<double, 3>;

/// A slice stack in scanner millimetres, as a position record describes it.
struct SlicePlacement {
    Vec3d firstSliceCentre{};  ///< centre of voxel ((nx−1)/2, (ny−1)/2, 0)
    Vec3d lastSliceCentre{};   ///< centre of voxel ((nx−1)/2, (ny−1)/2, nz−1)
    Vec3d rowDir{};            ///< direction in which the column index i grows
    Vec3d colDir{};            ///< direction in which the row index j grows
    Vec3d voxelSize{};         ///< steps along i and j; the slice step is used only when nz is 1
};

/// Rows of a 3×4 affine (x, y, z from (i, j, k, 1)), row-major: element (r, c) at 4·r + c.
using Affine34 = std::array<double, 12>;

enum class PlacementProblem {
    None,
    NotFinite,  ///< a coordinate, direction or voxel size is not a finite number
    Singular,   ///< the voxel axes span no volume (zero steps, parallel or zero directions)
};

/// Voxel (i, j, k) to scanner millimetres. The in-plane directions are normalised (records carry
/// rounded unit vectors); the slice axis runs from the first slice centre to the last in nz − 1
/// equal steps, so a stack whose slices are sheared against the in-plane normal keeps its shear.
/// With one slice it is the in-plane normal, one slice step long.
PlacementProblem voxelToWorld(const SlicePlacement& placement, Dims dims, Affine34& out);

/// The inverse of an affine; Singular when its 3×3 part has no usable inverse.
PlacementProblem invertAffine(const Affine34& a, Affine34& out);

/// a·b as affine maps: first b, then a.
Affine34 composeAffine(const Affine34& a, const Affine34& b);

/// a applied to (i, j, k).
Vec3d applyAffine(const Affine34& a, double i, double j, double k);

}  // namespace ondrift

#endif
