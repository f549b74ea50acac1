#include "pipeline/value_maps.h"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/field_map.h"
#include "pipeline/kernels/pixel_shift.h"
#include "pipeline/step_errors.h"

namespace ondrift {

namespace {

/// The result container: the source's header and a zeroed buffer. A source without its first
/// volume leaves the result Failed with no volumes, and `usable` false.
Image zeroedResult(const Image& source, bool& usable) {
    Image result;
    source.copyHeaderTo(result);
    usable = holdsFirstVolume(source);
    result.setData(
        std::vector<double>(usable ? static_cast<std::size_t>(result.getNrOfVoxels()) : 0, 0.0));
    if (!usable) {
        result.setNrOfVolumes(0);
        result.setStatus(Failed);
    }
    return result;
}

bool usableDivisor(double value) { return value != 0.0 && std::isfinite(value); }

}  // namespace

Image computeFieldMap(const Image& phase, const AcquisitionParameters& parameters,
                      std::string* error) {
    logText("Compute field inhomogeneity...");
    bool usable = false;
    Image map = zeroedResult(phase, usable);
    if (!usable) {
        reportStepError(error, "The phase image holds no data: the field map was not computed.");
        return map;
    }
    const double echoTimeDiff = parameters.echoTimeDiff;
    if (!usableDivisor(echoTimeDiff)) {
        map.setStatus(Failed);
        reportStepError(error,
                        formatMessage("The echo-time difference must be a finite number other "
                                      "than 0 (\"EchoTimeDiff\" is %g ms): the field map was "
                                      "not computed.",
                                      echoTimeDiff * 1000.0));
        return map;
    }

    fieldFromPhase(volumeValues(phase, 0), allValues(map), echoTimeDiff);
    logText(map.statisticsText("field inhomogeneity map (Hz)"));
    saveAsAMR(map, "_b0");

    const helperTools tools;
    const std::string fileName =
        tools.replaceExtension(tools.addSuffix(map.getName(), "_b0"), ".fmr");
    logText(fileName);
    if (saveAsFMR(map, fileName)) {
        map.setStatus(Valid);
    } else {
        map.setStatus(Failed);
        reportStepError(error,
                        formatMessage("The field map could not be saved as %s.", fileName.c_str()));
    }
    return map;
}

Image computePixelShiftMap(const Image& fieldMap, const AcquisitionParameters& parameters,
                           std::string* error) {
    logText("Compute pixel shift map...");
    bool usable = false;
    Image shift = zeroedResult(fieldMap, usable);
    if (!usable) {
        reportStepError(error,
                        "The field map holds no data: the pixel shift map was not computed.");
        return shift;
    }
    const double bandWidth = parameters.bandWidthPE;
    if (!usableDivisor(bandWidth)) {
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
