// Phase unwrapping by weighted red-black relaxation, in place, with periodic neighbours.
#ifndef ONDRIFT_PIPELINE_KERNELS_RELAXATION_H
#define ONDRIFT_PIPELINE_KERNELS_RELAXATION_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Refines the unwrapped phase `solution` (cycles, updated in place; the caller starts it at 0)
/// of the wrapped phase `phase` (cycles) with 2·iterations red-black passes. Each neighbour pair
/// is weighted by the product of the two voxels' weights (magnitudes); `lambda` pulls every
/// voxel towards the mean of its six neighbours. Returns false, touching nothing, when an
/// extent is below 1 or a span is shorter than the grid.
bool unwrapByRelaxation(Dims d, std::span<const double> phase, std::span<const double> weights,
                        std::span<double> solution, int iterations, double lambda);

}  // namespace ondrift

#endif
