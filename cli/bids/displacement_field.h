// The correction as a displacement field that other tools apply: ITK reads it (and so do the
// tools built on ITK), so the undistortion can be folded into one resampling with motion
// correction or applied to other images of the same run.
//
// Layout: a NIfTI-1 image of X×Y×Z×1×3 float32 values with intent "vector", on the functional
// grid (qform and sform of the series). Each voxel holds, in millimetres and in ITK's LPS
// convention (x toward the left, y toward the back, z up: RAS with x and y negated), the
// displacement from the voxel's position to the position sampled in the distorted series. An
// ITK DisplacementFieldTransform with this field, given to a ResampleImageFilter, therefore
// reproduces the corrected series from the distorted one.
#ifndef ONDRIFT_CLI_DISPLACEMENT_FIELD_H
#define ONDRIFT_CLI_DISPLACEMENT_FIELD_H

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

/// The BIDS entities of the transform: it resamples an image from the distorted series' space
/// into the corrected (undistorted) one.
inline constexpr const char* kTransformEntities = "_from-distorted_to-undistorted_mode-image_xfm";

/// The three LPS components (all x, then all y, then all z, each x fastest) of the displacement
/// that the plug-in's undistortion applies with `shift` (voxels, one per voxel of `grid`) and
/// direction `code` (1…6): the corrected voxel n takes the distorted series at n + s along the
/// axis for the codes 1, 3, 5 (i, j, k) and at n − s for 2, 4, 6; a position beyond either end
/// of the axis is the end voxel's centre, which the undistortion takes there. The step along
/// that axis is the axis' column of the grid's affine, so rotated and mirrored storage carry
/// through. Empty when the sizes do not match or the code is not 1…6.
std::vector<float> displacementFieldLps(const NiftiGeometry& grid, std::span<const float> shift,
                                        int code);

/// Writes `field` (from displacementFieldLps) on the 3-D grid of `grid` to `path` (.nii or
/// .nii.gz). Throws ProcessingError on failure.
void writeDisplacementField(const std::filesystem::path& path, const NiftiGeometry& grid,
                            std::span<const float> field);

/// The transform's file name for the series whose file name (without extension) is
/// `boldStem`: its BIDS entities without the suffix, then kTransformEntities.
std::string transformFileName(const std::string& boldStem, const std::string& extension);

/// The sidecar of the field: what it maps, its units and convention, and the sign convention
/// of the shift map it was made from (`code` 1…6), and whether the corrected series was also
/// multiplied by the local stretch, which the field does not carry.
nlohmann::json displacementFieldSidecar(int code, const nlohmann::json& sources, bool modulated);

class Reporter;

/// Writes the field and its sidecar (the same name with .json) into `folder` for the series
/// `boldStem` on `grid`, corrected with `shift` in direction `code`. Returns the summary's entry
/// (file names and convention), or null with a warning when there is no shift map on the
/// functional grid to make it from.
nlohmann::json writeCorrectionTransform(const std::filesystem::path& folder,
                                        const NiftiGeometry& grid, std::span<const float> shift,
                                        int code, bool modulated, const std::string& boldStem,
                                        const std::string& extension, const nlohmann::json& sources,
                                        Reporter& reporter);

}  // namespace ondrift::cli

#endif
