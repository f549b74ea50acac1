#include "pipeline/mask.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/mask.h"
#include "pipeline/step_errors.h"

namespace ondrift {

Image createMask(const Image& source, double threshold, double maskValue) {
    Image mask;
    source.copyHeaderTo(mask);
    mask.setNrOfVolumes(1);
    std::vector<double> values(mask.voxelsPerVolume(), 0.0);
    if (holdsFirstVolume(source)) {
        thresholdMask(volumeValues(source, 0), values, threshold, maskValue);
    } else {
        mask.setStatus(Failed);
    }
    mask.setData(std::move(values));
    logText(mask.statisticsText("mask"));
    return mask;
}

bool applyMask(Image& image, const Image& magnitude, double threshold, double maskValue,
               std::string* error) {
    const bool sameGrid =
        holdsAllVoxels(image) && holdsFirstVolume(magnitude) &&
        volumeDims(image) == volumeDims(magnitude) &&
        static_cast<std::size_t>(image.getNrOfVoxels()) == magnitude.voxelsPerVolume();
    if (!sameGrid) {
        reportStepError(
            error, formatMessage("The magnitude image (%d x %d x %d) does not match the image to "
                                 "mask (%d x %d x %d, %d volume(s)): the mask was not applied.",
                                 magnitude.getDimX(), magnitude.getDimY(), magnitude.getDimZ(),
                                 image.getDimX(), image.getDimY(), image.getDimZ(),
                                 image.getNrOfVolumes()));
        return false;
    }

    const Image mask = createMask(magnitude, threshold, maskValue);
    saveAsAMR(mask, "mask");
    zeroWhereMasked(allValues(image), allValues(mask));

    const helperTools tools;
    const std::string fileName =
        tools.baseName(tools.addSuffix(image.getName(), "_masked"), false, false);
    logText(fileName);
    saveAsAMR(image, "_masked");
    if (!saveAsFMR(image, fileName)) {
        reportStepError(
            error, formatMessage("The masked image could not be saved as %s.", fileName.c_str()));
        return false;
    }
    return true;
}

}  // namespace ondrift
