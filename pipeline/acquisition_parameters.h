// Acquisition settings handed from the procedure runner to the field map, pixel shift and
// undistortion steps.
#ifndef ONDRIFT_PIPELINE_ACQUISITION_PARAMETERS_H
#define ONDRIFT_PIPELINE_ACQUISITION_PARAMETERS_H

#include <cstdint>

namespace ondrift {

struct AcquisitionParameters {
    double bandWidthPE = 0.0;           ///< Hz per voxel along the phase-encoding axis
    double echoTimeDiff = 0.0;          ///< seconds ("EchoTimeDiff" ms / 1000 in single precision)
    std::int32_t phaseEncodingDir = 0;  ///< direction code 1…6
    std::int32_t applyTwoPi = 0;        ///< 1: the pixel shift also divides by 2π
};

}  // namespace ondrift

#endif
