// The local stretch of the mapping that the undistortion applies, for restoring the intensity
// that the distortion piled up or thinned out along the phase-encoding axis.
#ifndef ONDRIFT_PIPELINE_KERNELS_STRETCH_H
#define ONDRIFT_PIPELINE_KERNELS_STRETCH_H

#include <cstddef>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Below this the stretch is taken as this: where the shift map folds over (stretch ≤ 0) the
/// signal of several positions landed in one voxel and no factor recovers it; a tenfold pile-up
/// is kept as the most the correction restores. The same bound holds the other way (above
/// 1 / kMinStretch), so that thinned-out noise is not amplified without end.
inline constexpr double kMinStretch = 0.1;

/// For every voxel, the stretch 1 + σ·∂s/∂n of the undistortion's mapping n → n + σ·s(n)
/// (σ = +1 for the direction codes 1, 3, 5, −1 for 2, 4, 6), with ∂s/∂n the derivative of
/// `shift` along the resampled axis in voxel index: the central difference, one-sided at the
/// ends of the axis, 0 on an axis of one voxel. Values outside [kMinStretch, 1 / kMinStretch]
/// (and non-finite ones) are clamped to the nearer bound, NaN to kMinStretch. Returns the
/// number of clamped voxels. `shift` and `out` hold d.voxels() values; nothing is written for
/// a direction code outside 1…6 or spans too short (0 returned).
std::size_t stretchFactors(std::span<const double> shift, std::span<double> out, Dims d,
                           int direction);

/// values[i] *= factors[i] over the shorter of the two.
void applyStretch(std::span<double> values, std::span<const double> factors);

}  // namespace ondrift

#endif
