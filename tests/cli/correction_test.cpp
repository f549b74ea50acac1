// The whole correction through the command on phantoms with a known field: the corrected
// series must come closer to the truth, for every phase-encoding direction and orientation,
// and a wrong sign convention must make things worse.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "cli/bids/bids_sidecar.h"
#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"
#include "phantom_run.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::correctPhantom;
using ondrift::testing::correctPhantomFiles;
using ondrift::testing::kPhantomCorrected;
using ondrift::testing::PhantomRun;
using ondrift::testing::PhantomStart;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

class Correction : public ::testing::Test {
protected:
    ScratchFolder scratch{"correction"};

    PhantomRun correct(const Phantom& phantom, const std::string& name,
                       const std::string& extra = "", bool fromFieldMap = false) {
        return correctPhantom(
            phantom, scratch, name,
            {extra, fromFieldMap ? PhantomStart::FieldMap : PhantomStart::Phase, false});
    }
};

PhantomOptions small(int pe, std::array<int, 3> dims) {
    PhantomOptions o;
    o.dims = dims;
    o.volumes = 2;
    o.peDirection = pe;
    return o;
}

}  // namespace

TEST_F(Correction, EveryDirectionAndOrientationComesCloserToTheTruth) {
    struct Case {
        const char* name;
        PhantomOptions options;
    };
    PhantomOptions tilted = small(4, {40, 40, 12});
    tilted.tiltDegrees = 20;
    tilted.flipI = true;
    PhantomOptions alongK = small(6, {32, 32, 28});
    alongK.effectiveEchoSpacing = 0.0008;  // a long readout, so that the shifts are felt
    const Case cases[] = {{"j", small(3, {40, 40, 12})},
                          {"j-tilted-flipped", tilted},
                          {"i", small(1, {40, 36, 12})},
                          {"k-", alongK}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Phantom phantom = makePhantom(c.options);
        const PhantomRun r = correct(phantom, c.name);
        ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
        EXPECT_LT(r.after * 2.0, r.before) << "before " << r.before << ", after " << r.after;

        // The orientation of the input travels to every NIfTI output.
        const NiftiImage out = readNiftiHeader((r.folder / kPhantomCorrected).string());
        EXPECT_TRUE(out.geometry.sameGrid(phantom.seriesGeometry));
        EXPECT_EQ(out.geometry.nt(), c.options.volumes);
    }
}

TEST_F(Correction, TheOppositeSignMakesTheSeriesWorse) {
    // Data distorted toward -j, corrected as if it were +j: the sidecar is overridden on purpose.
    for (int pe : {4, 1}) {
        SCOPED_TRACE(pe);
        const Phantom phantom = makePhantom(small(pe, {40, 40, 12}));
        const std::string name = "sign" + std::to_string(pe);
        const PhantomRun right = correct(phantom, name);
        const PhantomRun wrong = correct(
            phantom, name + "-wrong", "--pe-dir " + bidsDirection(pe % 2 == 1 ? pe + 1 : pe - 1));
        ASSERT_EQ(right.run.exitCode, 0) << right.run.err;
        ASSERT_EQ(wrong.run.exitCode, 0) << wrong.run.err;
        EXPECT_NE(wrong.run.err.find("overrides PhaseEncodingDirection"), std::string::npos)
            << wrong.run.err;
        EXPECT_LT(right.after * 2.0, right.before);
        EXPECT_GT(wrong.after, right.before) << "a wrong sign must not look like a correction";
    }
}

TEST_F(Correction, AGivenFieldMapInHertzIsUsedAsItIs) {
    const Phantom phantom = makePhantom(small(3, {40, 40, 12}));
    const PhantomRun r = correct(phantom, "fieldmap", "", true);
    ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
    // Without unwrapping, masking and smoothing only interpolation error is left.
    EXPECT_LT(r.after * 4, r.before) << "before " << r.before << ", after " << r.after;
}

TEST_F(Correction, TheSummaryTellsWhereEveryParameterCameFrom) {
    const Phantom phantom = makePhantom(small(3, {32, 32, 10}));
    const PhantomRun r =
        correct(phantom, "summary", "--echo-time-diff 15 --vcycles 3 --keep-projects");
    ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
    const auto summary = r.summary();
    const auto& p = summary["parameters"];
    EXPECT_EQ(p["EchoTimeDiff"]["source"], "flag --echo-time-diff");
    EXPECT_NEAR(p["EchoTimeDiff"]["value"].get<double>(), 15.0, 1e-9);
    EXPECT_NEAR(p["BandWidthPE"]["value"].get<double>(), phantom.bandwidthPE(), 1e-6);
    EXPECT_NE(p["BandWidthPE"]["source"].get<std::string>().find("EffectiveEchoSpacing"),
              std::string::npos);
    EXPECT_EQ(p["PhaseEncodingDir"]["value"], 3);
    EXPECT_EQ(p["NrOfVCycles"]["source"], "flag --vcycles");
    EXPECT_EQ(p["PhaseToRadians"]["value"], 1);
    EXPECT_EQ(summary["result"]["corrected"], "sub-phantom_task-rest_bold_undistort.nii.gz");
    EXPECT_FALSE(summary["log"].empty());
    // With --keep-projects every project saved has its STC file and its NIfTI copy in the
    // folder; nothing is staged.
    for (const auto& o : summary["outputs"]) {
        for (const char* key : {"project", "stc", "nifti"}) {
            EXPECT_TRUE(fs::exists(r.folder / o[key].get<std::string>())) << o[key];
        }
    }
    for (const auto& a : summary["amr"]) EXPECT_TRUE(fs::exists(r.folder / a.get<std::string>()));
    for (const auto& entry : fs::directory_iterator(r.folder)) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
    // A second run into the same folder is refused unless asked to replace the results.
    const std::string again =
        "correct -q --phase \"" + (scratch / "summary-in/sub-phantom_phasediff.nii.gz") +
        "\" --magnitude \"" + (scratch / "summary-in/sub-phantom_magnitude1.nii.gz") +
        "\" --epi \"" + (scratch / "summary-in/sub-phantom_task-rest_bold.nii.gz") + "\" --out \"" +
        r.folder.string() + "\"";
    EXPECT_EQ(runOndrift(again, scratch).exitCode, 2);
    EXPECT_EQ(runOndrift(again + " --overwrite", scratch).exitCode, 0);
}

