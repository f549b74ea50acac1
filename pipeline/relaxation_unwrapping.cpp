#include "pipeline/relaxation_unwrapping.h"

#include <string>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "image/amr_writer.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/kernels/relaxation.h"
#include "pipeline/phase_preparation.h"

namespace ondrift {

Image unwrapRelaxation(Image& phase, const Image& magnitude, int iterations,
                       double regularisation) {
    convertToHertz(phase);
    const Dims dims{phase.getDimX(), phase.getDimY(), phase.getDimZ()};
    std::vector<double> wrapped(dims.voxels());
    std::vector<double> weights(dims.voxels());
    std::vector<double> solution(dims.voxels(), 0.0);
    phase.getVolume(0, wrapped.data());
    magnitude.getVolume(0, weights.data());
    unwrapByRelaxation(dims, wrapped, weights, solution, iterations, regularisation);
    Image unwrapped;
    phase.copyHeaderTo(unwrapped);
    unwrapped.setData(std::move(solution));
    saveAsAMR(unwrapped, "_unwrapped");
    const helperTools tools;
    const std::string name =
        tools.baseName(tools.addSuffix(phase.getName(), "_unwrapped"), false, false);
    logText(name);
    saveAsFMR(unwrapped, name);
    unwrapped.setName(name);
    return unwrapped;
}

}  // namespace ondrift
