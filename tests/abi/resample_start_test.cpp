// "Start" with ResampleFieldmapToFunctional: the field map (or pixel shift map) is sampled onto
// the EPI's grid in scanner coordinates, whatever the two stacks' orientations and slice orders.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

#include "host/workspace.h"
#include "plugin_fixture.h"
#include "tests/mapping_scene.h"

using namespace mapping_scene;
using ondrift::standin::SaveRecord;
using ondrift::standin::workspace;

namespace {

struct Accuracy {
    double maxInside = 0;  ///< largest error between the field map's voxel centres
    double maxEdge = 0;    ///< in the outer half voxel of its view, where the edge value holds
    long inside = 0;
    long outside = 0;
    bool allFinite = true;
    double maxOutsideJump = 0;  ///< extrapolated values: largest distance from the field's range
};

class ResampleThroughStart : public WorkspaceTest {
protected:
    SceneDocuments prepare(const Scene& scene) {
        workspace().clear();
        workspace().outputDirectory = dir;
        session().clearRecords();
        params().setInt("ResampleFieldmapToFunctional", 1);
        // Has no effect beside resampling: no anatomical project is asked for.
        params().setInt("mapFieldmapToFunctional", 1);
        params().setFloat("BandWidthPE", 32.0f);
        params().setFloat("EchoTimeDiff", 2.46f);
        params().setInt("PhaseEncodingDir", 2);
        return addScene(workspace(), scene, dir);
    }

    const SaveRecord* savedAs(const std::string& name) const {
        const SaveRecord* found = nullptr;
        for (const SaveRecord& s : workspace().saves())
            if (s.fmrFileName == name && s.result > 0) found = &s;
        return found;
    }

    bool loggedPart(const std::string& part) {
        for (const auto& e : log())
            if (e.find(part) != std::string::npos) return true;
        return false;
    }

    /// The saved map against the field at every EPI voxel centre.
    static Accuracy measure(const Scene& s, const std::vector<double>& values) {
        Accuracy a;
        std::size_t n = 0;
        for (int k = 0; k < s.epi.slices; ++k)
            for (int j = 0; j < s.epi.rows; ++j)
                for (int i = 0; i < s.epi.columns; ++i, ++n) {
                    const double v = values[n];
                    a.allFinite = a.allFinite && std::isfinite(v);
                    const auto p = ondrift::standin::voxelCentre(s.epi, i, j, k);
                    const double error = std::fabs(v - field(p));
                    if (wellInside(s.start, p, s.start.voxelSizeX / 2)) {
                        a.maxInside = std::max(a.maxInside, error);
                        ++a.inside;
                    } else if (wellInside(s.start, p, 0.0)) {
                        a.maxEdge = std::max(a.maxEdge, error);
                    } else {
                        // The scene's field lies within 0.7…5.3 voxels.
                        a.maxOutsideJump = std::max({a.maxOutsideJump, 0.7 - v, v - 5.3});
                        ++a.outside;
                    }
                }
        return a;
    }
};

// Trilinear sampling of the scene's field on 3.5 mm voxels: the curvature term stays below
// 0.01 voxel, far under the 0.186 voxel of the two nearest-neighbour steps of the mapping.
constexpr double kTrilinearBound = 0.01;

}  // namespace

TEST_F(ResampleThroughStart, PixelShiftMapsReachEveryEpiVoxelInEveryOrientation) {
    for (Acquisition a : {Acquisition::TransversalAscending, Acquisition::TransversalDescending,
                          Acquisition::Sagittal, Acquisition::OppositeOrders}) {
        SCOPED_TRACE(nameOf(a));
        const Scene scene = makeScene(a);
        const SceneDocuments d = prepare(scene);
        params().setString("Procedure", "Undistort");
        for (int index : {d.start, d.epi}) answer(index);
        run("Start");
        EXPECT_EQ(errorNr(), 0) << errorMsg();
        ASSERT_EQ(session().dialogs.size(), 2u);  // start and EPI; no anatomical project
        EXPECT_NE(session().dialogs[1].text.find("Please select the EPI file"), std::string::npos);
        EXPECT_TRUE(logged("Resample pixel shift map onto the functional grid..."));
        // The field map's 224 mm do not cover the tilted 240 mm of the EPI everywhere.
        EXPECT_TRUE(loggedPart("Warning: the pixel shift map covers "));
        const SaveRecord* save = savedAs("epi_pixshiftInEPIres.fmr");
        ASSERT_NE(save, nullptr);
        const Accuracy acc = measure(scene, save->volumeValues(0));
        std::printf("[ figures  ] %s resampled: %ld voxels inside, max error %.4f voxels\n",
                    nameOf(a), acc.inside, acc.maxInside);
        EXPECT_GT(acc.inside, 140000);
        EXPECT_GT(acc.outside, 0);
        EXPECT_LT(acc.maxInside, kTrilinearBound);
        EXPECT_LT(acc.maxEdge, fieldSlope() * 1.75 * std::sqrt(3.0) + kTrilinearBound);
        EXPECT_TRUE(acc.allFinite);
        EXPECT_LT(acc.maxOutsideJump, 0.2);  // extrapolated, not zeros
        EXPECT_NE(savedAs("epi_undistort.fmr"), nullptr);
    }
}

