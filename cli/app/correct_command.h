// `ondrift correct`: NIfTI/BIDS inputs → host documents → "Start" through the plug-in → FMR,
// AMR and NIfTI outputs with a JSON summary.
#ifndef ONDRIFT_CLI_CORRECT_COMMAND_H
#define ONDRIFT_CLI_CORRECT_COMMAND_H

#include <filesystem>
#include <string>
#include <vector>

#include "cli/report/html_report.h"
#include "cli/report/polarity_check.h"

#include "cli/app/commands.h"

namespace ondrift::cli {

struct CorrectResult {
    std::filesystem::path correctedNifti;      ///< <bold stem>_undistort.nii.gz in the folder
    std::vector<std::filesystem::path> files;  ///< everything written
    double seconds = 0;
    std::filesystem::path report;  ///< the HTML report (empty with --no-report)
    PolarityCheck polarity;
    IndexEntry indexEntry;  ///< for an index page over several runs (link: the report's name)
};

/// The whole command; throws InputError / ProcessingError. Writes nothing unless it succeeds.
CorrectResult correctSeries(const CorrectOptions& options, Reporter& reporter);

/// The same with the field estimated from `options.pair` first (pair_correct.cpp).
CorrectResult correctWithPair(CorrectOptions options, Reporter& reporter);

}  // namespace ondrift::cli

#endif
