// The noise model of the field estimate: the scale of a measurement's noise read from the
// measurement itself, and the median its statistics rest on.
#ifndef ONDRIFT_PIPELINE_KERNELS_FIELD_NOISE_H
#define ONDRIFT_PIPELINE_KERNELS_FIELD_NOISE_H

#include <span>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/thin_plate.h"

namespace ondrift {

/// The median of χ² with one degree of freedom: the median of a squared standard normal.
inline constexpr double kChiSquare1Median = 0.454936423119572;
/// Axes within this factor of the finest spacing count as the finest: the noise is read along
/// them, and the estimate's grids are halved along them together.
inline constexpr double kFinestSpacingRatio = 1.5;

/// The noise scale s of a measurement g whose noise SD is s / magnitude in every voxel, from the
/// measurement itself: the fourth differences of g along the axes of the finest spacing (where
/// the field's own structure adds least; they cancel its cubic part), over five voxels all
/// inside `inside` with a magnitude above 0, each divided by the SD the model gives it; s² is the
/// median of their squares over the median of χ² with one degree of freedom. Then once more over
/// the voxels whose noise SD came out below `reliableSD` (in g's units), where the noise of g is
/// still Gaussian rather than a phase spread over the whole circle. 0 when fewer than 64
/// differences exist or the lengths do not fit.
double noiseScaleFromData(Dims d, const Spacing& h, std::span<const double> g,
                          std::span<const double> magnitude, std::span<const unsigned char> inside,
                          double reliableSD);

/// The value std::nth_element would place at the middle of `values` (it reorders them).
double middleValue(std::span<double> values);

}  // namespace ondrift

#endif
