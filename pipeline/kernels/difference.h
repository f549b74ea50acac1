// Voxel-by-voxel difference of two images.
#ifndef ONDRIFT_PIPELINE_KERNELS_DIFFERENCE_H
#define ONDRIFT_PIPELINE_KERNELS_DIFFERENCE_H

#include <span>

namespace ondrift {

/// subtrahend[i] = source[i] − subtrahend[i], over the shorter of the two.
void subtractFrom(std::span<const double> source, std::span<double> subtrahend);

}  // namespace ondrift

#endif
