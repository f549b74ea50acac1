// The parameter resolution of the command on one typical set of inputs: a phase difference in
// scanner units with its magnitude and sidecars, and a series read along j-. Tests change what
// they examine and resolve.
#ifndef ONDRIFT_TESTS_CLI_RESOLVE_FIXTURE_H
#define ONDRIFT_TESTS_CLI_RESOLVE_FIXTURE_H

#include <string>
#include <utility>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/settings/correction_settings.h"

namespace ondrift::testing {

inline cli::Sidecar sidecar(const std::string& name, nlohmann::json fields) {
    return cli::Sidecar{name, std::move(fields)};
}

struct Resolve {
    cli::CorrectionFlags flags;
    cli::Sidecars sidecars;
    cli::InputFacts facts;
    cli::Reporter reporter{cli::Verbosity::Quiet};

    /// `linesAlongJ` is the series' size along the phase-encoding axis, N_PE.
    explicit Resolve(int linesAlongJ = 72, float phaseMax = 4092) {
        facts.epiDims[0] = 64;
        facts.epiDims[1] = linesAlongJ;
        facts.epiDims[2] = 30;
        facts.phaseMin = -4096;
        facts.phaseMax = phaseMax;
        facts.haveMagnitude = true;
        sidecars.phase =
            sidecar("phasediff.json", {{"EchoTime1", 0.00492}, {"EchoTime2", 0.00738}});
        sidecars.epi = sidecar(
            "bold.json", {{"PhaseEncodingDirection", "j-"}, {"EffectiveEchoSpacing", 0.00058}});
    }
    cli::CorrectionSettings operator()() {
        return cli::resolveSettings(flags, sidecars, facts, reporter);
    }
    /// The refusal's message, or "accepted".
    std::string refusal() {
        try {
            (*this)();
        } catch (const cli::InputError& e) {
            return e.what();
        }
        return "accepted";
    }
};

}  // namespace ondrift::testing

#endif