TEST_F(Correction, AFunctionalGridOfItsOwnIsReachedThroughTheAnatomicalImage) {
    PhantomOptions o = small(3, {40, 40, 14});
    o.epiDims = {36, 34, 11};
    o.epiVoxelSize = 3.3f;
    o.epiTiltDegrees = 8;
    o.epiCentreMm = {2.0, -3.0, 1.5};
    o.anatomy = true;
    const Phantom phantom = makePhantom(o);
    const PhantomFiles files = writePhantom(phantom, scratch / "mapped-in", nullptr);
    // Kept voxel by voxel, grids of other sizes cannot be related.
    const CommandRun refused =
        correctPhantomFiles(phantom, files, scratch, "mapped", {"--no-map"}).run;
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("--no-map needs the same grid"), std::string::npos) << refused.err;

    // The anatomical image carries the shift map only when the mapping is asked for (by
    // default grids that differ are resampled instead).
    const PhantomRun mapped = correctPhantomFiles(phantom, files, scratch, "mapped",
                                                  {"--map --anat \"" + files.anatomy + "\""});
    ASSERT_EQ(mapped.run.exitCode, 0) << mapped.run.err;
    EXPECT_EQ(mapped.run.err.find("coarser"), std::string::npos) << mapped.run.err;
    // An anatomical image coarser than the functional voxels leaves holes in the mapped map.
    PhantomOptions fine = o;
    fine.epiVoxelSize = 2.0f;
    fine.epiDims = {50, 50, 16};
    const Phantom finePhantom = makePhantom(fine);
    const PhantomFiles fineFiles = writePhantom(finePhantom, scratch / "mapped-fine-in", nullptr);
    const CommandRun coarse = correctPhantomFiles(finePhantom, fineFiles, scratch, "mapped-fine",
                                                  {"--anat \"" + fineFiles.magnitude + "\" --map"})
                                  .run;
    EXPECT_EQ(coarse.exitCode, 0) << coarse.err;
    EXPECT_NE(coarse.err.find("coarser"), std::string::npos) << coarse.err;
    EXPECT_TRUE(fs::exists(mapped.folder / "sub-phantom_task-rest_bold_pixshiftInEPIres.nii.gz"));
    EXPECT_TRUE(mapped.corrected.geometry.sameGrid(phantom.seriesGeometry));
    EXPECT_LT(mapped.after * 2.0, mapped.before)
        << "before " << mapped.before << ", after " << mapped.after;

    // Without an anatomical image the host's own sampling lattice relates the grids.
    const PhantomRun own =
        correctPhantomFiles(phantom, files, scratch, "mapped-lattice", {"--map"});
    ASSERT_EQ(own.run.exitCode, 0) << own.run.err;
    EXPECT_NE(own.run.err.find("sampling lattice"), std::string::npos) << own.run.err;
    EXPECT_LT(own.after * 2.0, mapped.before)
        << "before " << mapped.before << ", after " << own.after;
}

TEST_F(Correction, PhaseInRadiansEitherWayRoundIsTakenAsItIs) {
    const Phantom phantom = makePhantom(small(3, {40, 40, 12}));
    for (const bool zeroToTwoPi : {false, true}) {
        SCOPED_TRACE(zeroToTwoPi);
        const std::string name = zeroToTwoPi ? "radians-positive" : "radians";
        const PhantomFiles files = writePhantom(phantom, scratch / (name + "-in"), nullptr);
        std::vector<float> phase = phantom.phase;
        if (zeroToTwoPi) {
            for (float& v : phase) v = v < 0 ? v + 6.2831853f : v;
        }
        writeNifti(files.phase, phantom.geometry, 1, phase, nullptr);
        const PhantomRun r = correctPhantomFiles(phantom, files, scratch, name);
        ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
        EXPECT_EQ(r.run.err.find("wrapped into -pi..pi") != std::string::npos, zeroToTwoPi)
            << r.run.err;
        EXPECT_EQ(r.summary()["parameters"]["PhaseToRadians"]["value"], 0);
        EXPECT_LT(r.after * 2.0, r.before) << "before " << r.before << ", after " << r.after;
    }
}
