// The command's settings beyond the host's documented chain: congruent unwrapping and the
// edge-true field map are on unless the user asks for the documented chain.
#include <algorithm>
#include <string>

#include "binding/host_parameters.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/settings/correction_settings.h"

namespace ondrift::cli {

namespace {

// The field estimate: on a scanner's field map and on two phantom generators, thick slices and
// oblique grids included, it has the fewest cycle errors and the lowest error at long echo
// gaps (docs/accuracy.md).
constexpr int kDefaultConditioning = static_cast<int>(Conditioning::Estimated);
// Intensity modulation by the local stretch: see docs/accuracy.md for the measurements.
constexpr int kDefaultModulation = 0;

}  // namespace

void resolveAccuracy(const CorrectionFlags& f, const InputFacts& facts, CorrectionSettings& s,
                     Reporter& reporter) {
    const bool unwrap = s.from == StartStep::Unwrap;
    const bool relaxation = s.unwrappingMethod.value == 0;
    if (unwrap && relaxation) {
        // Relaxation carries a correction about one voxel per sweep; the low frequencies of
        // a grid of N voxels need on the order of N² sweeps to settle.
        const int n = std::max({facts.phaseDims[0], facts.phaseDims[1], facts.phaseDims[2]});
        const long long needed = static_cast<long long>(n) * n / 4;
        if (s.nrOfIterationsRelax.value < needed) {
            reporter.warning(
                "--method relaxation with " + std::to_string(s.nrOfIterationsRelax.value) +
                " iterations has not converged on a grid of " + std::to_string(n) +
                " voxels (about " + std::to_string(needed) + " are needed)" +
                (f.documentedChain ? "" : "; congruent unwrapping repairs the cycles"));
        }
    }
    s.documentedChain = f.documentedChain;
    if (f.documentedChain) {
        if (f.congruent || f.conditioning || f.jacobian) {
            throw InputError(
                "--documented-chain runs the host's chain as documented; it cannot be combined "
                "with --congruent, --field-map-conditioning or --jacobian");
        }
        s.congruentUnwrapping = {0, "flag --documented-chain"};
        s.fieldMapConditioning = {0, "flag --documented-chain"};
        s.intensityModulation = {0, "flag --documented-chain"};
        return;
    }
    if (f.jacobian) {
        s.intensityModulation = {*f.jacobian ? 1 : 0, "flag --jacobian"};
    } else if (facts.seriesIsPairImage) {
        s.intensityModulation = {1, "default for an image of the pair"};
    } else {
        s.intensityModulation = {kDefaultModulation, "default"};
    }
    if (f.congruent) {
        s.congruentUnwrapping = {*f.congruent ? 1 : 0, "flag --congruent"};
    } else {
        s.congruentUnwrapping = {unwrap ? 1 : 0, unwrap ? "default" : "not used"};
    }
    if (f.conditioning) {
        const auto* end = std::end(kConditioningNames);
        const auto* it = std::find(std::begin(kConditioningNames), end, *f.conditioning);
        // A number goes to the plug-in as it is, so that values the plug-in gains are usable
        // (and measurable) before they have a name here; the plug-in refuses unknown ones.
        const std::string& text = *f.conditioning;
        const bool number = !text.empty() && text.size() <= 4 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        if (it == end && !number) {
            std::string names;
            for (const auto* n = std::begin(kConditioningNames); n != end; ++n) {
                names += n == std::begin(kConditioningNames) ? "" : ", ";
                names += *n;
            }
            throw InputError("--field-map-conditioning must be " + names +
                             " or the plug-in's number, not \"" + text + "\"");
        }
        s.fieldMapConditioning = {
            it != end ? static_cast<int>(it - std::begin(kConditioningNames)) : std::stoi(text),
            "flag --field-map-conditioning"};
    } else {
        s.fieldMapConditioning = {unwrap ? kDefaultConditioning : 0,
                                  unwrap ? "default" : "not used"};
    }
    if (!unwrap && (f.congruent || f.conditioning)) {
        reporter.warning(
            "--congruent and --field-map-conditioning apply to the unwrapping step "
            "only");
    }
}

}  // namespace ondrift::cli
