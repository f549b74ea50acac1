// The settings of one "Start" call, as the host's parameters give them.
#ifndef ONDRIFT_PLUGIN_RUN_SETTINGS_H
#define ONDRIFT_PLUGIN_RUN_SETTINGS_H

#include "pipeline/acquisition_parameters.h"
#include "plugin/call_state.h"

namespace ondrift {

enum class RunStep { None, Unwrap, ComputeB0, ComputePxshift, Undistort };

struct RunSettings {
    bool relaxation = true;
    int nrOfIterationsRelax = 0;
    double regularisation = 0.0;
    int nrOfVCycles = 0;
    int nrOfIterations = 0;
    bool toRadians = false;
    bool maskLaplacian = false;
    bool performAll = false;
    bool mapToFunctional = false;
    // Capabilities beyond the documented chain; 0 (or absent) keeps it as documented.
    bool congruent = false;
    int conditioning = 0;
    bool resampleToFunctional = false;
    bool intensityModulation = false;
    float echoTimeDiffMs = 0.0f;
    AcquisitionParameters acquisition;
    RunStep step = RunStep::None;
};

/// Fills `s` from the host's parameters, in the order the host has always seen them read.
/// "PerformAllSteps" is not among them: it is read after the start file is picked. False (call
/// failed) when the procedure name does not fit its buffer.
bool readRunSettings(CallState& call, RunSettings& s);

}  // namespace ondrift

#endif
