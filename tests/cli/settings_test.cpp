// Parameter resolution: flags over sidecars over defaults, the bandwidth relations, and every
// missing or contradictory combination refused.
#include <gtest/gtest.h>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/settings/correction_settings.h"
#include "resolve_fixture.h"

using namespace ondrift::cli;
using nlohmann::json;

using ondrift::testing::Resolve;
using ondrift::testing::sidecar;

TEST(Settings, SidecarsGiveTheAcquisitionParameters) {
    Resolve r;
    const CorrectionSettings s = r();
    EXPECT_NEAR(s.echoTimeDiffMs.value, 2.46, 1e-9);
    EXPECT_NE(s.echoTimeDiffMs.source.find("phasediff.json"), std::string::npos);
    EXPECT_EQ(s.phaseEncodingDir.value, 4);
    // N_PE is the size along j: 72 voxels.
    EXPECT_NEAR(s.bandWidthPE.value, 1.0 / (0.00058 * 72), 1e-9);
    EXPECT_NE(s.bandWidthPE.source.find("N_PE = 72"), std::string::npos);
    EXPECT_EQ(s.unwrappingMethod.value, 1);
    EXPECT_EQ(s.phaseToRadians.value, 1);
    EXPECT_EQ(s.maskLaplacian.value, 1);
    EXPECT_EQ(s.mapToFunctional.value, 0);
    EXPECT_TRUE(r.reporter.warnings().empty());
    const json j = s.toJson();
    EXPECT_EQ(j["PhaseEncodingDir"]["value"], 4);
    EXPECT_EQ(j["Procedure"]["value"], "Unwrap");
}

TEST(Settings, BandwidthRelations) {
    EXPECT_NEAR(bandwidthFromEchoSpacing(0.0005, 64), 31.25, 1e-12);
    // TotalReadoutTime = EffectiveEchoSpacing · (N − 1) gives the same bandwidth.
    EXPECT_NEAR(bandwidthFromReadoutTime(0.0005 * 63, 64), 31.25, 1e-9);
    Resolve r;
    r.sidecars.epi =
        sidecar("bold.json", {{"PhaseEncodingDirection", "i"}, {"TotalReadoutTime", 0.0315}});
    EXPECT_NEAR(r().bandWidthPE.value, 31.25, 1e-9);
    r.sidecars.epi->fields["EffectiveEchoSpacing"] = 0.0005;  // consistent with the readout time
    EXPECT_NEAR(r().bandWidthPE.value, 31.25, 1e-9);
    r.sidecars.epi->fields["ReconMatrixPE"] = 128;
    r();
    ASSERT_EQ(r.reporter.warnings().size(), 1u);
    EXPECT_NE(r.reporter.warnings()[0].find("ReconMatrixPE"), std::string::npos);
}

TEST(Settings, DirectionCodes) {
    const char* bids[] = {"i", "i-", "j", "j-", "k", "k-"};
    for (int c = 1; c <= 6; ++c) {
        EXPECT_EQ(directionCode(bids[c - 1], "x"), c);
        EXPECT_EQ(directionCode(std::to_string(c), "x"), c);
        EXPECT_EQ(bidsDirection(c), bids[c - 1]);
        EXPECT_EQ(directionAxis(c), (c - 1) / 2);
    }
    for (const char* bad : {"", "y", "j+", "-j", "0", "7", "J"}) {
        EXPECT_THROW(directionCode(bad, "x"), InputError) << bad;
    }
}

TEST(Settings, FlagsOverrideSidecarsWithAWarning) {
    Resolve r;
    r.flags.echoTimeDiffMs = 2.0;
    r.flags.peDirection = "j";
    r.flags.totalReadoutTime = 0.071;
    r.flags.method = "relaxation";
    r.flags.vcycles = 3;
    const CorrectionSettings s = r();
    EXPECT_EQ(s.echoTimeDiffMs.value, 2.0);
    EXPECT_EQ(s.echoTimeDiffMs.source, "flag --echo-time-diff");
    EXPECT_EQ(s.phaseEncodingDir.value, 3);
    EXPECT_NEAR(s.bandWidthPE.value, 71.0 / (0.071 * 72), 1e-9);
    EXPECT_EQ(s.unwrappingMethod.value, 0);
    // Echo time and direction overridden, --vcycles unused by relaxation.
    EXPECT_EQ(r.reporter.warnings().size(), 3u);
}

