// Reading BIDS data sets: names and their entity order, sidecar inheritance, which field map is
// meant for which run, and the field-map images brought to a phase difference or to Hz.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "bids_test_dataset.h"
#include "cli/base/errors.h"
#include "cli/bids/bids_derivatives.h"
#include "cli/bids/bids_entities.h"
#include "cli/bids/bids_layout.h"
#include "cli/bids/fieldmap_inputs.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using namespace ondrift::testing;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr double kPi = 3.14159265358979;

TEST(BidsNames, DerivativesKeepTheConventionalEntityOrder) {
    const auto bold = parseBidsName("sub-01_ses-2_task-rest_acq-fast_run-3_echo-1_bold.nii.gz");
    ASSERT_TRUE(bold);
    EXPECT_EQ(bold->suffix, "bold");
    EXPECT_EQ(bold->extension, ".nii.gz");
    EXPECT_EQ(derivativeName(*bold, "undistorted", "bold", ".nii.gz").str(),
              "sub-01_ses-2_task-rest_acq-fast_run-3_echo-1_desc-undistorted_bold.nii.gz");
    // A name written in another order comes out in the conventional one; desc closes it.
    const auto odd = parseBidsName("run-1_acq-x_sub-02_desc-raw_task-a_dir-PA_bold.json");
    ASSERT_TRUE(odd);
    EXPECT_EQ(derivativeName(*odd, "undistorted", "bold", ".json").str(),
              "sub-02_task-a_acq-x_dir-PA_run-1_desc-undistorted_bold.json");
    const auto fmap = parseBidsName("sub-01_ses-pre_acq-gre_run-2_phasediff.nii");
    ASSERT_TRUE(fmap);
    EXPECT_EQ(derivativeName(*fmap, "ondrift", "fieldmap", ".nii.gz").str(),
              "sub-01_ses-pre_acq-gre_run-2_desc-ondrift_fieldmap.nii.gz");
    EXPECT_LT(entityRank("space"), entityRank("desc"));
    EXPECT_LT(entityRank("unknownkey"), entityRank("desc"));
    for (const char* bad : {"sub-01__bold.nii", "sub_bold.nii", "sub-01_-x_bold.nii",
                            "sub-01_task-a_task-b_bold.nii", "sub-01_task-a_bo-ld.nii"}) {
        EXPECT_FALSE(parseBidsName(bad)) << bad;
    }
}

TEST(BidsNames, IntendedForPathsAndUris) {
    EXPECT_EQ(intendedForPath("ses-1/func/sub-01_ses-1_task-a_bold.nii.gz", "01"),
              "sub-01/ses-1/func/sub-01_ses-1_task-a_bold.nii.gz");
    EXPECT_EQ(intendedForPath("bids::sub-01/func/sub-01_task-a_bold.nii", "01"),
              "sub-01/func/sub-01_task-a_bold.nii");
    EXPECT_EQ(intendedForPath("func/../func/x_bold.nii", "7"), "sub-7/func/x_bold.nii");
}

class BidsLayout : public ::testing::Test {
protected:
    ScratchFolder scratch{"bids-layout"};
    fs::path root() const { return scratch.path() / "ds"; }
    void touch(const std::string& rel) {
        fs::create_directories((root() / rel).parent_path());
        std::ofstream(root() / rel) << "x";
    }
};

TEST_F(BidsLayout, SidecarsInheritFromTheLevelsAbove) {
    writeJsonFile(root() / "task-rest_bold.json",
                  {{"RepetitionTime", 2.0}, {"PhaseEncodingDirection", "j"}, {"TaskName", "rest"}});
    writeJsonFile(root() / "sub-01" / "ses-1" / "sub-01_ses-1_task-rest_bold.json",
                  {{"PhaseEncodingDirection", "j-"}, {"EffectiveEchoSpacing", 0.0005}});
    writeJsonFile(root() / "sub-01" / "ses-1" / "func" / "sub-01_ses-1_task-rest_run-2_bold.json",
                  {{"RepetitionTime", 1.5}});
    // Neither applies: another task, another suffix.
    writeJsonFile(root() / "task-other_bold.json", {{"RepetitionTime", 9.0}});
    writeJsonFile(root() / "sub-01" / "sub-01_phasediff.json", {{"EchoTime1", 0.004}});
    touch("sub-01/ses-1/func/sub-01_ses-1_task-rest_run-2_bold.nii.gz");
    const Sidecar s = inheritedSidecar(
        root(), root() / "sub-01/ses-1/func/sub-01_ses-1_task-rest_run-2_bold.nii.gz");
    EXPECT_EQ(s.fields["RepetitionTime"], 1.5);
    EXPECT_EQ(s.fields["PhaseEncodingDirection"], "j-");
    EXPECT_EQ(s.fields["EffectiveEchoSpacing"], 0.0005);
    EXPECT_EQ(s.fields["TaskName"], "rest");
    EXPECT_FALSE(s.fields.contains("EchoTime1"));
    EXPECT_EQ(fs::path(s.path).filename(), "sub-01_ses-1_task-rest_run-2_bold.json");

    // A broken JSON file on the way makes that run fail, not the plan.
    std::ofstream(root() / "sub-01" / "ses-1" / "sub-01_ses-1_task-rest_bold.json") << "{";
    const BidsPlan plan = planBidsDataset(root(), {});
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_NE(plan.runs[0].error.find("not valid JSON"), std::string::npos);
}

