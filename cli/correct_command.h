// `ondrift correct`: NIfTI/BIDS inputs → host documents → "Start" through the plug-in → FMR,
// AMR and NIfTI outputs with a JSON summary.
#ifndef ONDRIFT_CLI_CORRECT_COMMAND_H
#define ONDRIFT_CLI_CORRECT_COMMAND_H

#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace ondrift::cli {

struct CorrectResult {
    std::filesystem::path correctedNifti;      ///< <bold stem>_undistort.nii.gz in the folder
    std::vector<std::filesystem::path> files;  ///< everything written
    double seconds = 0;
};

/// The whole command; throws InputError / ProcessingError. Writes nothing unless it succeeds.
CorrectResult correctSeries(const CorrectOptions& options, Reporter& reporter);

}  // namespace ondrift::cli

#endif
