// Beyond the edge of a mask the field keeps sloping: a fill that only carries the edge value
// outward is wrong by the slope times the distance.
#ifndef ONDRIFT_PIPELINE_KERNELS_GRADIENT_FILL_H
#define ONDRIFT_PIPELINE_KERNELS_GRADIENT_FILL_H

#include <memory>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

struct SlopeEnds;

/// Where continueGradients carries a slope for one mask: the ends of the lines that leave it
/// for good. They depend on the mask alone, so they can be found before the field exists,
/// beside the work that gives the field.
struct SlopePlan {
    std::shared_ptr<const SlopeEnds> ends;  ///< null: no plan
};

/// The plan of continueGradients for this mask, made on the calling thread alone. No plan when
/// the extents or the span length do not fit.
SlopePlan planSlopes(Dims d, std::span<const unsigned char> inside);

/// Voxels beyond the ends of lines of at least kGradientFitVoxels voxels of the mask.
inline constexpr int kGradientFitVoxels = 5;
/// How far beyond the mask the slope is carried, in voxels.
inline constexpr int kGradientBand = 4;

/// Corrects a field that has been filled beyond the mask (`field` defined everywhere) near the
/// mask: along x and y, wherever a line leaves the mask after at least kGradientFitVoxels
/// voxels inside it (and no voxel of the mask follows within twice the band), the straight line
/// fitted to those last voxels is carried up to kGradientBand voxels beyond, each estimate weighted
/// by the inverse of its distance. A voxel reached this way at distance d (the nearest of its
/// estimates) becomes the mix (1 − t)·estimate + t·fill with t = (d − 1) / kGradientBand, so the
/// carried slope fades into the fill. Not along z: slices are often thick and few, a head spans few
/// of them, and its field curves most at its bottom, beside the air cavities, where a straight line
/// over five slices overshoots. Voxels of the mask and voxels no line reaches keep their values.
/// Returns the number of voxels changed, or -1 (touching nothing) when the extents or span lengths
/// do not fit.
/// `plan`, when it was made for this grid and a mask identical to `inside` (byte for byte), spares
/// the search for the lines' ends; the result is the same with a plan or without.
long long continueGradients(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                            const SlopePlan* plan = nullptr);

}  // namespace ondrift

#endif
