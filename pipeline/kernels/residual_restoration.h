// What a smooth field misses, given back where the measurement shows it beyond its noise.
#ifndef ONDRIFT_PIPELINE_KERNELS_RESIDUAL_RESTORATION_H
#define ONDRIFT_PIPELINE_KERNELS_RESIDUAL_RESTORATION_H

#include <span>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/thin_plate.h"

namespace ondrift {

/// The residual is read within a Gaussian of this SD (mm), the finest field-map voxels: only
/// structure at the voxel scale is given back.
inline constexpr double kRestorationWindowMm = 1.5;
/// ... and only by what its local mean exceeds its own noise SD by (a soft threshold).
inline constexpr double kRestorationShrink = 1.0;

/// Adds to the smooth field `f` the local mean of its residual g − f, weighted by the inverse
/// noise variances `w` within a Gaussian window of SD `windowMm` (millimetres along each axis
/// of the voxel sizes `h`), shrunk towards 0 by `shrink` times that mean's own noise SD (a soft
/// threshold). Where the smooth field follows the measurement the mean is noise and nothing is
/// added; where a feature is sharper than the field's smoothness allows (at the edge of the
/// head, beside air) the measurement shows it and it is given back. Voxels with no weighted
/// neighbour in the window keep `f`. Returns the number of voxels changed, or -1, touching
/// nothing, when the lengths do not fit or a spacing is not positive.
long long restoreResidual(Dims d, const Spacing& h, std::span<const double> g,
                          std::span<const double> w, std::span<double> f, double windowMm,
                          double shrink);

}  // namespace ondrift

#endif