TEST_F(BidsLayout, FieldMapsFindTheirRuns) {
    for (const char* f :
         {"sub-01/func/sub-01_task-a_run-1_bold.nii.gz", "sub-01/func/sub-01_task-a_run-2_bold.nii",
          "sub-01/func/sub-01_task-b_bold.nii.gz", "sub-01/func/sub-01_task-c_bold.nii.gz",
          "sub-01/fmap/sub-01_acq-1_phasediff.nii.gz", "sub-01/fmap/sub-01_acq-1_magnitude1.nii.gz",
          "sub-01/fmap/sub-01_acq-2_phase1.nii", "sub-01/fmap/sub-01_acq-2_phase2.nii",
          "sub-01/fmap/sub-01_acq-2_magnitude1.nii", "sub-01/fmap/sub-01_acq-3_fieldmap.nii.gz",
          "sub-01/fmap/sub-01_acq-3_magnitude.nii.gz", "sub-01/fmap/sub-01_acq-4_phasediff.nii.gz",
          "sub-01/fmap/sub-01_acq-5_phasediff.nii.gz", "sub-01/fmap/sub-01_dir-AP_epi.nii.gz",
          "sub-01/anat/sub-01_T1w.nii.gz"}) {
        touch(f);
    }
    // Subject-relative path; a .nii named as .nii.gz still finds its run.
    writeJsonFile(root() / "sub-01/fmap/sub-01_acq-1_phasediff.json",
                  {{"IntendedFor",
                    {"func/sub-01_task-a_run-1_bold.nii.gz", "func/sub-01_task-a_run-2_bold.nii.gz",
                     "anat/sub-01_T1w.nii.gz"}}});
    // A BIDS URI, in the second phase image's sidecar only.
    writeJsonFile(root() / "sub-01/fmap/sub-01_acq-2_phase1.json", {{"EchoTime", 0.005}});
    writeJsonFile(
        root() / "sub-01/fmap/sub-01_acq-2_phase2.json",
        {{"EchoTime", 0.007}, {"IntendedFor", "bids::sub-01/func/sub-01_task-b_bold.nii.gz"}});
    // B0FieldIdentifier and B0FieldSource; it wins over IntendedFor of another map.
    writeJsonFile(root() / "sub-01/fmap/sub-01_acq-3_fieldmap.json",
                  {{"Units", "Hz"}, {"B0FieldIdentifier", {"other", "fm3"}}});
    writeJsonFile(root() / "sub-01/func/sub-01_task-a_run-2_bold.json", {{"B0FieldSource", "fm3"}});
    writeJsonFile(root() / "sub-01/fmap/sub-01_acq-4_phasediff.json",
                  {{"IntendedFor", "func/sub-01_task-missing_bold.nii.gz"}});
    writeJsonFile(root() / "sub-01/fmap/sub-01_acq-5_phasediff.json",
                  {{"IntendedFor", "func/sub-01_task-c_bold.nii.gz"}});

    const BidsPlan plan = planBidsDataset(root(), {});
    ASSERT_EQ(plan.runs.size(), 4u);
    auto fmapOf = [&plan](std::size_t r) -> std::string {
        const int f = plan.runs[r].fieldMap;
        return f < 0 ? "" : plan.fieldMaps[static_cast<std::size_t>(f)].phase.relative;
    };
    EXPECT_EQ(fmapOf(0), "sub-01/fmap/sub-01_acq-1_phasediff.nii.gz");
    EXPECT_EQ(plan.runs[0].matchedBy, "IntendedFor");
    EXPECT_EQ(fmapOf(1), "sub-01/fmap/sub-01_acq-3_fieldmap.nii.gz");
    EXPECT_EQ(plan.runs[1].matchedBy, "B0FieldSource");
    EXPECT_NE(plan.runs[1].note.find("several field maps"), std::string::npos);
    EXPECT_EQ(fmapOf(2), "sub-01/fmap/sub-01_acq-2_phase1.nii");
    EXPECT_EQ(plan.fieldMaps[static_cast<std::size_t>(plan.runs[2].fieldMap)].kind,
              FieldMapKind::TwoPhases);
    // acq-5 has no magnitude: the run is meant to be corrected but cannot be.
    EXPECT_EQ(fmapOf(3), "sub-01/fmap/sub-01_acq-5_phasediff.nii.gz");
    EXPECT_NE(plan.runs[3].error.find("no magnitude1"), std::string::npos);

    std::string notes;
    for (const auto& n : plan.notes) notes += n + "\n";
    EXPECT_NE(notes.find("sub-01_task-missing_bold.nii.gz, which is not in the data set"),
              std::string::npos);
    EXPECT_NE(notes.find("acq-4_phasediff.nii.gz: this field map is intended for no run"),
              std::string::npos);
    // An epi image is a field map now (one of a reverse phase-encoding pair), here meant for none.
    EXPECT_NE(notes.find("dir-AP_epi.nii.gz: this field map is intended for no run"),
              std::string::npos);

    // Filters, and a participant that does not exist.
    BidsFilter onlyB;
    onlyB.tasks = {"b"};
    EXPECT_EQ(planBidsDataset(root(), onlyB).runs.size(), 1u);
    BidsFilter missing;
    missing.participants = {"99"};
    EXPECT_THROW(planBidsDataset(root(), missing), InputError);
    EXPECT_THROW(planBidsDataset(scratch.path() / "nothing", {}), InputError);
}

