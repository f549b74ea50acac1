// Phase values brought to radians and to cycles.
#ifndef ONDRIFT_PIPELINE_KERNELS_PHASE_SCALING_H
#define ONDRIFT_PIPELINE_KERNELS_PHASE_SCALING_H

#include <span>

namespace ondrift {

/// Maps the values linearly onto −kPi15…kPi15 in place. The source range always contains 0
/// (its extremes start at 0), so the smaller of 0 and the minimum goes to −π and the larger of 0
/// and the maximum to +π. False, with the values untouched, when that range is 0 (every value
/// is 0): the scale factor would divide by it.
bool rescaleToRadians(std::span<double> values);

/// Divides every value by kTwoPi15 in place: radians become cycles.
void radiansToCycles(std::span<double> values);

}  // namespace ondrift

#endif
