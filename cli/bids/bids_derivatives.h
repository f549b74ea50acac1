// The BIDS derivatives data set the `bids` command writes: its description, the names of the
// outputs of a run, and their sidecars.
#ifndef ONDRIFT_CLI_BIDS_DERIVATIVES_H
#define ONDRIFT_CLI_BIDS_DERIVATIVES_H

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_layout.h"

namespace ondrift::cli {

/// Where the outputs of one run go, inside the derivatives folder.
struct RunOutputs {
    std::filesystem::path bold;         ///< …_desc-undistorted_bold.nii.gz
    std::filesystem::path boldSidecar;  ///< its .json
    std::filesystem::path shiftMap;     ///< …_desc-ondrift_pixelshift.nii.gz
    std::filesystem::path shiftMapSidecar;
    /// …_from-distorted_to-undistorted_mode-image_xfm.nii.gz, the correction as an ITK
    /// displacement field (cli/displacement_field.h), and its sidecar
    std::filesystem::path transform;
    std::filesystem::path transformSidecar;
    std::filesystem::path fieldMap;  ///< fmap/…_desc-ondrift_fieldmap.nii.gz, Hz
    std::filesystem::path fieldMapSidecar;
    std::filesystem::path fieldMapMask;  ///< fmap/…_desc-brain_mask.nii.gz, when one was made
    std::filesystem::path log;           ///< logs/<bold stem>.log
    std::filesystem::path summary;       ///< logs/<bold stem>_ondrift.json
    std::filesystem::path record;        ///< logs/<bold stem>_record.json, written last
    std::filesystem::path projects;      ///< projects/<bold stem>/ (with --keep-projects)
    std::filesystem::path report;        ///< reports/<bold stem>_report.html
    std::filesystem::path work;          ///< .work/<bold stem>/, removed at the end
    std::string label;                   ///< the bold file's name without extension
};

/// `extension`: ".nii.gz" or ".nii", for the images.
RunOutputs runOutputs(const std::filesystem::path& outputRoot, const BoldRun& run,
                      const FieldMapSet* fieldMap, const std::string& extension = ".nii.gz");

/// A BIDS URI for a file of the source data set ("bids:raw:sub-01/func/…").
std::string sourceUri(const std::string& relative);

/// dataset_description.json of the derivatives: DatasetType derivative, GeneratedBy,
/// SourceDatasets and DatasetLinks pointing at the source data set.
nlohmann::json datasetDescription(const std::filesystem::path& sourceRoot);

/// Writes dataset_description.json and .bidsignore when missing or different; keeps the
/// folder's other files.
void writeDatasetFiles(const std::filesystem::path& outputRoot,
                       const std::filesystem::path& sourceRoot);

/// The sidecar of the corrected series: the source's metadata (with inheritance), Sources, and
/// the correction's parameters from the command's summary.
nlohmann::json correctedSidecar(const BoldRun& run, const FieldMapSet& fieldMap,
                                const nlohmann::json& summary);

/// Units "Hz", B0FieldIdentifier (the set's own, or one made from its name), IntendedFor (the
/// runs of `plan` corrected with it), Sources and RawSources (cli/fieldmap_derivatives.h).
nlohmann::json fieldMapSidecar(const BidsPlan& plan, const FieldMapSet& fieldMap);

/// The displacement field's sidecar (cli/displacement_field.h) with the run's sources.
nlohmann::json transformSidecar(const BoldRun& run, const FieldMapSet& fieldMap,
                                const nlohmann::json& summary);

nlohmann::json shiftMapSidecar(const BoldRun& run, const FieldMapSet& fieldMap,
                               const nlohmann::json& summary);

}  // namespace ondrift::cli

#endif
