// A reverse phase-encoding pair of the phantom: its series taken along a direction and along the
// opposite one, with the pile-up of real acquisitions (signal bright where the field compresses
// the image, dark where it stretches it) and thermal noise, written as BIDS `_epi` images.
#ifndef ONDRIFT_CLI_PHANTOM_PAIR_H
#define ONDRIFT_CLI_PHANTOM_PAIR_H

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/phantom/phantom.h"

namespace ondrift::cli {

/// Thermal noise of the pair's images (the tissue's signal is 600-1000).
inline constexpr double kPairNoise = 8.0;

struct PhantomPair {
    Phantom first;   ///< along the direction asked for
    Phantom second;  ///< along the opposite one
};

/// Both series of the phantom of `options` (its grid and field), `volumes` volumes each, made
/// along `direction` (1…6) and its opposite.
PhantomPair makePhantomPair(PhantomOptions options, int direction, int volumes);

struct PairFiles {
    std::filesystem::path first;
    std::filesystem::path second;
};

/// The BIDS label of a direction in a dir entity ("jpos", "jneg").
std::string pairDirectionLabel(int direction);

/// Writes `<prefix>_dir-<label>_epi.nii[.gz]` for both images into `folder`, with sidecars
/// holding PhaseEncodingDirection, TotalReadoutTime and `extra`.
PairFiles writePhantomPair(const PhantomPair& pair, const std::filesystem::path& folder,
                           const std::string& prefix, const nlohmann::json& extra = {},
                           bool gzip = true);

}  // namespace ondrift::cli

#endif