TEST_F(BidsLayout, RunWithoutFieldMapIsSkippedWithANote) {
    touch("sub-01/ses-1/func/sub-01_ses-1_task-a_bold.nii");
    const BidsPlan plan = planBidsDataset(root(), {});
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_EQ(plan.runs[0].fieldMap, -1);
    EXPECT_TRUE(plan.runs[0].error.empty());
    EXPECT_NE(plan.runs[0].note.find("no field map"), std::string::npos);
}

TEST(FieldMapInputs, PhaseDifferenceAcrossTheWrap) {
    // Two echoes whose phases wrap at different places; the difference must be the true one.
    ScratchFolder scratch("phase-difference");
    const NiftiGeometry g =
        makeGeometry({5, 1, 1, 1}, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    const std::vector<double> first = {3.0, -3.0, 0.5, 6.0, 1.0};
    const std::vector<double> delta = {0.5, -0.5, 2.9, -2.9, 0.0};
    NiftiImage a, b;
    a.geometry = b.geometry = g;
    for (std::size_t i = 0; i < first.size(); ++i) {
        auto wrap = [](double v) { return v - 2 * kPi * std::floor((v + kPi) / (2 * kPi)); };
        a.data.push_back(static_cast<float>(wrap(first[i])));
        b.data.push_back(static_cast<float>(wrap(first[i] + delta[i])));
    }
    auto d = phaseDifference(a, b);
    for (std::size_t i = 0; i < d.size(); ++i) EXPECT_NEAR(d[i], delta[i], 1e-5) << i;

    // The same phases in scanner units 0…4095: one scale for both images.
    NiftiImage ua = a, ub = b;
    for (auto* img : {&ua, &ub}) {
        for (float& v : img->data) {
            double r = v < 0 ? v + 2 * kPi : v;
            v = static_cast<float>(r / (2 * kPi) * 4095.0);
        }
    }
    ua.data[4] = 0;  // the full range is present, as in real data
    ub.data[4] = 4095;
    d = phaseDifference(ua, ub);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(d[i], delta[i], 2e-3) << i;

    NiftiImage other = b;
    other.geometry = makeGeometry({4, 1, 1, 1}, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    EXPECT_THROW(phaseDifference(a, other), InputError);
}

TEST(FieldMapInputs, UnitsAndPhaseChecks) {
    EXPECT_DOUBLE_EQ(hertzPerUnit("Hz", "x"), 1.0);
    EXPECT_NEAR(hertzPerUnit("rad/s", "x") * 2 * kPi, 1.0, 1e-12);
    EXPECT_NEAR(hertzPerUnit("T", "x") * 3e-6, 127.73, 0.01);  // 3 µT at 3 T ≈ 1 ppm
    EXPECT_THROW(hertzPerUnit("ppm", "x"), InputError);

    const Phantom p = makePhantom(testPhantomOptions(3));
    NiftiImage phase, magnitude;
    phase.geometry = magnitude.geometry = p.geometry;
    phase.data = p.phase;
    magnitude.data = p.magnitude;
    EXPECT_NO_THROW(checkLooksLikePhase(phase, &magnitude));
    NiftiImage scaledMagnitude = magnitude;
    for (float& v : scaledMagnitude.data) v = v * 0.5f + 3.0f;
    EXPECT_THROW(checkLooksLikePhase(scaledMagnitude, &magnitude), InputError);
    NiftiImage constant = phase;
    std::fill(constant.data.begin(), constant.data.end(), 1.0f);
    EXPECT_THROW(checkLooksLikePhase(constant, nullptr), InputError);
}

TEST(BidsDerivatives, DescriptionAndSidecars) {
    ScratchFolder scratch("bids-description");
    writeJsonFile(scratch.path() / "raw" / "dataset_description.json",
                  {{"Name", "x"}, {"BIDSVersion", "1.9.0"}, {"DatasetDOI", "doi:10.1/x"}});
    const json d = datasetDescription(scratch.path() / "raw");
    EXPECT_EQ(d["DatasetType"], "derivative");
    EXPECT_EQ(d["GeneratedBy"][0]["Name"], "ondrift");
    EXPECT_TRUE(d["GeneratedBy"][0].contains("Version"));
    EXPECT_EQ(d["SourceDatasets"][0]["DOI"], "doi:10.1/x");
    EXPECT_EQ(d["DatasetLinks"]["raw"], d["SourceDatasets"][0]["URL"]);

    BoldRun run;
    run.bold.relative = "sub-01/func/sub-01_task-a_bold.nii.gz";
    run.bold.sidecar.fields = {{"RepetitionTime", 2.0}, {"PhaseEncodingDirection", "j-"}};
    run.matchedBy = "IntendedFor";
    FieldMapSet set;
    set.phase.relative = "sub-01/fmap/sub-01_phasediff.nii.gz";
    set.magnitude = BidsFile{};
    set.magnitude->relative = "sub-01/fmap/sub-01_magnitude1.nii.gz";
    const json summary = {{"parameters", {{"BandWidthPE", {{"value", 25.0}, {"source", "x"}}}}}};
    const json s = correctedSidecar(run, set, summary);
    EXPECT_EQ(s["RepetitionTime"], 2.0);
    EXPECT_EQ(s["Sources"].size(), 3u);
    EXPECT_EQ(s["Sources"][0], "bids:raw:sub-01/func/sub-01_task-a_bold.nii.gz");
    EXPECT_EQ(s["DistortionCorrection"]["Parameters"]["BandWidthPE"], 25.0);
    BidsPlan plan;
    plan.fieldMaps = {set};
    run.fieldMap = 0;
    BoldRun other = run;
    other.fieldMap = -1;
    other.bold.relative = "sub-01/func/sub-01_task-b_bold.nii.gz";
    plan.runs = {run, other};
    const json fm = fieldMapSidecar(plan, plan.fieldMaps[0]);
    EXPECT_EQ(fm["Units"], "Hz");
    EXPECT_EQ(fm["IntendedFor"], json::array({"bids:raw:sub-01/func/sub-01_task-a_bold.nii.gz"}));
    EXPECT_EQ(fm["B0FieldIdentifier"], "ondrift_sub_01_phasediff");
    EXPECT_EQ(fm["RawSources"], fm["Sources"]);
    plan.fieldMaps[0].identifiers = {"pepolar_fmap0"};
    EXPECT_EQ(fieldMapSidecar(plan, plan.fieldMaps[0])["B0FieldIdentifier"], "pepolar_fmap0");
    EXPECT_EQ(shiftMapSidecar(run, set, summary)["PhaseEncodingDirection"], "j-");
}

}  // namespace
