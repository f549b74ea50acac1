// The mapping branch of "Start" through the binary interface: the built plug-in carries a known
// pixel shift field from the field map's grid into a differently placed EPI grid.
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/workspace.h"
#include "plugin_fixture.h"
#include "tests/mapping_scene.h"

using namespace mapping_scene;
using ondrift::standin::SaveRecord;
using ondrift::standin::workspace;

namespace {

class MappingThroughStart : public WorkspaceTest {
protected:
    /// A fresh workspace holding the scene; parameters for the undistortion along y.
    SceneDocuments prepare(const Scene& scene) {
        workspace().clear();
        workspace().outputDirectory = dir;
        session().clearRecords();
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

    void expectFieldCarried(const Scene& scene, const char* what) {
        const SaveRecord* save = savedAs("epi_pixshiftInEPIres.fmr");
        ASSERT_NE(save, nullptr) << what;
        const std::vector<double> mapped = save->volumeValues(0);
        ASSERT_EQ(mapped.size(), std::size_t(80 * 80 * 36));
        const Figures f = compare(scene, mapped);
        std::printf(
            "[ figures  ] %s through Start: reached %ld, max error %.4f voxels, mean %.4f\n", what,
            f.reached, f.maxError, f.meanError);
        EXPECT_LE(f.maxError, f.bound) << what;
        EXPECT_EQ(f.requiredMissing, 0) << what;
    }
};

}  // namespace

TEST_F(MappingThroughStart, UndistortCarriesThePixelShiftMap) {
    for (Acquisition a : {Acquisition::TransversalAscending, Acquisition::TransversalDescending,
                          Acquisition::Sagittal}) {
        const Scene scene = makeScene(a);
        const SceneDocuments d = prepare(scene);
        params().setString("Procedure", "Undistort");
        for (int index : {d.start, d.vmr, d.epi}) answer(index);
        run("Start");
        EXPECT_EQ(errorNr(), 0) << errorMsg();
        ASSERT_EQ(session().dialogs.size(), 3u);
        EXPECT_NE(session().dialogs[1].text.find("Please select the VMR file:"), std::string::npos);
        EXPECT_TRUE(logged("epi_pixshiftInEPIres.fmr"));
        EXPECT_TRUE(logged("Also wrote *.amr."));
        expectFieldCarried(scene, nameOf(a));
    }
}

TEST_F(MappingThroughStart, ComputedPixelShiftsAreMappedBeforeTheUndistortion) {
    // A field map in Hz: 32 Hz per voxel of shift, so the computed map is the scene's field.
    const Scene scene = makeScene(Acquisition::TransversalAscending);
    const SceneDocuments d = prepare(scene);
    std::vector<double> hertz = workspace().fmr(d.start).values();
    for (double& v : hertz) v *= 32.0;
    workspace().fmr(d.start).setValues(hertz);
    params().setString("Procedure", "ComputePxshift");
    params().setInt("PerformAllSteps", 1);
    for (int index : {d.start, d.vmr, d.epi}) answer(index);
    run("Start");
    EXPECT_EQ(errorNr(), 0) << errorMsg();
    expectFieldCarried(scene, "computed pixel shifts");
    EXPECT_NE(savedAs("epi_undistort.fmr"), nullptr);
}

TEST_F(MappingThroughStart, MatrixReportsOfTheBranch) {
    const SceneDocuments d = prepare(makeScene(Acquisition::Sagittal));
    params().setString("Procedure", "Undistort");
    for (int index : {d.start, d.vmr, d.epi}) answer(index);
    run("Start");
    std::vector<std::string> titles;
    for (const std::string& entry : log()) {
        const std::size_t end = entry.find(": \n\t");
        if (end != std::string::npos) titles.push_back(entry.substr(0, end));
    }
    const std::vector<std::string>& expected = mapping_scene::kReportTitles;
    EXPECT_EQ(titles, expected);
    // Sagittal stacks starting at larger x flip the first axis.
    EXPECT_TRUE(
        logged("Flipping matrix, based on slice acquisition order: \n"
               "\t-1.000000\t0.000000\t0.000000\t0.000000\n"
               "\t0.000000\t1.000000\t0.000000\t0.000000\n"
               "\t0.000000\t0.000000\t1.000000\t0.000000\n"
               "\t0.000000\t0.000000\t0.000000\t1.000000\n"));
}

TEST_F(MappingThroughStart, UnusableVoxelSizeStopsTheStep) {
    const SceneDocuments d = prepare(makeScene(Acquisition::TransversalDescending));
    workspace().vmr(d.vmr).header.voxelSizeZ = 0.0f;
    params().setString("Procedure", "Undistort");
    for (int index : {d.start, d.vmr, d.epi}) answer(index);
    run("Start");
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(),
              "Cannot map the pixel shift map: the voxel size of the VMR (1 x 1 x 0) is not a "
              "positive finite number.");
    EXPECT_EQ(savedAs("epi_pixshiftInEPIres.fmr"), nullptr);
    EXPECT_EQ(savedAs("epi_undistort.fmr"), nullptr);
}
