// Carrying a field beyond the region where it was measured.
#ifndef ONDRIFT_PIPELINE_KERNELS_EXTRAPOLATION_H
#define ONDRIFT_PIPELINE_KERNELS_EXTRAPOLATION_H

#include <memory>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

struct FillGeometry;

/// Where the fill for one mask takes each voxel from: the distances to the mask, the band's
/// voxels in order, the way beyond the band. Half the fill's work, and it depends on the mask
/// alone, so it can be made before the field exists, beside the work that gives the field.
struct FillPlan {
    std::shared_ptr<FillGeometry> geometry;  ///< null: no plan
};

/// The plan of extrapolateOutsideMask for this mask, made on the calling thread alone (it is
/// meant to run beside other work). No plan when the fill would refuse the mask.
FillPlan planFill(Dims d, std::span<const unsigned char> inside);

/// Fills every voxel where inside == 0 from the voxels where inside != 0, which keep their
/// values. Within eight voxels (city-block distance) of the mask the fill grows outward one
/// shell at a time: each voxel takes the mean of its face neighbours in the shell before, so
/// values are carried from the nearest part of the mask and every side counts alike (mirrored
/// storage gives the mirrored fill there). One pass of neighbour averaging over the six shells
/// nearest the mask then takes the corners off. Beyond the eighth shell, where no displaced
/// voxel of the head reads the field, two raster sweeps carry the eighth shell's values outward
/// along the shortest way (each voxel a copy of a nearer neighbour, or the mean of two), which
/// costs a fraction of the shell fill; there the fill may differ slightly between storage
/// orders. Deterministic, to the bit for any number of worker threads (setWorkerThreads); the
/// fill stays within the range of the values inside. Returns false, touching nothing, when an
/// extent is below 1, a span's length differs from the grid's voxel count, the grid has more
/// voxels than 32-bit numbers count, or no voxel is inside.
/// `plan`, when it was made for this grid and a mask identical to `inside` (byte for byte), saves
/// the fill half its work and is used up; any other plan is left alone. The result is the same
/// with a plan or without.
bool extrapolateOutsideMask(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                            FillPlan* plan = nullptr);

}  // namespace ondrift

#endif
