#include "pipeline/field_map.h"

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
#include "pipeline/step_errors.h"

namespace ondrift {

Image computeFieldMap(const Image& phase, const AcquisitionParameters& parameters,
                      std::string* error) {
    logText("Compute field inhomogeneity...");
    Image map;
    phase.copyHeaderTo(map);
    const bool usable = holdsFirstVolume(phase);
    map.setData(
        std::vector<double>(usable ? static_cast<std::size_t>(map.getNrOfVoxels()) : 0, 0.0));
    if (!usable) {
        map.setNrOfVolumes(0);
        map.setStatus(Failed);
        reportStepError(error, "The phase image holds no data: the field map was not computed.");
        return map;
    }
    const double echoTimeDiff = parameters.echoTimeDiff;
    if (echoTimeDiff == 0.0 || !std::isfinite(echoTimeDiff)) {
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

}  // namespace ondrift
