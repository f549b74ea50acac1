// BIDS sidecars and the derivation of the correction parameters from them. The input holds up
// to three sidecars (phase, magnitude, functional image) separated by NUL bytes, after a few
// bytes that choose the flags and the facts about the images.
#include <cstdint>
#include <string>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/settings/correction_settings.h"
#include "fuzz_support.h"

namespace {

std::optional<ondrift::cli::Sidecar> sidecar(const std::string& name, std::string_view text) {
    if (text.empty()) return std::nullopt;
    const auto path = ondrift::fuzz::writeScratch(name, text);
    try {
        auto s = ondrift::cli::readSidecar(path.string());
        // The single-field readers, on every key the sidecar has.
        for (const auto& item : s.fields.items()) {
            try {
                (void)s.number(item.key());
            } catch (const ondrift::cli::InputError&) {
            }
            try {
                if (auto t = s.text(item.key())) (void)ondrift::cli::directionCode(*t, "fuzz");
            } catch (const ondrift::cli::InputError&) {
            }
        }
        return s;
    } catch (const ondrift::cli::InputError&) {
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ondrift::fuzz::Bytes in(data, size);
    const std::uint32_t choice = in.number(0);
    ondrift::cli::InputFacts facts;
    facts.epiDims[0] = 1 + static_cast<int>(in.number(300));
    facts.epiDims[1] = 1 + static_cast<int>(in.number(300));
    facts.epiDims[2] = 1 + static_cast<int>(in.number(300));
    facts.haveMagnitude = choice & 1u;
    facts.haveAnat = choice & 2u;
    facts.gridsDiffer = choice & 4u;
    facts.phaseMin = (choice & 8u) ? 0.0f : -3.14159f;
    facts.phaseMax = (choice & 8u) ? 6.28f : 3.14159f;
    ondrift::cli::CorrectionFlags flags;
    flags.from = static_cast<ondrift::cli::StartStep>((choice >> 4) % 4);
    if (choice & 64u) flags.method = (choice & 128u) ? "multigrid" : "relaxation";
    if (choice & 256u) flags.map = (choice & 512u) != 0;

    ondrift::cli::Sidecars sidecars;
    sidecars.phase = sidecar("phase.json", in.part());
    sidecars.magnitude = sidecar("magnitude.json", in.part());
    sidecars.epi = sidecar("bold.json", in.rest());
    ondrift::cli::Reporter reporter(ondrift::cli::Verbosity::Quiet);
    try {
        const auto settings = ondrift::cli::resolveSettings(flags, sidecars, facts, reporter);
        (void)settings.toJson().dump();
    } catch (const ondrift::cli::InputError&) {
    }
    return 0;
}