TEST_F(ResampleThroughStart, FieldMapIsResampledBeforeTheShiftsAreComputed) {
    // A field map in Hz: 32 Hz per voxel of shift at the EPI's bandwidth.
    const Scene scene = makeScene(Acquisition::TransversalDescending);
    const SceneDocuments d = prepare(scene);
    std::vector<double> hertz = workspace().fmr(d.start).values();
    for (double& v : hertz) v *= 32.0;
    workspace().fmr(d.start).setValues(hertz);
    params().setString("Procedure", "ComputePxshift");
    params().setInt("PerformAllSteps", 1);
    for (int index : {d.start, d.epi}) answer(index);
    run("Start");
    EXPECT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_TRUE(logged("Resample field map onto the functional grid..."));
    EXPECT_FALSE(loggedPart("Resample pixel shift map"));  // already on the EPI's grid
    // The shifts are computed on the EPI's grid and saved there, named after the EPI.
    const SaveRecord* save = savedAs("epi_pixshift.fmr");
    ASSERT_NE(save, nullptr);
    const Accuracy acc = measure(scene, save->volumeValues(0));
    EXPECT_LT(acc.maxInside, kTrilinearBound);
    EXPECT_TRUE(acc.allFinite);
    EXPECT_NE(savedAs("epi_undistort.fmr"), nullptr);
    EXPECT_EQ(savedAs("epi_pixshiftInEPIres.fmr"), nullptr);
}

TEST_F(ResampleThroughStart, GeometryThatIsNoGridOrDoesNotOverlapIsRefused) {
    struct Bad {
        const char* what;
        void (*spoil)(SceneDocuments, ondrift::standin::Workspace&);
        const char* message;
    };
    const Bad cases[] = {
        {"not finite",
         [](SceneDocuments d, ondrift::standin::Workspace& ws) {
             ws.fmr(d.start).position.RowDirY = std::numeric_limits<float>::quiet_NaN();
         },
         "Stopped resampling: the position record of the pixel shift map holds a slice centre, "
         "direction or voxel size that is not a finite number."},
        {"singular",
         [](SceneDocuments d, ondrift::standin::Workspace& ws) {
             auto& p = ws.fmr(d.epi).position;
             p.ColDirX = p.RowDirX;
             p.ColDirY = p.RowDirY;
             p.ColDirZ = p.RowDirZ;
         },
         "Stopped resampling: the position record of the functional image (80 x 80 x 36 voxels) "
         "spans no volume: its directions or steps are zero or parallel, or its first and last "
         "slice centres coincide."},
        {"apart",
         [](SceneDocuments d, ondrift::standin::Workspace& ws) {
             auto& p = ws.fmr(d.epi).position;
             p.Slice1CenterZ += 1000.0f;
             p.SliceNCenterZ += 1000.0f;
         },
         "Stopped resampling: the functional grid does not overlap the field of view of the pixel "
         "shift map."},
    };
    for (const Bad& b : cases) {
        SCOPED_TRACE(b.what);
        const SceneDocuments d = prepare(makeScene(Acquisition::TransversalAscending));
        b.spoil(d, workspace());
        params().setString("Procedure", "Undistort");
        for (int index : {d.start, d.epi}) answer(index);
        run("Start");
        EXPECT_EQ(errorNr(), -1);
        EXPECT_EQ(errorMsg(), b.message);
        EXPECT_TRUE(logged(b.message));
        EXPECT_EQ(savedAs("epi_undistort.fmr"), nullptr);
        EXPECT_EQ(savedAs("epi_pixshiftInEPIres.fmr"), nullptr);
    }
}
