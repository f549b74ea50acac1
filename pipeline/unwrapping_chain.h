// The unwrapping step's chain after the phase is in radians: the unwrapping, congruence with the
// measurement, the magnitude mask, and the conditioning of the field map or the documented
// smoothing. The procedure runner picks the documents and saves; the order lives here.
#ifndef ONDRIFT_PIPELINE_UNWRAPPING_CHAIN_H
#define ONDRIFT_PIPELINE_UNWRAPPING_CHAIN_H

#include <string>

#include "image/datahandler.h"

namespace ondrift {

/// What the chain is asked to do (the host's parameters of the unwrapping step).
struct UnwrappingChain {
    bool relaxation = true;
    int relaxIterations = 0;
    double regularisation = 0.0;
    bool maskLaplacian = false;
    int vCycles = 0;
    int iterations = 0;
    bool congruent = false;
    int conditioning = 0;       ///< "FieldMapConditioning"; 0 the documented smoothing
    double echoTimeDiff = 0.0;  ///< seconds
};

enum class ChainOutcome {
    Done,
    Stopped,         ///< nothing to save; `error` says why
    SmoothingFailed  ///< the documented smoothing failed: the call fails, the result is saved
};

/// From the wrapped phase in radians (`phase`, one volume; relaxation converts it in place, as it
/// always has) and `magnitude` to the smoothed unwrapped phase in cycles in `smoothed`, logging
/// each part as the documented chain does.
ChainOutcome unwrapAndSmooth(Image& phase, const Image& magnitude, const UnwrappingChain& chain,
                             Image& smoothed, std::string& error);

}  // namespace ondrift

#endif
