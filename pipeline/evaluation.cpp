#include "pipeline/evaluation.h"

#include "plugin/log.h"

namespace ondrift {

bool createDifferenceImage() {
    logText("The evaluation is not available in this build.");
    return false;
}

}  // namespace ondrift
