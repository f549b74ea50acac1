// The parameters of "Start", resolved from flags, BIDS sidecars and defaults, each with the
// place it came from (for the summary and for error messages).
#ifndef ONDRIFT_CLI_CORRECTION_SETTINGS_H
#define ONDRIFT_CLI_CORRECTION_SETTINGS_H

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_sidecar.h"

namespace ondrift::cli {

class Reporter;

/// The step the chain starts from; the start image is what that step expects.
enum class StartStep { Unwrap, ComputeB0, ComputePxshift, Undistort };

StartStep parseStartStep(const std::string& text);

/// A phase difference in radians stored as 0…2π (rather than −π…π or scanner units). The
/// plug-in's scaling to radians would map 0 to −π, a shift by half a turn; such a phase is
/// wrapped into −π…π when it becomes a host document instead.
bool isZeroToTwoPi(float minimum, float maximum);
const char* startStepName(StartStep step);

/// What the user gave on the command line (nullopt: not given).
struct CorrectionFlags {
    std::optional<double> echoTimeDiffMs;
    std::optional<double> bandWidthPE;
    std::optional<double> effectiveEchoSpacing;
    std::optional<double> totalReadoutTime;
    std::optional<std::string> peDirection;
    std::optional<std::string> method;  ///< "multigrid" or "relaxation"
    std::optional<int> iterationsRelax;
    std::optional<double> regularisation;
    std::optional<int> vcycles;
    std::optional<int> iterations;
    std::optional<bool> phaseToRadians;
    std::optional<bool> maskLaplacian;
    std::optional<bool> applyTwoPi;
    std::optional<bool> map;
    std::optional<bool> resample;
    std::optional<bool> congruent;
    std::optional<bool> jacobian;  ///< intensity modulation by the local stretch
    std::optional<std::string>
        conditioning;              ///< documented, box, range, none, quadratic or estimated
    bool documentedChain = false;  ///< exactly the host's chain
    StartStep from = StartStep::Unwrap;
    /// Go on despite values that look like the wrong unit (with a warning instead of an error).
    bool force = false;
};

/// Facts about the inputs that some parameters depend on.
struct InputFacts {
    int epiDims[3] = {0, 0, 0};
    int phaseDims[3] = {0, 0, 0};
    float phaseMin = 0;
    float phaseMax = 0;
    bool haveAnat = false;
    bool haveMagnitude = false;
    bool gridsDiffer = false;  ///< field map and functional image placed differently
    /// The field was estimated from a reverse phase-encoding pair and the series is one of its
    /// images: the pair's model gives that image the stretch of the field, so restoring it is
    /// what makes the two corrected polarities agree.
    bool seriesIsPairImage = false;
};

template <typename T>
struct Setting {
    T value{};
    std::string source;  ///< "flag --x", "sidecar X.json (Key)", "default", "derived …"
};

struct CorrectionSettings {
    StartStep from = StartStep::Unwrap;
    Setting<int> unwrappingMethod;  ///< 0 relaxation, 1 multigrid
    Setting<int> nrOfIterationsRelax;
    Setting<double> regularisation;
    Setting<int> nrOfVCycles;
    Setting<int> nrOfIterations;
    Setting<int> phaseToRadians;
    Setting<int> maskLaplacian;
    Setting<double> bandWidthPE;  ///< Hz per pixel
    Setting<double> echoTimeDiffMs;
    Setting<int> phaseEncodingDir;  ///< 1…6
    /// `--pe-dir auto`: the axis is known, the sign is left to the polarity check (the code
    /// above holds the starting guess).
    bool autoSign = false;
    Setting<int> applyTwoPi;
    Setting<int> mapToFunctional;
    Setting<int> resampleToFunctional;  ///< "ResampleFieldmapToFunctional"
    /// Beyond the host's documented chain (0: as documented; with --documented-chain the
    /// parameters are not sent at all).
    bool documentedChain = false;
    Setting<int> congruentUnwrapping;
    Setting<int> fieldMapConditioning;
    Setting<int> intensityModulation;  ///< "IntensityModulation"

    /// Every setting with value and source, under the plug-in's parameter names.
    nlohmann::json toJson() const;
};

struct Sidecars {
    std::optional<Sidecar> phase;
    std::optional<Sidecar> magnitude;
    std::optional<Sidecar> epi;
};

/// Flags override sidecars, sidecars override defaults. Missing or contradictory values are an
/// InputError; values that are given but not used are reported as warnings.
/// The settings beyond the documented chain, and the warning about relaxation sweeps; part of
/// resolveSettings.
void resolveAccuracy(const CorrectionFlags& flags, const InputFacts& facts, CorrectionSettings& s,
                     Reporter& reporter);

CorrectionSettings resolveSettings(const CorrectionFlags& flags, const Sidecars& sidecars,
                                   const InputFacts& facts, Reporter& reporter);

}  // namespace ondrift::cli

#endif
