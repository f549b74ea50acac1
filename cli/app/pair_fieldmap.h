// A field map in Hz estimated from two EPI images (or series) taken with opposite
// phase-encoding directions: the images and their sidecars read and checked, the estimate
// made by cli/pairs/, and the field written for the correction to start from it.
#ifndef ONDRIFT_CLI_APP_PAIR_FIELDMAP_H
#define ONDRIFT_CLI_APP_PAIR_FIELDMAP_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli/pairs/pair_estimation.h"
#include "cli/report/pair_section.h"

namespace ondrift::cli {

class Reporter;

struct PairImage {
    std::string path;
    std::optional<Sidecar> sidecar;  ///< nullopt: the X.json beside the image, when there is one
};

struct PairField {
    NiftiGeometry geometry;  ///< the pair's grid, one volume
    std::vector<float> fieldHz;
    pairs::PairEstimate estimate;
    std::vector<float> plusMean;  ///< the averaged volumes of the positive direction
    std::vector<float> minusMean;
    nlohmann::json summary;  ///< inputs, directions, readout times, levels, agreement
};

/// Reads both images and estimates the field. InputError (nothing written) when the two share a
/// direction or lie on different axes or grids, a sidecar gives no direction or readout time,
/// the volumes of one direction disagree, or the estimate did not converge.
PairField estimatePairField(const PairImage& first, const PairImage& second, Reporter& reporter);

/// InputError when no voxel of the functional grid lies inside the pair's field of view.
void checkPairCoversSeries(const NiftiGeometry& pair, const NiftiGeometry& series,
                           const std::string& seriesPath);

/// The field as a NIfTI image on the pair's grid, and its sidecar (Units Hz, how it was made).
void writePairField(const PairField& field, const std::filesystem::path& file, Reporter& reporter);

/// The pair as taken and as brought back through the field, for the report.
PairPictures pairPictures(const PairField& field);

struct CorrectOptions;

/// Estimates the field of `options.pair` and writes it into `folder` as the start image of a
/// correction from the pixel-shift step: sets the start image, its sidecar (Units Hz), the step
/// and what ondrift.json records about the field. InputError when the pair is refused or does
/// not overlap the functional series. Returns the estimate (for the report).
PairField preparePairField(CorrectOptions& options, const std::filesystem::path& folder,
                           Reporter& reporter);

}  // namespace ondrift::cli

#endif