TEST(Settings, LaterStartsNeedFewerParameters) {
    Resolve r;
    r.facts.haveMagnitude = false;
    r.sidecars.phase.reset();
    r.flags.from = StartStep::ComputePxshift;
    const CorrectionSettings s = r();
    EXPECT_EQ(s.echoTimeDiffMs.source, "not used");
    r.flags.from = StartStep::Undistort;
    r.sidecars.epi = sidecar("bold.json", {{"PhaseEncodingDirection", "k"}});
    EXPECT_EQ(r().bandWidthPE.source, "not used");
    r.facts.phaseMin = -1.0f;
    r.facts.phaseMax = 3.0f;
    EXPECT_EQ(r().phaseToRadians.value, 0);
}

TEST(Settings, MissingAndContradictoryParametersAreRefused) {
    struct Case {
        const char* expected;
        void (*change)(Resolve&);
    };
    const Case cases[] = {
        {"missing --magnitude", [](Resolve& r) { r.facts.haveMagnitude = false; }},
        {"missing echo-time difference", [](Resolve& r) { r.sidecars.phase.reset(); }},
        {"only one of EchoTime1", [](Resolve& r) { r.sidecars.phase->fields.erase("EchoTime2"); }},
        {"EchoTime2 must be larger",
         [](Resolve& r) { r.sidecars.phase->fields["EchoTime2"] = 0.004; }},
        {"\"EchoTime1\" is not a number",
         [](Resolve& r) { r.sidecars.phase->fields["EchoTime1"] = "5ms"; }},
        {"missing phase-encoding direction",
         [](Resolve& r) { r.sidecars.epi->fields.erase("PhaseEncodingDirection"); }},
        {"PhaseEncodingAxis gives no polarity",
         [](Resolve& r) {
             r.sidecars.epi->fields.erase("PhaseEncodingDirection");
             r.sidecars.epi->fields["PhaseEncodingAxis"] = "j";
         }},
        {"missing bandwidth",
         [](Resolve& r) { r.sidecars.epi->fields.erase("EffectiveEchoSpacing"); }},
        {"disagree", [](Resolve& r) { r.sidecars.epi->fields["TotalReadoutTime"] = 0.05; }},
        {"must be positive",
         [](Resolve& r) { r.sidecars.epi->fields["EffectiveEchoSpacing"] = -0.0005; }},
        {"give only one of",
         [](Resolve& r) {
             r.flags.bandWidthPE = 20;
             r.flags.totalReadoutTime = 0.05;
         }},
        {"--bandwidth-pe must lie", [](Resolve& r) { r.flags.bandWidthPE = 0; }},
        {"--echo-time-diff must lie", [](Resolve& r) { r.flags.echoTimeDiffMs = -2.46; }},
        {"--map needs an anatomical image", [](Resolve& r) { r.flags.map = true; }},
        {"contradict",
         [](Resolve& r) {
             r.flags.map = false;
             r.facts.haveAnat = true;
         }},
        {"--resample and --map contradict",
         [](Resolve& r) {
             r.flags.resample = true;
             r.flags.map = true;
             r.facts.gridsDiffer = true;
         }},
        {"cannot be combined with --resample",
         [](Resolve& r) {
             r.flags.resample = true;
             r.flags.documentedChain = true;
         }},
        {"--resample and --no-map contradict",
         [](Resolve& r) {
             r.flags.resample = true;
             r.flags.map = false;
         }},
        {"--vcycles must lie", [](Resolve& r) { r.flags.vcycles = -1; }},
        {"--method must be", [](Resolve& r) { r.flags.method = "Multigrid"; }},
    };
    for (const Case& c : cases) {
        Resolve r;
        c.change(r);
        EXPECT_NE(r.refusal().find(c.expected), std::string::npos)
            << c.expected << ": " << r.refusal();
    }
    {
        Resolve r;
        r.sidecars.phase = sidecar("fieldmap.json", {{"Units", "Hz"}});
        EXPECT_NE(r.refusal().find("give --from ComputePxshift"), std::string::npos) << r.refusal();
    }
    EXPECT_THROW(parseStartStep("unwrap"), InputError);
    EXPECT_EQ(parseStartStep("ComputeB0"), StartStep::ComputeB0);
}

