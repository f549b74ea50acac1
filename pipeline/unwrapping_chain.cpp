#include "pipeline/unwrapping_chain.h"

#include <future>
#include <optional>

#include "binding/log.h"
#include "pipeline/field_conditioning.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/laplacian_unwrapping.h"
#include "pipeline/mask.h"
#include "pipeline/phase_preparation.h"
#include "pipeline/relaxation_unwrapping.h"
#include "pipeline/smoothing.h"

namespace ondrift {

namespace {

/// Range of the edge-preserving field map smoothing, Hz.
constexpr double kConditioningRangeHz = 12.0;
/// The value the documented mask gives the voxels it keeps.
constexpr double kMaskValue = 4000.0;

}  // namespace

ChainOutcome unwrapAndSmooth(Image& phase, const Image& magnitude, const UnwrappingChain& c,
                             Image& unwrapped, std::string& error) {
    // What congruent unwrapping takes from the measurement alone is made on another core while
    // the Laplacian unwrapping runs. Not beside relaxation, which converts the phase it is given
    // to cycles in place: the other core would read it half converted.
    const auto conditioning = static_cast<Conditioning>(c.conditioning);
    std::future<CongruentInput> congruentInput;
    if (c.congruent && !c.relaxation)
        congruentInput = startCongruentInput(phase, false, magnitude, conditioning);
    if (c.relaxation) {
        logText("Unwrapping via relaxation...");
        unwrapped = unwrapRelaxation(phase, magnitude, c.relaxIterations, c.regularisation);
    } else {
        logText("Unwrapping via full multigrid...");
        unwrapped = unwrapPhaseMultigrid(phase, magnitude, c.maskLaplacian, c.vCycles, c.iterations,
                                         &error);
        if (!unwrapped.isValid()) {
            if (error.empty())
                error = "Stopped unwrapping procedure: the multigrid unwrapping did not succeed.";
            return ChainOutcome::Stopped;
        }
        convertToHertz(unwrapped);
    }

    // The passes after the unwrapping are short kernels: their threads are kept for all of them
    // rather than started for each.
    std::optional<KernelThreads> kept;
    if (c.congruent || c.conditioning != 0) kept.emplace();
    // The mask and the phase in cycles that congruence used serve the conditioning too.
    CongruentInput measured;
    if (c.congruent && !makeUnwrappedCongruent(unwrapped, phase, c.relaxation, magnitude, &error,
                                               &congruentInput, &measured, conditioning)) {
        return ChainOutcome::Stopped;
    }
    if (!applyMask(unwrapped, magnitude, kMagnitudeThreshold, kMaskValue, &error))
        return ChainOutcome::Stopped;
    logText(unwrapped.statisticsText("unwrapped phase data"));
    if (c.conditioning != 0) {
        // The range of the edge-preserving variant, in cycles: a few Hz of field.
        const double rangeSigma = kConditioningRangeHz * c.echoTimeDiff;
        if (!conditionFieldMap(unwrapped, magnitude, conditioning, rangeSigma, &error, &phase,
                               c.relaxation, c.congruent ? &measured : nullptr)) {
            return ChainOutcome::Stopped;
        }
        return ChainOutcome::Done;
    }
    logText("Apply 3x3 smoothing kernel...");
    return convolveSlices(2, unwrapped, false) ? ChainOutcome::Done : ChainOutcome::SmoothingFailed;
}

}  // namespace ondrift
