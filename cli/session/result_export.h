// The projects the plug-in saved during one run, written as the NIfTI images users read.
#ifndef ONDRIFT_CLI_RESULT_EXPORT_H
#define ONDRIFT_CLI_RESULT_EXPORT_H

#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"

namespace ondrift::standin {
class Workspace;
}

namespace ondrift::cli {

class Reporter;

struct ExportSettings {
    std::filesystem::path folder;       ///< where the images are written (the staging folder)
    std::string extension = ".nii.gz";  ///< ".nii" or ".nii.gz"
    bool projectsKept = false;          ///< the host wrote the project files as well
    /// The geometry of each input, by its workspace index: a result saved through an input's
    /// document on that input's grid takes its qform and sform.
    std::vector<std::pair<int, NiftiGeometry>> inputGeometry;
};

struct ExportedResults {
    nlohmann::json outputs = nlohmann::json::array();  ///< one entry per image, in name order
    std::vector<std::string> niftiNames;               ///< parallel to `outputs`
};

/// How many volumes of a saved project are the result. The shift map carried onto the
/// functional grid is saved through the functional series' document; only its first volume
/// holds the map, the others still hold the series.
int resultVolumes(const std::string& projectName, int documentVolumes);

/// Every project saved with success, once (a later save under the same name replaces an
/// earlier one), written from the save records' values. Throws ProcessingError.
ExportedResults exportSaves(const standin::Workspace& ws, const ExportSettings& settings,
                            Reporter& reporter);

/// Minimum, maximum and mean of the finite values, and the number of the others.
nlohmann::json valueStatistics(std::span<const float> values);

}  // namespace ondrift::cli

#endif
