// The field inhomogeneity (B0) map from an unwrapped phase, and the pixel shift map (voxels
// along the phase-encoding axis) from a field map: each one division of the first volume.
//
// Both return a new container with the source's header that always owns a zero-initialised
// buffer of its voxel count. Status Failed (94) when the project could not be saved, and also,
// with nothing written, when the divisor is 0 or not finite or the source holds no complete
// volume. In every Failed case the reason is logged and, when `error` is given, stored there
// for "ErrorMsg".
#ifndef ONDRIFT_PIPELINE_VALUE_MAPS_H
#define ONDRIFT_PIPELINE_VALUE_MAPS_H

#include <string>

#include "image/datahandler.h"
#include "pipeline/acquisition_parameters.h"

namespace ondrift {

/// The phase's first volume divided by echoTimeDiff (cycles in, Hertz out; the other volumes
/// stay 0). Writes the "_b0" AMR file and saves the project as "<name>_b0.fmr" (directory
/// kept). Status Valid when saved.
Image computeFieldMap(const Image& phase, const AcquisitionParameters& parameters,
                      std::string* error = nullptr);

/// The field map's first volume divided by bandWidthPE (and by 2π as well when applyTwoPi is
/// 1), in voxels, not rounded. Writes the "_pixshift" AMR file and saves the project as
/// "<name>_pixshift.fmr" (bare file name).
Image computePixelShiftMap(const Image& fieldMap, const AcquisitionParameters& parameters,
                           std::string* error = nullptr);

}  // namespace ondrift

#endif
