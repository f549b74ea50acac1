#include "plugin/run_settings.h"

#include <string>

#include "binding/host_api.h"
#include "binding/host_parameters.h"

namespace ondrift {

bool readRunSettings(CallState& call, RunSettings& s) {
    s.relaxation = host::getIntParameter(parameter::kUnwrappingMethod) == 0;
    if (s.relaxation) {
        s.nrOfIterationsRelax = host::getIntParameter(parameter::kNrOfIterationsRelax);
        s.regularisation = static_cast<double>(host::getFloatParameter(parameter::kRegularisation));
    } else {
        s.nrOfVCycles = host::getIntParameter(parameter::kNrOfVCycles);
        s.nrOfIterations = host::getIntParameter(parameter::kNrOfIterations);
    }
    // Read for both methods, so that relaxation can also start from scanner units.
    s.toRadians = host::getIntParameter(parameter::kPhaseToRadians) == 1;
    if (!s.relaxation) s.maskLaplacian = host::getIntParameter(parameter::kMaskLaplacian) == 1;

    s.acquisition.bandWidthPE =
        static_cast<double>(host::getFloatParameter(parameter::kBandWidthPE));
    s.echoTimeDiffMs = host::getFloatParameter(parameter::kEchoTimeDiff);
    // Milliseconds to seconds in single precision, as the host's own tools compute it.
    s.acquisition.echoTimeDiff = static_cast<double>(s.echoTimeDiffMs / 1000.0f);
    s.acquisition.phaseEncodingDir = host::getIntParameter(parameter::kPhaseEncodingDir);
    s.acquisition.applyTwoPi = host::getIntParameter(parameter::kApplyTwoPi) == 1 ? 1 : 0;

    s.mapToFunctional = host::getIntParameter(parameter::kMapFieldmapToFunctional) != 0;
    s.congruent = host::getIntParameter(parameter::kCongruentUnwrapping) == 1;
    s.conditioning = host::getIntParameter(parameter::kFieldMapConditioning);
    // Not set (or 0): the pixel shift map is computed on the field map's grid and carried into
    // the EPI's only through an anatomical project, as hosts have always run it. Set: the field
    // map is resampled onto the EPI's grid in scanner coordinates before the shifts are computed
    // there.
    s.resampleToFunctional = host::getIntParameter(parameter::kResampleFieldmapToFunctional) != 0;
    std::string procedure;
    if (!readBoundedParameter(parameter::kProcedure, kCommandBytes, call, procedure)) return false;
    if (procedure == parameter::procedure::kUnwrap) {
        s.step = RunStep::Unwrap;
    } else if (procedure == parameter::procedure::kComputeB0) {
        s.step = RunStep::ComputeB0;
    } else if (procedure == parameter::procedure::kComputePxshift) {
        s.step = RunStep::ComputePxshift;
    } else if (procedure == parameter::procedure::kUndistort) {
        s.step = RunStep::Undistort;
    }
    return true;
}

}  // namespace ondrift
