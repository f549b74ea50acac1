// Smoothing that removes phase noise without flattening curved fields.
#ifndef ONDRIFT_PIPELINE_KERNELS_QUADRATIC_SMOOTHING_H
#define ONDRIFT_PIPELINE_KERNELS_QUADRATIC_SMOOTHING_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Taps of the local quadratic fit along one axis.
inline constexpr int kQuadraticWindow = 7;

/// Replaces every voxel by the value at its centre of a least-squares quadratic fitted to the
/// `kQuadraticWindow` voxels around it, along x, then y, then z (a separable Savitzky–Golay
/// filter). A box average of the same width flattens the peaks of the lobes beside air
/// cavities; the quadratic fit keeps any field up to second order exactly and only removes what
/// varies faster, which is mostly noise. Near the ends of a line the window stays inside the
/// grid and the fit is evaluated off-centre, so second-order fields pass exactly everywhere. An
/// axis shorter than the window is left as it is. The field must be defined everywhere
/// (extrapolated beyond the head first), since every voxel takes part. Returns false, touching
/// nothing, when the extents or the span length do not fit.
bool smoothQuadratic(Dims d, std::span<double> field);

}  // namespace ondrift

#endif
