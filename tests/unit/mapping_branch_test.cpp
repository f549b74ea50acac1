// The mapping branch in-process: real workspace documents, the stand-in host's registration,
// and the pixel shift field checked against its known values at every EPI voxel.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "image/host_documents.h"
#include "pipeline/mapping.h"
#include "tests/mapping_scene.h"

using namespace ondrift;
using namespace mapping_scene;
using ondrift::standin::DialogAnswer;
using ondrift::standin::session;
using ondrift::standin::workspace;

namespace {

class MappingBranch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        dir = std::filesystem::temp_directory_path() /
              ("ondrift_mapping_" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(dir);
        workspace().outputDirectory = dir;
    }
    void TearDown() override {
        standin::clearAll();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    /// Picks the three projects as the runner does (start, VMR, EPI) and runs the branch.
    bool pickAndMap(const SceneDocuments& d, std::string& error) {
        for (int index : {d.start, d.vmr, d.epi})
            session().answers.push_back(DialogAnswer::withNumber(index));
        EXPECT_TRUE(loadFMRInto("Please select the startfile (phase, b0 or pixelshift)", pixelShift,
                                startRecord));
        EXPECT_TRUE(loadVMR("Please select the VMR file:", vmrRecord));
        EXPECT_TRUE(loadFMRInto("Please select the EPI file", epiImage, epiRecord));
        session().log.clear();
        return runMappingBranch(vmrRecord, epiRecord, startRecord, epiImage, pixelShift, mapped,
                                error);
    }

    std::filesystem::path dir;
    Image pixelShift, epiImage, mapped;
    FMRRecord startRecord, epiRecord;
    VMRRecord vmrRecord;
};

std::string titleOf(const std::string& entry) { return entry.substr(0, entry.find(": \n")); }

}  // namespace

TEST_F(MappingBranch, CarriesTheFieldIntoTheEpiGeometry) {
    for (Acquisition a : {Acquisition::TransversalAscending, Acquisition::TransversalDescending,
                          Acquisition::Sagittal}) {
        SCOPED_TRACE(nameOf(a));
        standin::clearAll();
        workspace().outputDirectory = dir;
        const Scene scene = makeScene(a);
        const SceneDocuments d = addScene(workspace(), scene, dir);
        std::string error;
        ASSERT_TRUE(pickAndMap(d, error)) << error;

        ASSERT_TRUE(mapped.isValid());
        ASSERT_EQ(mapped.getNrOfVolumes(), 1);
        ASSERT_EQ(mapped.voxelsPerVolume(), std::size_t(80 * 80 * 36));
        const Figures f = compare(scene, {mapped.getData(), mapped.voxelsPerVolume()});
        std::cout << "[ figures  ] " << nameOf(a) << ": reached " << f.reached << " of "
                  << mapped.voxelsPerVolume() << ", max error " << f.maxError << " voxels, mean "
                  << f.meanError << ", bound " << f.bound << "\n";
        EXPECT_LE(f.maxError, f.bound);
        EXPECT_GT(f.required, 100000);
        EXPECT_EQ(f.requiredMissing, 0);

        // The saved project holds the mapped values (as floats) under the EPI's name.
        ASSERT_FALSE(workspace().saves().empty());
        const auto& save = workspace().saves().back();
        EXPECT_EQ(save.fmrFileName, "epi_pixshiftInEPIres.fmr");
        EXPECT_GT(save.result, 0);
        const std::vector<double> saved = save.volumeValues(0);
        ASSERT_EQ(saved.size(), mapped.voxelsPerVolume());
        for (std::size_t n = 0; n < saved.size(); ++n)
            ASSERT_EQ(saved[n], double(float(mapped.getValue(n)))) << n;
        EXPECT_TRUE(std::filesystem::exists(dir / "epi_pixshiftInEPIres.amr"));
        EXPECT_EQ(session().windowUpdates > 0, true);
    }
}

TEST_F(MappingBranch, LogsEveryMatrixInOrder) {
    const SceneDocuments d =
        addScene(workspace(), makeScene(Acquisition::TransversalAscending), dir);
    std::string error;
    ASSERT_TRUE(pickAndMap(d, error)) << error;
    std::vector<std::string> titles;
    for (const std::string& entry : session().log) titles.push_back(titleOf(entry));
    const std::vector<std::string>& expected = mapping_scene::kReportTitles;
    ASSERT_GE(titles.size(), expected.size() + 2);
    EXPECT_EQ(std::vector<std::string>(titles.begin(), titles.begin() + expected.size()), expected);
    // Saving logs its own lines; the name follows the save and the AMR note closes the step.
    EXPECT_EQ(titles[titles.size() - 2], "epi_pixshiftInEPIres.fmr");
    EXPECT_EQ(titles.back(), "Also wrote *.amr.");

    // The two host matrices are reported as returned: the EPI report equals the stand-in's IA.
    Matrix4 ia;
    ASSERT_TRUE(standin::registrationMatrix(*epiRecord.position, *vmrRecord.position, ia));
    EXPECT_EQ(session().log[0], matrixTools().matrixText("Functional data to VMR mapping", ia));
    // The start project is flipped with the EPI's slice order: the same flip report twice.
    EXPECT_EQ(session().log[2], session().log[7]);
}

