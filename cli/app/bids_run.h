// One functional run of a BIDS data set corrected with its field map: the field-map images
// brought to what the correction starts from, the same correction as `ondrift correct`, and
// its results moved into the derivatives data set under BIDS names.
#ifndef ONDRIFT_CLI_BIDS_RUN_H
#define ONDRIFT_CLI_BIDS_RUN_H

#include <string>

#include "cli/app/commands.h"
#include "cli/bids/bids_derivatives.h"
#include "cli/bids/bids_layout.h"

namespace ondrift::cli {

class Reporter;

struct BidsRunOptions {
    std::filesystem::path outputRoot;
    std::string plugin;
    bool overwrite = false;
    bool keepProjects = false;
    std::string outputType = "nii.gz";  ///< "nii" or "nii.gz"
    std::optional<bool> jacobian;       ///< intensity modulation (unset: the default)
    double memoryLimitMb = 0;           ///< this run's share; 0: the command's default
};

/// The options of `ondrift correct` that correct this run, with the prepared inputs written
/// into `outputs.work` (a phase difference from two phase images, a field map in Hz).
CorrectOptions correctOptionsForRun(const BidsPlan& plan, const BoldRun& run,
                                    const RunOutputs& outputs, const BidsRunOptions& options,
                                    Reporter& reporter);

/// Corrects the run. Throws InputError / ProcessingError; writes its outputs only when it
/// succeeded.
void correctBidsRun(const BidsPlan& plan, const BoldRun& run, const BidsRunOptions& options,
                    Reporter& reporter);

/// The options that shape a run's outputs, as its record holds them.
nlohmann::json recordParameters(const BidsRunOptions& options);

/// The page reports/index.html that lists the report of every run found in the derivatives,
/// with its polarity verdict; nothing when no run has a report.
void writeReportIndex(const BidsPlan& plan, const std::filesystem::path& outputRoot,
                      const std::string& extension);

}  // namespace ondrift::cli

#endif
