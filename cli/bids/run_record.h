// The record a finished run of `ondrift bids` writes last, beside its outputs: every output's
// size and checksum, the inputs' identities, the parameters and the command's version. A later
// call takes the run as complete only when the record matches what is on the disk now, so
// that a damaged output or a changed input is made again instead of being kept silently.
#ifndef ONDRIFT_CLI_RUN_RECORD_H
#define ONDRIFT_CLI_RUN_RECORD_H

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_layout.h"

namespace ondrift::cli {

/// What a run's outputs are made from and how.
struct RunIdentity {
    nlohmann::json inputs = nlohmann::json::array();  ///< path, size, modifiedNs, metadata
    nlohmann::json parameters = nlohmann::json::object();
};

/// The run's images (functional series, field-map images) by path from the data set's root,
/// size and modification time, each with a checksum of its merged sidecar metadata.
RunIdentity runIdentity(const BoldRun& run, const FieldMapSet& fieldMap, nlohmann::json parameters);

/// Why the run recorded in `record` must be made again ("output damaged: …", "inputs changed:
/// …", "parameters changed: …", …); empty when the record matches the outputs on the disk and
/// `identity`. Output paths in the record are relative to `outputRoot`.
std::string recordMismatch(const std::filesystem::path& record,
                           const std::filesystem::path& outputRoot, const RunIdentity& identity);

/// Writes the record of a finished run (flushed to the disk, renamed into place).
void writeRunRecord(const std::filesystem::path& record, const std::filesystem::path& outputRoot,
                    const std::vector<std::filesystem::path>& outputs, const RunIdentity& identity);

/// The 64-bit XXH3 checksum of a file's bytes, as 16 hex digits. ProcessingError when it
/// cannot be read.
std::string fileChecksum(const std::filesystem::path& file);

}  // namespace ondrift::cli

#endif
