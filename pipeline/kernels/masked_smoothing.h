// Smoothing a field map inside a mask only, so that nothing from outside leaks in at the edge.
#ifndef ONDRIFT_PIPELINE_KERNELS_MASKED_SMOOTHING_H
#define ONDRIFT_PIPELINE_KERNELS_MASKED_SMOOTHING_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// One pass of in-plane 3×3 smoothing over the voxels where inside != 0: each becomes the
/// weighted mean of the inside voxels of its window (itself included), normalised by the
/// weights actually used, so the edge of the mask keeps its level. With rangeSigma > 0 a
/// neighbour's weight is also exp(−½·((f_n − f_c)/rangeSigma)²) (range-weighted, edge
/// preserving: steep lobes stay steep while noise of smaller amplitude is averaged). Voxels
/// outside keep their values. Returns false, touching nothing, when the extents or span
/// lengths do not fit.
bool smoothInsideMask(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                      double rangeSigma);

}  // namespace ondrift

#endif
