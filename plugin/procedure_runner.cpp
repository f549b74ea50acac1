#include "plugin/procedure_runner.h"

#include "plugin/log.h"

namespace ondrift {

void runProcedure(CallState& call) {
    // The correction chain is not available in this build yet.
    logText("The procedure \"Start\" is not available in this build.");
    call.fail("The procedure \"Start\" is not available in this build.");
}

}  // namespace ondrift
