// Thresholding a magnitude into a mask, and masking with it.
#ifndef ONDRIFT_PIPELINE_KERNELS_MASK_H
#define ONDRIFT_PIPELINE_KERNELS_MASK_H

#include <span>

namespace ondrift {

/// mask[i] = maskValue where source[i] > threshold (strictly), else 0, over source.size() values.
void thresholdMask(std::span<const double> source, std::span<double> mask, double threshold,
                   double maskValue);

/// image[i] = 0 where mask[i] < 1.0, over image.size() values; `mask` must be at least as long.
void zeroWhereMasked(std::span<double> image, std::span<const double> mask);

}  // namespace ondrift

#endif
