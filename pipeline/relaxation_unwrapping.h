// Phase unwrapping by weighted relaxation: the step around the relaxation kernel.
#ifndef ONDRIFT_PIPELINE_RELAXATION_UNWRAPPING_H
#define ONDRIFT_PIPELINE_RELAXATION_UNWRAPPING_H

#include "image/datahandler.h"

namespace ondrift {

/// Converts `phase` (radians, one volume) to cycles in place, then refines a zero start with
/// `iterations` relaxation sweeps weighted by the magnitude, pulled towards the neighbour mean by
/// `regularisation`. The result, in cycles, carries the phase's header and the name
/// "<phase name>_unwrapped" (bare file name); it is written as the "_unwrapped" AMR file and
/// saved as that project. The phase and magnitude must be on one grid.
Image unwrapRelaxation(Image& phase, const Image& magnitude, int iterations, double regularisation);

}  // namespace ondrift

#endif
