// The field inhomogeneity (B0) map from an unwrapped phase.
#ifndef ONDRIFT_PIPELINE_FIELD_MAP_H
#define ONDRIFT_PIPELINE_FIELD_MAP_H

#include <string>

#include "image/datahandler.h"
#include "pipeline/acquisition_parameters.h"

namespace ondrift {

/// A new container with the phase's header: its first volume divided by echoTimeDiff (cycles
/// in, Hertz out; the other volumes stay 0). Writes the "_b0" AMR file and saves the project as
/// "<name>_b0.fmr" (directory kept). Status Valid when saved.
///
/// Status Failed (94) when the project could not be saved, and also, with nothing written, when
/// echoTimeDiff is 0 or not finite or the phase holds no complete volume. In every Failed case
/// the reason is logged and, when `error` is given, stored there for "ErrorMsg". The returned
/// container always owns a zero-initialised buffer of its voxel count.
Image computeFieldMap(const Image& phase, const AcquisitionParameters& parameters,
                      std::string* error = nullptr);

}  // namespace ondrift

#endif
