// Field inhomogeneity to voxel shifts along the phase-encoding axis.
#ifndef ONDRIFT_PIPELINE_KERNELS_PIXEL_SHIFT_H
#define ONDRIFT_PIPELINE_KERNELS_PIXEL_SHIFT_H

#include <span>

namespace ondrift {

/// out[i] = field[i] / (kTwoPi15 · bandWidthPE) when applyTwoPi is 1 (a field in radians per
/// second), otherwise field[i] / bandWidthPE. A true division per voxel, not a multiplication by
/// the reciprocal. `out` must hold at least field.size() values.
void shiftFromField(std::span<const double> field, std::span<double> out, double bandWidthPE,
                    int applyTwoPi);

}  // namespace ondrift

#endif
