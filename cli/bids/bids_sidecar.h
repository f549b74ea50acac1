// BIDS JSON sidecars and the relations that turn their fields into the plug-in's parameters.
#ifndef ONDRIFT_CLI_BIDS_SIDECAR_H
#define ONDRIFT_CLI_BIDS_SIDECAR_H

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/base/phase_encoding.h"

namespace ondrift::cli {

struct Sidecar {
    std::string path;
    nlohmann::json fields;

    /// A finite number under `key`; nullopt when absent. A present key that is not a finite
    /// number is an InputError naming the sidecar.
    std::optional<double> number(const std::string& key) const;
    /// A text under `key`; nullopt when absent; InputError when not a text.
    std::optional<std::string> text(const std::string& key) const;
};

/// Largest sidecar file read (a BIDS sidecar is a few kilobytes).
inline constexpr std::uintmax_t kMaxSidecarBytes = 1024 * 1024;

/// The sidecar X.json beside X.nii or X.nii.gz, when it exists. A file that cannot be read or
/// is not a JSON object is an InputError.
std::optional<Sidecar> readSidecarFor(const std::string& niftiPath);
Sidecar readSidecar(const std::string& jsonPath);

/// Bandwidth per pixel along phase encoding from the effective echo spacing (s) and the
/// number of voxels along the phase-encoding axis: 1 / (EffectiveEchoSpacing · N_PE).
double bandwidthFromEchoSpacing(double effectiveEchoSpacing, int nPE);
/// The same from BIDS TotalReadoutTime = EffectiveEchoSpacing · (N_PE − 1):
/// (N_PE − 1) / (TotalReadoutTime · N_PE).
double bandwidthFromReadoutTime(double totalReadoutTime, int nPE);

}  // namespace ondrift::cli

#endif
