// Correcting every volume of an EPI series with a pixel shift map.
#ifndef ONDRIFT_PIPELINE_UNDISTORTION_H
#define ONDRIFT_PIPELINE_UNDISTORTION_H

#include <string>

#include "image/datahandler.h"
#include "pipeline/acquisition_parameters.h"

namespace ondrift {

/// Resamples every volume of `epi` in place along the phase-encoding axis (phaseEncodingDir
/// 1…6) by the shifts of `shiftMap`, saves the series as "<name>_undistort.fmr" (bare file
/// name), writes the "_undistort" AMR file and sets "NameUndistortedFile" to the file name.
///
/// False, with the reason logged and, when `error` is given, stored there:
/// - before any work, when the direction code is outside 1…6, when the shift map's grid differs
///   from the EPI's (its first volume is read on the EPI's X, Y and Z) or either holds no data;
/// - when the project could not be saved ("Undistortion procedure did not succeed."); the EPI
///   then holds the corrected values, and "NameUndistortedFile" is left unchanged.
///
/// With `intensityModulation` every corrected voxel is also multiplied by the local stretch of
/// the mapping along the phase-encoding axis (stretchFactors in pipeline/kernels/stretch.h),
/// which restores the intensity that the distortion piled up or thinned out; two more log
/// entries say so and how many voxels were clamped. Without it nothing differs from the
/// resampling alone, in values or log.
///
/// With `lean` the undistorted project is saved and named as always, but neither statistics
/// text (distorted, undistorted) is logged and no AMR slice images are saved: a host that
/// undistorts a series a block of volumes at a time has no use for them per block.
bool undistortEPI(Image& epi, const Image& shiftMap, const AcquisitionParameters& parameters,
                  std::string* error = nullptr, bool intensityModulation = false,
                  bool lean = false);

/// Copies volume `sourceVolume` of `source` into volume `targetVolume` of `target`. False when
/// the two differ in X, Y or Z or either volume does not exist.
bool copyVolume(const Image& source, Image& target, int sourceVolume, int targetVolume);

}  // namespace ondrift

#endif
