// The resolution levels of the estimation: images averaged over blocks of whole voxels sized
// in mm, and the field carried from one level to the next finer one.
#ifndef ONDRIFT_CLI_PAIRS_PAIR_LEVELS_H
#define ONDRIFT_CLI_PAIRS_PAIR_LEVELS_H

#include <array>
#include <span>
#include <vector>

#include "cli/pairs/pair_model.h"

namespace ondrift::pairs {

using Factors = std::array<int, 3>;

/// Per axis, the whole number of voxels nearest `mm` (at least 1), kept small enough that the
/// level still has 4 voxels along the axis.
Factors levelFactors(const Grid& g, double mm);

/// The grid of blocks of `f` voxels (the last block of an axis may be partial).
Grid coarsen(const Grid& g, const Factors& f);

/// The mean of every block.
std::vector<double> blockAverage(std::span<const float> image, const Grid& fine, const Factors& f);

/// A field on the level of factors `from` interpolated (trilinearly, between block centres,
/// constant beyond the outer ones) onto the level of factors `to` of the same image grid.
std::vector<double> carryField(std::span<const double> field, const Grid& image,
                               const Factors& from, const Factors& to);

}  // namespace ondrift::pairs

#endif
