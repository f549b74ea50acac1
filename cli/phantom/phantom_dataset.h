// A small BIDS data set made from the phantom: each subject in a layout and metadata style of
// its own (sessions, runs, acq, gzipped or not, every field-map kind, inherited sidecars,
// IntendedFor as a path or a URI, or B0FieldIdentifier), for trying `ondrift bids` and for the
// tests.
#ifndef ONDRIFT_CLI_PHANTOM_DATASET_H
#define ONDRIFT_CLI_PHANTOM_DATASET_H

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/phantom/phantom.h"

namespace ondrift::cli {

/// EpiPair: two `_epi` images of opposite phase-encoding directions (phantom_pair.h).
enum class FmapKind { PhaseDifference, TwoPhases, FieldMapRadPerSecond, FieldMapTesla, EpiPair };

struct SubjectStyle {
    std::string label = "01";
    std::string session;  ///< "" : no session level
    std::string acq;      ///< acq entity of the bold run
    std::string run;      ///< run entity of the bold run
    FmapKind kind = FmapKind::PhaseDifference;
    int peDirection = 3;
    bool gzip = true;
    bool uri = false;                 ///< IntendedFor as a BIDS URI
    bool b0Identifier = false;        ///< B0FieldIdentifier/B0FieldSource instead of IntendedFor
    bool readoutTimeOnly = false;     ///< TotalReadoutTime without EffectiveEchoSpacing
    bool inheritBoldSidecar = false;  ///< bold metadata in a session-level JSON file
    bool gentle = false;              ///< the gentle field instead of the scanner-like one
};

struct SubjectFiles {
    Phantom phantom;
    std::filesystem::path bold;  ///< relative to the data set's root
    std::string boldStem;        ///< sub-…_bold
    std::filesystem::path fmapPhase;
    std::filesystem::path fmapMagnitude;
};

void writeJsonFile(const std::filesystem::path& path, const nlohmann::json& j);

/// dataset_description.json and README of a raw data set.
void writeDescription(const std::filesystem::path& root);

/// The scanner-like phantom, small enough to correct fast; or the gentle field (a linear term
/// and one smooth lobe) with echo times far enough apart that its phase wraps.
PhantomOptions datasetPhantomOptions(int peDirection, bool gentle = false);

/// Writes one subject into the data set at `root`.
SubjectFiles writeSubject(const std::filesystem::path& root, const SubjectStyle& style);

/// A data set of `subjects` subjects that cycle through the styles above.
void writePhantomDataset(const std::filesystem::path& root, int subjects);

}  // namespace ondrift::cli

#endif
