// The input data set checked with the BIDS validator (the npm package bids-validator) before
// anything is corrected.
#ifndef ONDRIFT_CLI_BIDS_VALIDATION_H
#define ONDRIFT_CLI_BIDS_VALIDATION_H

#include <filesystem>
#include <string>

namespace ondrift::cli {

class Reporter;

/// The validator's executable: $ONDRIFT_BIDS_VALIDATOR, else bids-validator on the PATH; empty
/// when neither exists.
std::string findBidsValidator();

/// Runs the validator on the data set. Its errors are a warning that carries the validator's
/// report, or an InputError when `strict`; a missing validator is a warning that says so (and how
/// to install it).
void validateBidsDataset(const std::filesystem::path& root, bool strict, Reporter& reporter);

}  // namespace ondrift::cli

#endif
