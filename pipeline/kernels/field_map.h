// Unwrapped phase to field inhomogeneity.
#ifndef ONDRIFT_PIPELINE_KERNELS_FIELD_MAP_H
#define ONDRIFT_PIPELINE_KERNELS_FIELD_MAP_H

#include <span>

namespace ondrift {

/// out[i] = (1.0 / echoTimeDiff) · phase[i] over phase.size() values (cycles in, Hertz out).
/// The reciprocal is formed once and multiplied, not divided per voxel: the results depend on it.
/// `out` must hold at least phase.size() values.
void fieldFromPhase(std::span<const double> phase, std::span<double> out, double echoTimeDiff);

}  // namespace ondrift

#endif
