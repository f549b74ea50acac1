// The pixel shift map (voxels along the phase-encoding axis) from a field map.
#ifndef ONDRIFT_PIPELINE_PIXEL_SHIFT_H
#define ONDRIFT_PIPELINE_PIXEL_SHIFT_H

#include <string>

#include "image/datahandler.h"
#include "pipeline/acquisition_parameters.h"

namespace ondrift {

/// A new container with the field map's header: its first volume divided by bandWidthPE (and by
/// 2π as well when applyTwoPi is 1), in voxels, not rounded. Writes the "_pixshift" AMR file and
/// saves the project as "<name>_pixshift.fmr" (bare file name). Status Valid when saved.
///
/// Status Failed (94) when the project could not be saved, and also, with nothing written, when
/// bandWidthPE is 0 or not finite or the field map holds no complete volume. In every Failed
/// case the reason is logged and, when `error` is given, stored there for "ErrorMsg". The
/// returned container always owns a zero-initialised buffer of its voxel count.
Image computePixelShiftMap(const Image& fieldMap, const AcquisitionParameters& parameters,
                           std::string* error = nullptr);

}  // namespace ondrift

#endif
