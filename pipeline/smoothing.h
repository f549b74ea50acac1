// In-place 3×3 smoothing of every slice of an image.
#ifndef ONDRIFT_PIPELINE_SMOOTHING_H
#define ONDRIFT_PIPELINE_SMOOTHING_H

#include "image/datahandler.h"
#include "pipeline/kernels/smoothing.h"  // makeKernel, kernelName, KernelWeights

namespace ondrift {

/// Smooths every slice of every volume in place with the kernel of the id (2, "Smooth"), the
/// 3×3 window centred on each voxel. Logs the kernel, "...convolution kernel." and
/// "Start convolution...", and shows the busy cursor while it works. `unusedFlag` has no effect.
/// False (image unchanged) for an unknown kernel id or a container without its voxels.
bool convolveSlices(int kernelId, Image& image, bool unusedFlag = false);

}  // namespace ondrift

#endif
