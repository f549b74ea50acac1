#include "plugin/run_settings.h"

#include <string>

#include "binding/host_api.h"

namespace ondrift {
namespace {

// Not set (or 0): the pixel shift map is computed on the field map's grid and carried into the
// EPI's only through an anatomical project, as hosts have always run it. Set: the field map is
// resampled onto the EPI's grid in scanner coordinates before the shifts are computed there.
constexpr const char* kResampleParameter = "ResampleFieldmapToFunctional";
// Set to 1: the undistortion also restores the intensity by the local stretch of the shift map.
constexpr const char* kModulationParameter = "IntensityModulation";

}  // namespace

bool readRunSettings(CallState& call, RunSettings& s) {
    s.relaxation = host::getIntParameter("UnwrappingMethod") == 0;
    if (s.relaxation) {
        s.nrOfIterationsRelax = host::getIntParameter("NrOfIterationsRelax");
        s.regularisation = static_cast<double>(host::getFloatParameter("Regularisation"));
    } else {
        s.nrOfVCycles = host::getIntParameter("NrOfVCycles");
        s.nrOfIterations = host::getIntParameter("NrOfIterations");
    }
    // Read for both methods, so that relaxation can also start from scanner units.
    s.toRadians = host::getIntParameter("PhaseToRadians") == 1;
    if (!s.relaxation) s.maskLaplacian = host::getIntParameter("MaskLaplacian") == 1;

    s.acquisition.bandWidthPE = static_cast<double>(host::getFloatParameter("BandWidthPE"));
    s.echoTimeDiffMs = host::getFloatParameter("EchoTimeDiff");
    // Milliseconds to seconds in single precision, as the host's own tools compute it.
    s.acquisition.echoTimeDiff = static_cast<double>(s.echoTimeDiffMs / 1000.0f);
    s.acquisition.phaseEncodingDir = host::getIntParameter("PhaseEncodingDir");
    s.acquisition.applyTwoPi = host::getIntParameter("ApplyTwoPi") == 1 ? 1 : 0;

    s.mapToFunctional = host::getIntParameter("mapFieldmapToFunctional") != 0;
    s.congruent = host::getIntParameter("CongruentUnwrapping") == 1;
    s.conditioning = host::getIntParameter("FieldMapConditioning");
    s.resampleToFunctional = host::getIntParameter(kResampleParameter) != 0;
    s.intensityModulation = host::getIntParameter(kModulationParameter) == 1;
    std::string procedure;
    if (!readBoundedParameter("Procedure", kCommandBytes, call, procedure)) return false;
    if (procedure == "Unwrap") {
        s.step = RunStep::Unwrap;
    } else if (procedure == "ComputeB0") {
        s.step = RunStep::ComputeB0;
    } else if (procedure == "ComputePxshift") {
        s.step = RunStep::ComputePxshift;
    } else if (procedure == "Undistort") {
        s.step = RunStep::Undistort;
    }
    return true;
}

}  // namespace ondrift
