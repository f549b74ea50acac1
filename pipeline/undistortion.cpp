#include "pipeline/undistortion.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "binding/host_api.h"
#include "binding/host_parameters.h"
#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/display_funcs.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "image/ordered_statistics.h"
#include "image/parallel_volumes.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/stretch.h"
#include "pipeline/kernels/undistortion.h"
#include "pipeline/step_errors.h"

namespace ondrift {

bool copyVolume(const Image& source, Image& target, int sourceVolume, int targetVolume) {
    if (volumeDims(source) != volumeDims(target)) return false;
    const std::span<const double> from = volumeValues(source, sourceVolume);
    const std::span<double> to = volumeValues(target, targetVolume);
    if (from.size() != to.size() || (from.empty() && source.voxelsPerVolume() != 0)) return false;
    std::copy(from.begin(), from.end(), to.begin());
    return true;
}

bool undistortEPI(Image& epi, const Image& shiftMap, const AcquisitionParameters& parameters,
                  std::string* error, bool intensityModulation, bool lean) {
    const int direction = parameters.phaseEncodingDir;
    if (!isDirectionCode(direction)) {
        reportStepError(error, formatMessage("The phase-encoding direction code %d is not valid "
                                             "(\"PhaseEncodingDir\" must be 1 to 6): nothing was "
                                             "undistorted.",
                                             direction));
        return false;
    }
    if (!holdsAllVoxels(epi) || !holdsFirstVolume(shiftMap)) {
        reportStepError(error,
                        "The EPI or the pixel shift map holds no data: nothing was "
                        "undistorted.");
        return false;
    }
    const Dims d = volumeDims(epi);
    if (volumeDims(shiftMap) != d) {
        reportStepError(
            error, formatMessage("The pixel shift map (%d x %d x %d) does not lie on the "
                                 "EPI's grid (%d x %d x %d): nothing was undistorted.",
                                 shiftMap.getDimX(), shiftMap.getDimY(), shiftMap.getDimZ(), d.x,
                                 d.y, d.z));
        return false;
    }

    logFormat("Undistort in direction: %s", displayFuncs().directionText(direction));
    const std::span<const double> shift = volumeValues(shiftMap, 0);
    std::vector<double> stretch;
    if (intensityModulation) {
        stretch.resize(d.voxels());
        const std::size_t clamped = stretchFactors(shift, stretch, d, direction);
        logText("Modulate the intensity by the local stretch of the pixel shift map...");
        logFormat(
            "The stretch was held within %.1f and %.1f at %zu of %zu voxels (where the "
            "shift map folds over or nearly so).",
            kMinStretch, 1.0 / kMinStretch, clamped, d.voxels());
    }
    // One work volume per thread: each volume is read completely into it before the volume is
    // overwritten, and no volume reads another, so the threads cannot change a value.
    const int volumes = epi.getNrOfVolumes();
    const unsigned workers = volumeWorkers(volumes, d.voxels());
    std::vector<Image> work(workers);
    for (Image& w : work) {
        epi.copyHeaderTo(w);
        w.setNrOfVolumes(1);
        w.setData(std::vector<double>(w.voxelsPerVolume(), 0.0));
    }
    // Volume t undistorted into `own`, which is then copied back over it.
    const auto undistortInto = [&](Image& own, int t) {
        undistortVolume(volumeValues(std::as_const(epi), t), allValues(own), shift, d, direction);
        applyStretch(allValues(own), stretch);
    };
    if (workers == 1) {
        if (!lean) logText(epi.statisticsText("distorted data"));
        for (int t = 0; t < volumes; ++t) {
            undistortInto(work[0], t);
            copyVolume(work[0], epi, 0, t);
        }
    } else if (lean) {
        forEachVolumeRange(volumes, workers, [&](unsigned worker, int first, int end) {
            for (int t = first; t < end; ++t) {
                undistortInto(work[worker], t);
                copyVolume(work[worker], epi, 0, t);
            }
        });
    } else {
        // The statistics of the distorted series are summed on a thread of their own, in
        // buffer order; a volume is written back only once that thread has read it. Nothing
        // else is logged meanwhile, so the log reads as if they had come first.
        std::string distortedText;
        {
            OrderedStatistics distorted(epi.getData(), d.voxels(), volumes, true);
            forEachVolumeRange(volumes, workers, [&](unsigned worker, int first, int end) {
                Image& own = work[worker];
                for (int t = first; t < end; ++t) {
                    undistortInto(own, t);
                    distorted.waitUntilRead(t);
                    copyVolume(own, epi, 0, t);
                }
            });
            distortedText = distorted.text("distorted data");
        }
        logText(distortedText);
    }
    work.clear();
    // The saves below only read the series: its statistics are summed alongside them.
    std::optional<OrderedStatistics> undistorted;
    if (workers > 1 && !lean) undistorted.emplace(epi.getData(), d.voxels(), volumes, true);

    const helperTools tools;
    const std::string fileName =
        tools.baseName(tools.addSuffix(epi.getName(), "_undistort"), false, false);
    if (!saveAsFMR(epi, fileName)) {
        logFormat("The undistorted EPI could not be saved as %s.", fileName.c_str());
        reportStepError(error, "Undistortion procedure did not succeed.");
        return false;
    }
    logText(fileName);
    if (!lean) saveAsAMR(epi, "_undistort");
    host::setStringParameter(parameter::kNameUndistortedFile, fileName.c_str());
    if (lean) return true;
    logText(undistorted ? undistorted->text("undistorted data")
                        : epi.statisticsText("undistorted data"));
    return true;
}

}  // namespace ondrift
