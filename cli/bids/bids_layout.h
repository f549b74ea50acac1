// A BIDS data set read for correction: its functional runs, its field maps, which field map
// belongs to which run, and every sidecar with the values it inherits from the levels above.
#ifndef ONDRIFT_CLI_BIDS_LAYOUT_H
#define ONDRIFT_CLI_BIDS_LAYOUT_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/bids/bids_entities.h"
#include "cli/bids/bids_sidecar.h"

namespace ondrift::cli {

struct BidsFile {
    std::filesystem::path path;  ///< absolute
    std::string relative;        ///< from the data set's root, with "/"
    BidsName name;
    Sidecar sidecar;  ///< merged from every level that applies; path: the file's own (or "")
};

enum class FieldMapKind {
    PhaseDifference,  ///< phasediff + magnitude1 (magnitude2), EchoTime1 and EchoTime2
    TwoPhases,        ///< phase1 + phase2 (+ magnitudes), each with its EchoTime
    FieldMap,         ///< fieldmap (+ magnitude), Units Hz, rad/s or T
    /// Two `epi` images with opposite phase-encoding directions (phase: the first, phase2: the
    /// second); the field is estimated from them.
    ReversePhaseEncoding,
};

const char* fieldMapKindName(FieldMapKind kind);

struct FieldMapSet {
    FieldMapKind kind = FieldMapKind::PhaseDifference;
    BidsFile phase;  ///< phasediff, phase1, fieldmap or the first epi image
    std::optional<BidsFile> phase2;
    std::optional<BidsFile> magnitude;     ///< magnitude1 or magnitude
    std::vector<std::string> identifiers;  ///< B0FieldIdentifier
    std::string problem;                   ///< why this set cannot be used ("" when it can)
};

struct BoldRun {
    BidsFile bold;
    int fieldMap = -1;      ///< index into BidsPlan::fieldMaps; -1: none
    std::string matchedBy;  ///< "IntendedFor" or "B0FieldIdentifier"
    std::string note;       ///< why it has no field map, or which of several was taken
    std::string error;      ///< why it cannot be corrected although it has one
};

struct BidsFilter {
    std::vector<std::string> participants;  ///< labels without "sub-"; empty: all
    std::vector<std::string> tasks;
    std::vector<std::string> sessions;
    std::vector<std::string> bolds;  ///< file names or paths from the root; empty: all
};

struct BidsPlan {
    std::filesystem::path root;
    std::vector<BoldRun> runs;  ///< in name order
    std::vector<FieldMapSet> fieldMaps;
    std::vector<std::string> notes;  ///< about the data set (field maps intended for nothing, …)
};

/// Reads the data set under `root` (which must hold sub-* folders). Problems of single files or
/// field maps become notes or per-run notes; only a missing or empty data set is an InputError.
BidsPlan planBidsDataset(const std::filesystem::path& root, const BidsFilter& filter);

/// The sidecar of a file with BIDS inheritance: every JSON file in the folders from the root
/// down to the file's own whose suffix equals the file's and whose entities are a subset of the
/// file's, applied from the top (and from fewer to more entities), the lower ones overriding.
Sidecar inheritedSidecar(const std::filesystem::path& root, const std::filesystem::path& file);

/// A path named in IntendedFor, relative to the data set's root: "bids::sub-01/func/…" as it
/// is, "ses-1/func/…" or "func/…" below the subject's folder.
std::string intendedForPath(const std::string& entry, const std::string& subject);

}  // namespace ondrift::cli

#endif
