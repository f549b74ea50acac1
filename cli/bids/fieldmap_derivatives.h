// The estimated field map in Hz and the brain mask it was estimated in, under the names and with
// the sidecars that the derivatives of common preprocessing pipelines use, so that they can be
// picked up as field maps by other tools.
#ifndef ONDRIFT_CLI_FIELDMAP_DERIVATIVES_H
#define ONDRIFT_CLI_FIELDMAP_DERIVATIVES_H

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

class Reporter;

/// "<entities of the field map's start image>_desc-<desc>_<suffix><extension>": the BIDS
/// entities of `startStem` without its suffix (and without a desc of its own), or the whole stem
/// when it is not a BIDS name.
std::string fieldMapDerivativeName(const std::string& startStem, const std::string& desc,
                                   const std::string& suffix, const std::string& extension);

/// The B0FieldIdentifier of the field map: the first one its sidecar gives, else one made from
/// the start image's name ("ondrift_" and its letters and digits, others as "_").
std::string b0FieldIdentifier(const std::vector<std::string>& given, const std::string& startStem);

/// The sidecar of the field map in Hz: Units, B0FieldIdentifier, IntendedFor, Sources and
/// RawSources (the same list: the raw images it was estimated from).
nlohmann::json fieldMapDerivativeSidecar(const std::string& identifier,
                                         const nlohmann::json& intendedFor,
                                         const nlohmann::json& sources);

/// Voxels whose magnitude, times `scale` in single precision as the host document holds it,
/// lie strictly above `threshold`: the mask the plug-in unwraps and estimates the field in.
std::vector<float> magnitudeMask(std::span<const float> magnitude, float scale, float threshold);

struct FieldMapOutputs {
    std::filesystem::path fieldMap;        ///< where the field map in Hz comes from (in the folder)
    NiftiGeometry grid;                    ///< the field map's grid (for the mask)
    std::vector<float> mask;               ///< 0/1 on that grid; empty when none was made
    std::string startStem;                 ///< the start image's name without extension
    std::vector<std::string> identifiers;  ///< B0FieldIdentifier of its sidecar
    nlohmann::json intendedFor = nlohmann::json::array();
    nlohmann::json sources = nlohmann::json::array();
};

/// Writes "…_desc-ondrift_fieldmap" (a copy of `fieldMap`, or the image read and written anew
/// when it lies outside `folder`) with its sidecar and, when a mask was made,
/// "…_desc-brain_mask" (uint8) into `folder`. Returns the summary's entry.
nlohmann::json writeFieldMapDerivatives(const std::filesystem::path& folder,
                                        const FieldMapOutputs& outputs,
                                        const std::string& extension, Reporter& reporter);

}  // namespace ondrift::cli

#endif