TEST(Settings, FieldMapsAndPhaseUnitsDecideTheScaling) {
    Resolve r;
    r.sidecars.phase = sidecar("fieldmap.json", {{"Units", "rad/s"}});
    r.flags.from = StartStep::ComputePxshift;
    EXPECT_EQ(r().applyTwoPi.value, 1);
    r.flags.applyTwoPi = false;
    EXPECT_EQ(r().applyTwoPi.value, 0);

    Resolve units;
    units.facts.phaseMin = -3.1415f;
    units.facts.phaseMax = 3.1415f;
    EXPECT_EQ(units().phaseToRadians.value, 0);  // radians already
    units.facts.phaseMin = 0.0f;
    units.facts.phaseMax = 6.28f;
    EXPECT_EQ(units().phaseToRadians.value, 0);  // 0..2pi: wrapped on import, not rescaled
    EXPECT_TRUE(isZeroToTwoPi(0.0f, 6.28f));
    units.facts.phaseMax = 4095.0f;
    EXPECT_EQ(units().phaseToRadians.value, 1);  // scanner units
    EXPECT_FALSE(isZeroToTwoPi(0.0f, 4095.0f));
    EXPECT_FALSE(isZeroToTwoPi(-3.0f, 3.0f));
}

TEST(Settings, GridsThatDifferAreResampledUnlessTheMappingIsAskedFor) {
    struct Case {
        const char* what;
        bool gridsDiffer, anat;
        std::optional<bool> map, resample;
        int expectResample, expectMap;
        const char* source;
    };
    const Case cases[] = {
        {"shared grid", false, false, {}, {}, 0, 0, "default"},
        {"grids differ", true, false, {}, {}, 1, 0, "derived: the field map and the functional"},
        {"grids differ, with --anat", true, true, {}, {}, 1, 0, "derived"},
        {"shared grid, with --anat", false, true, {}, {}, 0, 1, "default"},
        {"--map: the documented mapping", true, false, true, {}, 0, 1, "flag --map"},
        {"--map with --anat", true, true, true, {}, 0, 1, "flag --map"},
        {"--no-resample: the mapping", true, false, {}, false, 0, 1, "flag --no-resample"},
        {"--no-map: voxel by voxel", true, false, false, {}, 0, 0, "flag --no-map"},
        {"--resample on a shared grid", false, false, {}, true, 1, 0, "flag --resample"},
    };
    {
        // The host's chain as documented: grids that differ go through the mapping.
        Resolve r;
        r.facts.gridsDiffer = true;
        r.flags.documentedChain = true;
        const CorrectionSettings s = r();
        EXPECT_EQ(s.resampleToFunctional.value, 0);
        EXPECT_EQ(s.mapToFunctional.value, 1);
        EXPECT_FALSE(s.toJson().contains("ResampleFieldmapToFunctional"));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Resolve r;
        r.facts.gridsDiffer = c.gridsDiffer;
        r.facts.haveAnat = c.anat;
        r.flags.map = c.map;
        r.flags.resample = c.resample;
        const CorrectionSettings s = r();
        EXPECT_EQ(s.resampleToFunctional.value, c.expectResample);
        EXPECT_EQ(s.mapToFunctional.value, c.expectMap);
        EXPECT_EQ(s.resampleToFunctional.source.rfind(c.source, 0), 0u)
            << s.resampleToFunctional.source;
        const json j = s.toJson();
        EXPECT_EQ(j["ResampleFieldmapToFunctional"]["value"], c.expectResample);
    }
}

TEST(Settings, ConditioningNamesGiveThePluginsCodes) {
    // The codes the plug-in reads, spelled out here rather than taken from the shared table.
    const std::pair<const char*, int> names[] = {
        {"documented", 0}, {"box", 1}, {"range", 2}, {"none", 3}, {"quadratic", 4}};
    for (const auto& [name, code] : names) {
        Resolve r;
        r.flags.conditioning = name;
        const CorrectionSettings s = r();
        EXPECT_EQ(s.fieldMapConditioning.value, code) << name;
        EXPECT_EQ(s.fieldMapConditioning.source, "flag --field-map-conditioning");
    }
    Resolve r;
    r.flags.conditioning = "smooth";
    try {
        r();
        ADD_FAILURE() << "an unknown conditioning was accepted";
    } catch (const InputError& e) {
        EXPECT_STREQ(e.what(),
                     "--field-map-conditioning must be documented, box, range, none or "
                     "quadratic, not \"smooth\"");
    }
}
