// Saves that stay in memory: what a save record stands for while its document still holds the
// saved values, and after the plug-in takes the document's data arrays again.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "binding/host_abi.h"
#include "host/project_files.h"
#include "host/standin.h"
#include "host/workspace.h"

using ondrift::standin::FmrSpec;
using ondrift::standin::SaveRecord;
using ondrift::standin::Workspace;
namespace fs = std::filesystem;

namespace {

class DeferredSaves : public ::testing::Test {
protected:
    void SetUp() override {
        ondrift::standin::clearAll();
        ws().quiet = true;
        folder = fs::temp_directory_path() / ("ondrift-deferred-" + std::to_string(getpid()));
        fs::create_directories(folder);
        ws().outputDirectory = folder;
        ws().keepSaveValues = false;
        ws().deferSaveValues = true;
        ws().writeProjects = false;
    }
    void TearDown() override {
        ondrift::standin::clearAll();
        fs::remove_all(folder);
    }
    static Workspace& ws() { return ondrift::standin::workspace(); }
    /// A float document of 2×2×1 voxels and three volumes, values 0…11, made current.
    int series() {
        std::vector<double> v(12);
        for (int i = 0; i < 12; ++i) v[static_cast<std::size_t>(i)] = i;
        const int index = ws().addFmr(FmrSpec{.name = "run.fmr",
                                              .columns = 2,
                                              .rows = 2,
                                              .slices = 1,
                                              .volumes = 3,
                                              .dataType = kFmrFloat32,
                                              .values = v});
        ws().setCurrent(index);
        return index;
    }
    fs::path folder;
};

}  // namespace

TEST_F(DeferredSaves, ARecordStandsForItsDocumentUntilTheArraysAreTakenAgain) {
    series();
    float** data = vxGetSTCFloatDataOfCurrentFMR();
    data[0][0] = 100.0f;
    ASSERT_EQ(vxSaveFMRAndSTC("run_a.fmr", "run_a"), 1);
    // Nothing is written and nothing copied: the record reads the document.
    EXPECT_TRUE(fs::is_empty(folder));
    const SaveRecord& a = ws().saves()[0];
    EXPECT_TRUE(a.live);
    EXPECT_TRUE(a.floatValues.empty());
    EXPECT_EQ(ws().savedFloatValues(a).size(), 12u);
    EXPECT_EQ(ws().savedFloatValues(a)[0], 100.0f);

    // Taking the arrays again (the only way to change the values) settles the record first.
    data = vxGetSTCFloatDataOfCurrentFMR();
    data[0][0] = 200.0f;
    data[2][3] = -1.0f;
    ASSERT_EQ(vxSaveFMRAndSTC("run_b.fmr", "run_b"), 1);
    const SaveRecord& first = ws().saves()[0];
    EXPECT_FALSE(first.live);
    ASSERT_EQ(first.floatValues.size(), 12u);
    EXPECT_EQ(first.floatValues[0], 100.0f);
    EXPECT_EQ(first.floatValues[11], 11.0f);
    const auto second = ws().savedFloatValues(ws().saves()[1]);
    EXPECT_EQ(second[0], 200.0f);
    EXPECT_EQ(second[11], -1.0f);
}

TEST_F(DeferredSaves, ASettledRecordKeepsOnlyTheVolumesAskedFor) {
    ws().deferredVolumes = [](const SaveRecord& r) {
        return r.fmrFileName == "run_map.fmr" ? 1 : r.volumes;
    };
    const int index = series();
    ASSERT_EQ(vxSaveFMRAndSTC("run_map.fmr", "run_map"), 1);
    ASSERT_EQ(vxSaveFMRAndSTC("run_all.fmr", "run_all"), 1);
    vxGetSTCFloatDataOfCurrentFMR();
    EXPECT_EQ(ws().saves()[0].floatValues, (std::vector<float>{0, 1, 2, 3}));
    EXPECT_EQ(ws().saves()[1].floatValues.size(), 12u);
    // Another document's arrays leave these records alone; a refused save is never live.
    ws().setCurrent(ws().addFmr("other.fmr", 1, 1, 1, 1, kFmrFloat32));
    vxGetSTCFloatDataOfCurrentFMR();
    ASSERT_EQ(vxSaveFMRAndSTC("", ""), 0);
    EXPECT_FALSE(ws().saves().back().live);
    EXPECT_EQ(ws().saves()[0].documentIndex, index);
}

TEST_F(DeferredSaves, WrittenProjectsHoldTheSameValues) {
    ws().writeProjects = true;
    series();
    ASSERT_EQ(vxSaveFMRAndSTC("run_kept.fmr", "run_kept"), 1);
    std::string error;
    const auto doc = ondrift::standin::readFmrProject(folder / "run_kept.fmr", error);
    ASSERT_TRUE(doc) << error;
    const auto memory = ws().savedFloatValues(ws().saves()[0]);
    const auto disk = doc->floatValues();
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), disk.begin(), disk.end()));
}
