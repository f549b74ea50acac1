#include "pipeline/smoothing.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "binding/host_api.h"
#include "binding/log.h"
#include "image/helper_tools.h"
#include "pipeline/image_views.h"

namespace ondrift {

bool convolveSlices(int kernelId, Image& image, bool /*unusedFlag*/) {
    KernelWeights weights;
    if (!makeKernel(kernelId, weights)) {
        logFormat("Unknown convolution kernel %d: the image was not smoothed.", kernelId);
        return false;
    }
    if (!holdsAllVoxels(image)) {
        logText("There is no image to smooth: the convolution was not run.");
        return false;
    }
    helperTools().printKernel(weights.data(), kernelName(kernelId));
    logText("...convolution kernel.");

    const int nx = image.getDimX();
    const int ny = image.getDimY();
    const std::size_t sliceSize = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    const std::size_t slices = static_cast<std::size_t>(image.getDimZ()) *
                               static_cast<std::size_t>(image.getNrOfVolumes());
    // One slice of scratch: slices and volumes do not mix, so each slice is finished and written
    // back before the next is read.
    std::vector<double> work(sliceSize, 0.0);

    logText("Start convolution...");
    host::showBusyCursor();
    double* data = image.getData();
    for (std::size_t s = 0; s < slices; ++s) {
        double* slice = data + s * sliceSize;
        convolveSlice({slice, sliceSize}, work, nx, ny, weights);
        std::copy(work.begin(), work.end(), slice);
    }
    host::stopBusyCursor();
    return true;
}

}  // namespace ondrift
