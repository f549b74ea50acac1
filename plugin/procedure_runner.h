// The procedure runner behind the command "Start".
#ifndef ONDRIFT_PLUGIN_PROCEDURE_RUNNER_H
#define ONDRIFT_PLUGIN_PROCEDURE_RUNNER_H

#include "plugin/call_state.h"

namespace ondrift {

/// Reads the "Start" parameters, lets the user pick the inputs and runs the chosen step or the
/// chain of steps; failures set the call's status and error text.
void runProcedure(CallState& call);

}  // namespace ondrift

#endif
