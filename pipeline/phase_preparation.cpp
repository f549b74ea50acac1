#include "pipeline/phase_preparation.h"

#include "plugin/log.h"

namespace ondrift {

void scaleToRadians(Image&) {}
void convertToHertz(Image&) {}

bool createPolarFiles(const char*, const char*) {
    logText("The conversion to polar representation is not available in this build.");
    return false;
}

}  // namespace ondrift
