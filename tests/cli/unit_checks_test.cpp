// Values that are plausible only in another unit stop the run with a message that names the
// value, where it came from and the likely fix; --force turns the stop into a warning.
#include <gtest/gtest.h>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/settings/correction_settings.h"
#include "resolve_fixture.h"

using namespace ondrift::cli;
using nlohmann::json;

using ondrift::testing::Resolve;

namespace {

// N_PE = 64 and the scanner's full range of phase values.
Resolve typicalInputs() { return Resolve(64, 4095); }

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(UnitChecks, ImplausibleValuesNameThemselvesTheirSourceAndTheFix) {
    struct Case {
        const char* name;
        void (*change)(Resolve&);
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"echo times in ms",
         [](Resolve& r) {
             r.sidecars.phase->fields = {{"EchoTime1", 4.92}, {"EchoTime2", 7.38}};
         },
         {"2460 ms", "phasediff.json", "given in milliseconds"}},
        {"echo-time flag in s",
         [](Resolve& r) {
             r.sidecars.phase.reset();
             r.flags.echoTimeDiffMs = 0.00246;
         },
         {"0.00246 ms", "flag --echo-time-diff", "given in seconds"}},
        {"echo-time flag in us",
         [](Resolve& r) {
             r.sidecars.phase.reset();
             r.flags.echoTimeDiffMs = 2460;
         },
         {"flag --echo-time-diff", "microseconds"}},
        {"echo spacing in ms",
         [](Resolve& r) { r.sidecars.epi->fields["EffectiveEchoSpacing"] = 0.58; },
         {"0.58 s", "bold.json (EffectiveEchoSpacing)", "milliseconds", "0.00058"}},
        {"echo spacing flag in ms",
         [](Resolve& r) { r.flags.effectiveEchoSpacing = 0.58; },
         {"flag --effective-echo-spacing", "milliseconds"}},
        {"readout time in ms",
         [](Resolve& r) {
             r.sidecars.epi->fields.erase("EffectiveEchoSpacing");
             r.sidecars.epi->fields["TotalReadoutTime"] = 36.54;
         },
         {"36.54 s", "TotalReadoutTime", "milliseconds"}},
        {"spacing and readout disagree",
         [](Resolve& r) { r.sidecars.epi->fields["TotalReadoutTime"] = 0.05; },
         {"disagree", "0.00058", "0.05", "N_PE = 64", "--bandwidth-pe"}},
        {"phase narrower than a turn",
         [](Resolve& r) {
             r.facts.phaseMin = -0.4f;
             r.facts.phaseMax = 1.2f;
         },
         {"spans 1.6", "full turn", "--from ComputeB0"}},
        {"scanner phase narrower than its range",
         [](Resolve& r) {
             r.facts.phaseMin = 2000;
             r.facts.phaseMax = 4095;
         },
         {"spans 2095", "--from ComputePxshift"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Resolve r = typicalInputs();
        c.change(r);
        const std::string message = r.refusal();
        for (const auto& part : c.expected) EXPECT_TRUE(has(message, part)) << message;
        EXPECT_TRUE(has(message, "--force")) << message;

        // With --force the same value goes through, and the warning keeps the message.
        r.flags.force = true;
        EXPECT_EQ(r.refusal(), "accepted");
        ASSERT_EQ(r.reporter.warnings().size(), 1u);
        EXPECT_TRUE(has(r.reporter.warnings()[0], c.expected[0])) << r.reporter.warnings()[0];
    }
}

TEST(UnitChecks, PlausibleValuesAtTheLimitsPass) {
    Resolve r = typicalInputs();
    const auto echoTimes = r.sidecars.phase;
    r.sidecars.phase.reset();
    r.flags.echoTimeDiffMs = 0.5;
    EXPECT_EQ(r.refusal(), "accepted");
    r.flags.echoTimeDiffMs = 20.0;
    EXPECT_EQ(r.refusal(), "accepted");
    r.flags.echoTimeDiffMs.reset();
    r.sidecars.phase = echoTimes;
    r.sidecars.epi->fields["EffectiveEchoSpacing"] = 0.005;
    EXPECT_EQ(r.refusal(), "accepted");
    // Both ways of counting the readout: N_PE − 1 echo spacings (BIDS) and N_PE.
    r.sidecars.epi->fields["EffectiveEchoSpacing"] = 0.0005;
    r.sidecars.epi->fields["TotalReadoutTime"] = 0.0005 * 63;
    EXPECT_EQ(r.refusal(), "accepted");
    r.sidecars.epi->fields["TotalReadoutTime"] = 0.0005 * 64;
    EXPECT_EQ(r.refusal(), "accepted");
    // A phase in radians with noise spans the whole turn; one stored as 0..2pi as well.
    r.facts.phaseMin = -3.14f;
    r.facts.phaseMax = 3.14f;
    EXPECT_EQ(r.refusal(), "accepted");
    r.facts.phaseMin = 0.0f;
    r.facts.phaseMax = 6.28f;
    EXPECT_EQ(r.refusal(), "accepted");
    // Later starts take no phase difference: its span is not checked.
    r.facts.phaseMin = 0.0f;
    r.facts.phaseMax = 0.5f;
    r.flags.from = StartStep::ComputePxshift;
    r.facts.haveMagnitude = false;
    r.sidecars.phase.reset();
    EXPECT_EQ(r.refusal(), "accepted");
    EXPECT_TRUE(r.reporter.warnings().empty());
}

TEST(UnitChecks, AutoDirectionTakesTheAxisFromTheSidecar) {
    Resolve r = typicalInputs();
    r.flags.peDirection = "auto";
    CorrectionSettings s = resolveSettings(r.flags, r.sidecars, r.facts, r.reporter);
    EXPECT_TRUE(s.autoSign);
    EXPECT_EQ(s.phaseEncodingDir.value, 4);  // the sidecar's sign as the first guess
    EXPECT_TRUE(has(s.phaseEncodingDir.source, "polarity check"));
    r.sidecars.epi->fields.erase("PhaseEncodingDirection");
    r.sidecars.epi->fields["PhaseEncodingAxis"] = "i";
    s = resolveSettings(r.flags, r.sidecars, r.facts, r.reporter);
    EXPECT_EQ(s.phaseEncodingDir.value, 1);
    r.sidecars.epi->fields.erase("PhaseEncodingAxis");
    EXPECT_TRUE(has(r.refusal(), "--pe-dir auto needs the phase-encoding axis"));
}