TEST_F(MappingBranch, OppositeSliceOrdersMirrorTheFieldMap) {
    // The start project's matrix takes the EPI's slice positions, so its flip is the EPI's: a
    // field map acquired in the other order is read mirrored across its middle slice.
    const Scene scene = makeScene(Acquisition::OppositeOrders);
    const SceneDocuments d = addScene(workspace(), scene, dir);
    std::string error;
    ASSERT_TRUE(pickAndMap(d, error)) << error;
    const std::span<const double> values{mapped.getData(), mapped.voxelsPerVolume()};
    const Figures direct = compare(scene, values);
    const Figures mirrored = compare(scene, values, true);
    std::cout << "[ figures  ] opposite orders: max error " << direct.maxError << " voxels, mean "
              << direct.meanError << "; against the mirrored field max " << mirrored.maxError
              << ", mean " << mirrored.meanError << "\n";
    EXPECT_GT(direct.maxError, 5 * direct.bound);
    EXPECT_LE(mirrored.maxError, mirrored.bound);
}

TEST_F(MappingBranch, RefusesUnusableVoxelSizesBeforeAnyWork) {
    struct Case {
        const char* what;
        float epiX, startZ, vmrY;
        const char* expected;
    };
    const Case cases[] = {
        {"EPI size 0", 0.0f, 3.5f, 1.0f, "voxel size of the EPI project (0 x 3 x 3)"},
        {"start size NaN", 3.0f, std::nanf(""), 1.0f, "voxel size of the start project"},
        {"VMR size infinite", 3.0f, 3.5f, INFINITY, "voxel size of the VMR (1 x inf x 1)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        standin::clearAll();
        workspace().outputDirectory = dir;
        const SceneDocuments d = addScene(workspace(), makeScene(Acquisition::Sagittal), dir);
        workspace().fmr(d.epi).header.voxelSizeX = c.epiX;
        workspace().fmr(d.start).header.voxelSizeZ = c.startZ;
        workspace().vmr(d.vmr).header.voxelSizeY = c.vmrY;
        std::string error;
        EXPECT_FALSE(pickAndMap(d, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_LT(error.size(), 256u);       // fits the host's error text
        EXPECT_TRUE(session().log.empty());  // the runner logs the text as it fails the call
        EXPECT_TRUE(workspace().saves().empty());
        EXPECT_FALSE(mapped.isValid());
    }
}

TEST_F(MappingBranch, RefusesAPixelShiftMapOffItsProjectGrid) {
    const SceneDocuments d = addScene(workspace(), makeScene(Acquisition::Sagittal), dir);
    for (int index : {d.start, d.vmr, d.epi})
        session().answers.push_back(DialogAnswer::withNumber(index));
    ASSERT_TRUE(loadFMRInto("start", pixelShift, startRecord));
    ASSERT_TRUE(loadVMR("vmr", vmrRecord));
    ASSERT_TRUE(loadFMRInto("epi", epiImage, epiRecord));
    pixelShift.setDimY(10);  // a map that no longer matches the start project's 64 rows
    std::string error;
    EXPECT_FALSE(
        runMappingBranch(vmrRecord, epiRecord, startRecord, epiImage, pixelShift, mapped, error));
    EXPECT_EQ(error,
              "Cannot map the pixel shift map: the pixel shift map does not hold the 64 x 64 x 32 "
              "voxels of its project.");
}

TEST_F(MappingBranch, RefusesWhenTheHostCannotRelateTheProjects) {
    const SceneDocuments d = addScene(workspace(), makeScene(Acquisition::Sagittal), dir);
    workspace().fmr(d.epi).position = ScannerPositionHeader{};  // no directions at all
    std::string error;
    EXPECT_FALSE(pickAndMap(d, error));
    EXPECT_EQ(error, "The host could not relate the EPI project to the VMR.");
    EXPECT_TRUE(workspace().saves().empty());
}

TEST_F(MappingBranch, PastTransformationOnlyMovesTheSamplingLattice) {
    // The VMR's voxels serve only as sampling points shared by both matrices, so a resliced
    // VMR (here turned by 10° and moved, with the flip of ascending slices folded in as F·T)
    // still carries the field correctly, provided its voxels still cover the EPI.
    const Scene scene = makeScene(Acquisition::TransversalAscending);
    const SceneDocuments d = addScene(workspace(), scene, dir);
    const float c = std::cos(0.1745329f), s = std::sin(0.1745329f);
    ASSERT_TRUE(
        standin::makePastTransformations({{c, -s, 0, 3, s, c, 0, -2, 0, 0, 1, 1, 0, 0, 0, 1}},
                                         workspace().vmr(d.vmr).pastTransformations));
    std::string error;
    ASSERT_TRUE(pickAndMap(d, error)) << error;
    EXPECT_EQ(titleOf(session().log[5]), "Incorporating flip in past VMR transformation");
    // The sampling lattice in the VMR's acquired space is F·T applied to its voxels: turned
    // back by 10°, moved by −R(−10°)·(3, −2, 1) and mirrored in z. Coverage is judged on it.
    Scene lattice = scene;
    const double a = -0.1745329;
    const Vector3 moved = rotated({-3, 2, -1}, 0, a);
    lattice.vmr.centre = {moved[0], moved[1], -moved[2]};
    lattice.vmr.rowDirection = rotated({1, 0, 0}, 0, a);
    lattice.vmr.columnDirection = rotated({0, 1, 0}, 0, a);
    lattice.vmr.sliceDirection = {0, 0, -1};
    const Figures f = compare(lattice, {mapped.getData(), mapped.voxelsPerVolume()});
    std::cout << "[ figures  ] past transformation: max error " << f.maxError << " voxels, mean "
              << f.meanError << "\n";
    EXPECT_LE(f.maxError, f.bound);
    EXPECT_EQ(f.requiredMissing, 0);
}
