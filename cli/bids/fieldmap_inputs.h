// Field-map images of the kinds BIDS data sets hold, brought to what the correction starts
// from: a phase difference (from two phase images), or a field map in Hz (from rad/s or tesla),
// and the check that a phase image is one.
#ifndef ONDRIFT_CLI_FIELDMAP_INPUTS_H
#define ONDRIFT_CLI_FIELDMAP_INPUTS_H

#include <string>
#include <vector>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

/// Gyromagnetic ratio of the proton over 2π, Hz per tesla.
constexpr double kProtonHzPerTesla = 42.577478518e6;

/// Radians of a phase image: values within −π…π or 0…2π are radians already; anything else
/// (scanner units) is mapped from [lo, hi] onto a full turn.
std::vector<float> phaseInRadians(const std::vector<float>& values, float lo, float hi);

/// φ(later echo) − φ(earlier echo), wrapped into −π…π. Both images must share their grid.
/// `first`/`second` are in the order of their echo times. InputError when the grids differ.
std::vector<float> phaseDifference(const NiftiImage& first, const NiftiImage& second);

/// The factor that turns a field map in `units` ("Hz", "rad/s", "T", "Tesla") into Hz;
/// InputError naming `what` for other units.
double hertzPerUnit(const std::string& units, const std::string& what);

/// Refuses an image given as a phase that is not one: a constant image, or one that follows
/// the magnitude image closely (a magnitude stored under a phase name).
void checkLooksLikePhase(const NiftiImage& phase, const NiftiImage* magnitude);

}  // namespace ondrift::cli

#endif
