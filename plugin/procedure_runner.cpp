#include "plugin/procedure_runner.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "binding/host_api.h"
#include "binding/host_parameters.h"
#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "image/host_documents.h"
#include "pipeline/field_resampling.h"
#include "pipeline/mapping.h"
#include "pipeline/phase_preparation.h"
#include "pipeline/smoothing.h"
#include "pipeline/undistortion.h"
#include "pipeline/unwrapping_chain.h"
#include "pipeline/value_maps.h"
#include "plugin/kept_shift_map.h"
#include "plugin/run_settings.h"

namespace ondrift {
namespace {

/// State of one "Start" call; everything here is released when the call ends.
struct Run {
    CallState& call;
    RunSettings settings;
    Image current;
    Image magnitude;
    Image epi;
    FMRRecord startRecord;
    FMRRecord magnitudeRecord;
    FMRRecord epiRecord;
    bool startObtained = false;
    bool magnitudeObtained = false;
    bool epiObtained = false;
    bool chained = false;
    bool shiftsOnEpiGrid = false;  ///< current was computed on the EPI's grid
    int keep = 0;                  ///< "KeepPixelShiftMap"
};

/// "<name>" with the suffix inserted before its extension, reduced to the bare file name.
std::string nameWithSuffix(const Image& image, const char* suffix) {
    const helperTools tools;
    return tools.baseName(tools.addSuffix(image.getName(), suffix), false, false);
}

void failWith(Run& run, const std::string& message) {
    logText(message);
    run.call.fail(message);
}

bool isFloatProject(const FMRRecord& record) {
    return record.header != nullptr && record.header->dataType == kFmrFloat32;
}

void prepare(Run& run) {
    run.startObtained = loadFMRInto("Please select the startfile (phase, b0 or pixelshift)",
                                    run.current, run.startRecord);
    // A start image that was not picked has no data type to check; its steps stop on their own.
    if (run.startObtained && !isFloatProject(run.startRecord)) {
        run.call.fail();
        logText("Datatype of phase and magnitude FMRs should be float.");
    }
    run.settings.performAll = host::getIntParameter(parameter::kPerformAllSteps) != 0;
    if (run.settings.step == RunStep::Unwrap) {
        run.magnitudeObtained =
            loadFMRInto("Please select the magnitude file", run.magnitude, run.magnitudeRecord);
        if (run.magnitudeObtained && !isFloatProject(run.magnitudeRecord)) {
            run.call.fail();
            logText("Datatype of phase AND magnitude FMRs should be float.");
        }
    }
    if (run.magnitude.getNrOfVolumes() > 1 || run.current.getNrOfVolumes() > 1) {
        logText("Magnitude and/or phase data have more than one volume.");
        logText(
            "Please create FMR phase/magnitude projects of one volume or select *_FirstVol.fmr.");
        run.call.fail();
    }
}

/// The step's main result must reach the disk; a lost result is a failed call.
bool saveResult(Run& run, const Image& image, const std::string& name) {
    if (saveAsFMR(image, name)) return true;
    failWith(run, "Could not save " + name + ".");
    return false;
}

bool sameGrid(const Image& a, const Image& b) {
    return a.getDimX() == b.getDimX() && a.getDimY() == b.getDimY() && a.getDimZ() == b.getDimZ();
}

/// Picks the EPI once per call; false (call failed) when none could be obtained.
bool pickEpi(Run& run, bool logStatistics = true) {
    if (run.epiObtained) return true;
    run.epiObtained =
        loadFMRInto("Please select the EPI file", run.epi, run.epiRecord, logStatistics);
    if (!run.epiObtained || !run.epi.isValid()) {
        run.epiObtained = false;
        run.call.fail("Stopped undistortion procedure: no data or status is not ok.");
        return false;
    }
    return true;
}

/// The shifts of the chain's undistortion, kept for later calls when the host asks for them.
void keepIfAsked(const Run& run, const Image& shifts) {
    if (run.keep == 1 && shifts.isValid()) keepShiftMap(shifts);
}

/// The undistortion with the shifts resampled onto the EPI's grid in scanner coordinates.
void undistortResampled(Run& run) {
    if (!pickEpi(run)) return;
    std::string error;
    Image resampled;
    if (!run.shiftsOnEpiGrid) {
        resampled = resampleOntoFunctionalGrid(run.current, run.startRecord, nullptr, run.epi,
                                               run.epiRecord, "pixel shift map", &error);
        if (!resampled.isValid()) {
            run.call.fail(error);
            return;
        }
        // Saved under the name the anatomical mapping gives its result, the same map on the
        // same grid; the undistortion goes ahead without it if the host cannot save.
        resampled.setName(run.epi.getName());
        const std::string name = nameWithSuffix(resampled, "_pixshiftInEPIres");
        saveAsFMR(resampled, name);
        logText(name);
    }
    const Image& shifts = run.shiftsOnEpiGrid ? run.current : resampled;
    keepIfAsked(run, shifts);
    host::showBusyCursor();
    const bool done = undistortEPI(run.epi, shifts, run.settings.acquisition, &error,
                                   run.settings.intensityModulation);
    host::stopBusyCursor();
    if (!done) run.call.fail(error.empty() ? "Undistortion procedure did not succeed." : error);
}

void unwrap(Run& run) {
    const RunSettings& s = run.settings;
    logText("Started unwrapping procedure...");
    if (!run.startObtained || !run.magnitudeObtained) {
        run.call.fail("Stopped unwrapping procedure: no data or status is not ok.");
        return;
    }
    if (!sameGrid(run.current, run.magnitude)) {
        char message[kErrorTextBytes];
        std::snprintf(message, sizeof message,
                      "Stopped unwrapping procedure: the phase (%dx%dx%d) and magnitude (%dx%dx%d) "
                      "images are not on the same grid.",
                      run.current.getDimX(), run.current.getDimY(), run.current.getDimZ(),
                      run.magnitude.getDimX(), run.magnitude.getDimY(), run.magnitude.getDimZ());
        failWith(run, message);
        return;
    }
    if (s.toRadians) {
        logText("Convert to radians...");
        scaleToRadians(run.current);
    }
    const std::string radiansName = nameWithSuffix(run.current, "_radians");
    saveAsFMR(run.current, radiansName);
    logText(radiansName);

    const UnwrappingChain chain{s.relaxation,    s.nrOfIterationsRelax, s.regularisation,
                                s.maskLaplacian, s.nrOfVCycles,         s.nrOfIterations,
                                s.congruent,     s.conditioning,        s.acquisition.echoTimeDiff};
    Image unwrapped;
    std::string error;
    const ChainOutcome outcome =
        unwrapAndSmooth(run.current, run.magnitude, chain, unwrapped, error);
    if (outcome == ChainOutcome::Stopped) {
        run.call.fail(error);
        return;
    }
    if (outcome == ChainOutcome::SmoothingFailed) run.call.fail();
    const std::string smoothName = nameWithSuffix(unwrapped, "_smooth");
    logText("Save smoothed phase map...");
    const bool saved = saveResult(run, unwrapped, smoothName);
    logText(unwrapped.statisticsText("smoothed unwrapped phase data"));
    if (!saved) return;
    if (run.settings.performAll) {
        run.current = std::move(unwrapped);
        run.chained = true;
    }
}

void computeB0(Run& run) {
    logText("Started field inhomogeneity map creation procedure...");
    if (!run.startObtained || !run.current.isValid()) {
        run.call.fail("Stopped fieldmap creation procedure: no data or status is not ok.");
        return;
    }
    std::string error;
    Image field = computeFieldMap(run.current, run.settings.acquisition, &error);
    if (!field.isValid()) {
        run.call.fail(error.empty() ? std::string("Stopped fieldmap creation procedure: the field "
                                                  "map could not be made.")
                                    : error);
        return;
    }
    logText(field.statisticsText("field inhomogeneity data"));
    if (run.settings.conditioning != 0) {
        // The slice smoothing would average the zeros beyond the slice into its edge again.
        logText("Field map conditioned: no 3x3 smoothing.");
    } else {
        logText("Apply 3x3 smoothing kernel...");
        bool smoothed = convolveSlices(2, field, false);
        if (smoothed) smoothed = convolveSlices(2, field, false);
        if (!smoothed) run.call.fail();
    }
    // In a chain the field map keeps the unwrapped phase's name, whose "_smooth" project the
    // unwrapping step has just written: the smoothed field map gets the "_b0" name instead.
    const std::string name = nameWithSuffix(field, run.chained ? "_b0_smooth" : "_smooth");
    const bool saved = saveResult(run, field, name);
    logText(field.statisticsText("smoothed field inhomogeneity data"));
    if (!saved || !run.call.status) return;
    if (run.settings.performAll) {
        run.current = std::move(field);
        run.chained = true;
    }
}

void computePxshift(Run& run) {
    if (!run.startObtained || !run.current.isValid()) {
        run.call.fail("Stopped compute pixelshiftmap procedure: no data or status is not ok.");
        return;
    }
    std::string error;
    Image resampled;
    if (run.settings.resampleToFunctional) {
        // The shifts belong to the functional series: its bandwidth and voxels, so the field
        // goes onto its grid first (the EPI is the pick that the undistortion would ask for).
        if (!pickEpi(run)) return;
        // A conditioned field map already holds the field everywhere: filled beyond the mask
        // and measured in the rims of the dropouts. Masking it again here would throw that
        // away and fill the functional grid's dropouts from their edges once more.
        const bool masked = run.magnitudeObtained && run.settings.conditioning == 0;
        resampled = resampleOntoFunctionalGrid(run.current, run.startRecord,
                                               masked ? &run.magnitude : nullptr, run.epi,
                                               run.epiRecord, "field map", &error);
        if (!resampled.isValid()) {
            run.call.fail(error);
            return;
        }
        // The shifts now belong to the EPI: their project is named after it.
        resampled.setName(run.epi.getName());
    }
    const Image& fieldMap = run.settings.resampleToFunctional ? resampled : run.current;
    Image shifts = computePixelShiftMap(fieldMap, run.settings.acquisition, &error);
    if (!shifts.isValid()) {
        run.call.fail(error.empty() ? std::string("Stopped compute pixelshiftmap procedure: the "
                                                  "pixel shift map could not be made.")
                                    : error);
        return;
    }
    logText(shifts.statisticsText("pixelshift data"));
    if (run.settings.performAll) {
        run.current = std::move(shifts);
        run.chained = true;
        run.shiftsOnEpiGrid = run.settings.resampleToFunctional;
    }
}

void undistort(Run& run) {
    const RunSettings& s = run.settings;
    if (!run.startObtained || !run.current.isValid()) {
        // Nothing to correct with: say so instead of ending the call as a silent success.
        run.call.fail("Stopped undistortion procedure: no pixel shift map was obtained.");
        return;
    }
    const int direction = s.acquisition.phaseEncodingDir;
    if (direction < 1 || direction > 6) {
        char message[kErrorTextBytes];
        std::snprintf(message, sizeof message,
                      "Stopped undistortion procedure: the phase-encoding direction must be a code "
                      "from 1 to 6 (PhaseEncodingDir = %d).",
                      direction);
        failWith(run, message);
        return;
    }
    if (s.resampleToFunctional) {
        undistortResampled(run);
        return;
    }
    VMRRecord vmr;
    bool vmrObtained = false;
    if (s.mapToFunctional) vmrObtained = loadVMR("Please select the VMR file:", vmr);
    if (!pickEpi(run)) return;
    if (!s.mapToFunctional) {
        keepIfAsked(run, run.current);
        host::showBusyCursor();
        std::string error;
        const bool done =
            undistortEPI(run.epi, run.current, s.acquisition, &error, s.intensityModulation);
        host::stopBusyCursor();
        if (!done) run.call.fail(error.empty() ? "Undistortion procedure did not succeed." : error);
        return;
    }
    if (!vmrObtained) {
        // Nothing was corrected, so the call must not end as a success.
        failWith(run, "Did not obtain VMR data.");
        return;
    }
    Image mapped;
    std::string error;
    if (!runMappingBranch(vmr, run.epiRecord, run.startRecord, run.epi, run.current, mapped,
                          error)) {
        failWith(run, error.empty() ? std::string("Mapping of the pixel shift map did not succeed.")
                                    : error);
        return;
    }
    keepIfAsked(run, mapped);
    host::showBusyCursor();
    const bool done = undistortEPI(run.epi, mapped, s.acquisition, &error, s.intensityModulation);
    host::stopBusyCursor();
    if (!done) {
        if (error.empty()) {
            run.call.fail();
        } else {
            run.call.fail(error);
        }
    }
}

/// Further volumes of a series undistorted with the map a chain kept: only the EPI is picked.
void undistortWithKeptMap(Run& run) {
    const Image* kept = keptShiftMap();
    if (kept == nullptr) {
        failWith(run, "Stopped undistortion procedure: no pixel shift map was kept.");
        return;
    }
    const bool lean = host::getIntParameter(parameter::kLeanUndistortion) == 1;
    if (!pickEpi(run, !lean)) return;
    std::string error;
    host::showBusyCursor();
    const bool done = undistortEPI(run.epi, *kept, run.settings.acquisition, &error,
                                   run.settings.intensityModulation, lean);
    host::stopBusyCursor();
    if (!done) run.call.fail(error.empty() ? "Undistortion procedure did not succeed." : error);
}

}  // namespace

void runProcedure(CallState& call) {
    Run run{call, {}, {}, {}, {}, {}, {}, {}, false, false, false, false, false, 0};
    if (!readRunSettings(call, run.settings)) return;
    run.keep = host::getIntParameter(parameter::kKeepPixelShiftMap);
    if (run.keep == 2 && run.settings.step == RunStep::Undistort) {
        undistortWithKeptMap(run);
        return;
    }
    // A chain that keeps nothing must not leave an earlier series' map for a later call.
    releaseKeptShiftMap();
    prepare(run);
    const RunStep step = run.settings.step;
    if (step == RunStep::Unwrap && call.status) unwrap(run);
    if ((step == RunStep::ComputeB0 || run.chained) && call.status) computeB0(run);
    if ((step == RunStep::ComputePxshift || run.chained) && call.status) computePxshift(run);
    if ((step == RunStep::Undistort || run.chained) && call.status) undistort(run);
}

}  // namespace ondrift
