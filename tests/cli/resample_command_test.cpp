// Field map and functional series on grids of their own: the command resamples the field map
// onto the functional grid by default, whatever the voxel sizes, tilt and storage order, and
// corrects as well as on a shared grid.
#include <gtest/gtest.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"
#include "phantom_run.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::correctPhantom;
using ondrift::testing::PhantomRun;
using ondrift::testing::PhantomStart;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

/// A realistic field on a field map of 48×48×20 voxels of 4×4×4.4 mm; the series along j-.
PhantomOptions fieldMapGrid() {
    PhantomOptions o;
    o.dims = {48, 48, 20};
    o.voxelSize = 4.0f;
    o.voxelSizes = {4.0f, 4.0f, 4.4f};
    o.volumes = 2;
    o.peDirection = 4;
    return o;
}

/// The same field of view on coarser voxels, placed and stored as `variant` says.
PhantomOptions ownGrid(const std::string& variant) {
    PhantomOptions o = fieldMapGrid();
    o.epiDims = {36, 36, 19};
    o.epiVoxelSizes = {5.33f, 5.33f, 4.63f};
    if (variant == "tilted") {
        o.epiTiltDegrees = 11;
        o.epiTiltZDegrees = 6;
    }
    if (variant == "mirrored") o.epiFlipI = true;
    return o;
}

class ResampleCommand : public ::testing::Test {
protected:
    ScratchFolder scratch{"resample"};

    /// Corrects from the true field map in Hz, so that only the transfer between grids counts.
    PhantomRun correct(const Phantom& p, const std::string& name, const std::string& extra = "") {
        return correctPhantom(p, scratch, name, {extra, PhantomStart::FieldMap, true});
    }
};

}  // namespace

TEST_F(ResampleCommand, OwnGridsAreCorrectedAsWellAsASharedGrid) {
    const PhantomRun shared = correct(makePhantom(fieldMapGrid()), "shared");
    ASSERT_EQ(shared.run.exitCode, 0) << shared.run.err;
    const double sharedShare = shared.reduction() / shared.idealReduction();
    EXPECT_EQ(shared.summary()["parameters"]["ResampleFieldmapToFunctional"]["value"], 0);

    for (const char* variant : {"coarser", "tilted", "mirrored"}) {
        SCOPED_TRACE(variant);
        const Phantom p = makePhantom(ownGrid(variant));
        const PhantomRun own = correct(p, variant);
        ASSERT_EQ(own.run.exitCode, 0) << own.run.err;
        std::printf("[ figures  ] %s grid: x%.2f of ideal x%.2f (shared grid: %.0f %% of ideal)\n",
                    variant, own.reduction(), own.idealReduction(), 100 * sharedShare);
        EXPECT_GT(own.reduction() / own.idealReduction(), 0.95 * sharedShare);
        const auto summary = own.summary();
        const auto& parameters = summary["parameters"];
        EXPECT_EQ(parameters["ResampleFieldmapToFunctional"]["value"], 1);
        EXPECT_EQ(parameters["mapFieldmapToFunctional"]["value"], 0);
        EXPECT_EQ(own.run.err.find("sampling lattice"), std::string::npos) << own.run.err;
        if (std::string(variant) == "tilted") {
            // The documented nearest-voxel mapping stays behind --map, and does worse here.
            const PhantomRun mapped = correct(p, "tilted-map", "--map");
            ASSERT_EQ(mapped.run.exitCode, 0) << mapped.run.err;
            EXPECT_NE(mapped.run.err.find("sampling lattice"), std::string::npos);
            EXPECT_EQ(mapped.summary()["parameters"]["ResampleFieldmapToFunctional"]["value"], 0);
            EXPECT_LT(mapped.reduction(), own.reduction());
        }
    }
}

TEST_F(ResampleCommand, CoverAnatomyAndOverlapAreReported) {
    // An anatomical image is not needed for resampling: said, and left out of the picks.
    PhantomOptions withAnat = ownGrid("coarser");
    withAnat.anatomy = true;
    const Phantom a = makePhantom(withAnat);
    const PhantomFiles files = writePhantom(a, scratch / "anat-in", nullptr);
    const CommandRun anat =
        runOndrift("correct -q --from ComputePxshift --phase \"" + files.fieldmap + "\" --epi \"" +
                       files.bold + "\" --anat \"" + files.anatomy + "\" --out \"" +
                       (scratch / "anat-out") + "\"",
                   scratch);
    ASSERT_EQ(anat.exitCode, 0) << anat.err;
    EXPECT_NE(anat.err.find("sub-phantom_T1w.nii.gz: not used"), std::string::npos) << anat.err;

    // Moved by a quarter of the field of view: a warning with the share covered.
    PhantomOptions moved = ownGrid("coarser");
    moved.epiCentreMm = {0, 0, 40};
    const PhantomRun partial = correct(makePhantom(moved), "partial");
    ASSERT_EQ(partial.run.exitCode, 0) << partial.run.err;
    EXPECT_NE(partial.run.err.find("warning: plug-in: the field map covers 5"), std::string::npos)
        << partial.run.err;

    // Nowhere near: refused, nothing written.
    PhantomOptions apart = ownGrid("coarser");
    apart.epiCentreMm = {0, 0, 400};
    const PhantomRun none = correct(makePhantom(apart), "apart");
    EXPECT_EQ(none.run.exitCode, 1);
    EXPECT_NE(none.run.err.find("does not overlap the field of view of the field map"),
              std::string::npos)
        << none.run.err;
    EXPECT_FALSE(fs::exists(scratch.path() / "apart-out" / "ondrift.json"));
}
