#include "pipeline/pixel_shift.h"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/pixel_shift.h"
#include "pipeline/step_errors.h"

namespace ondrift {

Image computePixelShiftMap(const Image& fieldMap, const AcquisitionParameters& parameters,
                           std::string* error) {
    logText("Compute pixel shift map...");
    Image shift;
    fieldMap.copyHeaderTo(shift);
    const bool usable = holdsFirstVolume(fieldMap);
    shift.setData(
        std::vector<double>(usable ? static_cast<std::size_t>(shift.getNrOfVoxels()) : 0, 0.0));
    if (!usable) {
        shift.setNrOfVolumes(0);
        shift.setStatus(Failed);
        reportStepError(error,
                        "The field map holds no data: the pixel shift map was not computed.");
        return shift;
    }
    const double bandWidth = parameters.bandWidthPE;
    if (bandWidth == 0.0 || !std::isfinite(bandWidth)) {
        shift.setStatus(Failed);
        reportStepError(error,
                        formatMessage("The bandwidth per pixel in the phase-encoding direction "
                                      "must be a finite number other than 0 (\"BandWidthPE\" is "
                                      "%g Hz): the pixel shift map was not computed.",
                                      bandWidth));
        return shift;
    }

    logText(fieldMap.statisticsText("field inhomogeneity map (Hz)"));
    shiftFromField(volumeValues(fieldMap, 0), allValues(shift), bandWidth, parameters.applyTwoPi);
    logText(shift.statisticsText("pixelshift map"));
    saveAsAMR(shift, "_pixshift");

    const helperTools tools;
    const std::string fileName =
        tools.baseName(tools.addSuffix(shift.getName(), "_pixshift"), false, false);
    logText(fileName);
    if (!saveAsFMR(shift, fileName)) {
        shift.setStatus(Failed);
        reportStepError(error, formatMessage("The pixel shift map could not be saved as %s.",
                                             fileName.c_str()));
    }
    return shift;
}

}  // namespace ondrift
