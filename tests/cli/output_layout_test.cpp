// What the output folder holds: by default only the images users read and the summary; with
// --keep-projects also every project the plug-in saved, whose values the images must equal.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"
#include "host/project_files.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::readText;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

std::set<std::string> extensionsIn(const fs::path& folder) {
    std::set<std::string> found;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        found.insert(name.ends_with(".nii.gz") ? ".nii.gz" : e.path().extension().string());
    }
    return found;
}

/// dim[0] of a compressed NIfTI-1 header: the number of dimensions the file declares.
int storedDimensions(const fs::path& file) {
    gzFile f = gzopen(file.c_str(), "rb");
    unsigned char header[348] = {};
    const int got = gzread(f, header, sizeof header);
    gzclose(f);
    if (got != static_cast<int>(sizeof header)) return -1;
    std::int16_t dim0 = 0;
    std::memcpy(&dim0, header + 40, sizeof dim0);
    return dim0;
}

class OutputLayout : public ::testing::Test {
protected:
    ScratchFolder scratch{"output-layout"};
    PhantomFiles files;
    std::string args;

    void SetUp() override {
        // Grids that differ, so that the shift map is carried onto the functional grid.
        PhantomOptions o;
        o.dims = {40, 40, 14};
        o.volumes = 3;
        o.peDirection = 2;
        o.epiDims = {36, 34, 11};
        o.epiVoxelSize = 3.3f;
        o.epiTiltDegrees = 8;
        o.epiCentreMm = {2.0, -3.0, 1.5};
        files = writePhantom(makePhantom(o), scratch / "in", nullptr);
        args = "correct -q --phase \"" + files.phase + "\" --magnitude \"" + files.magnitude +
               "\" --epi \"" + files.bold + "\"";
    }
    fs::path run(const std::string& name, const std::string& extra) {
        const fs::path out = scratch.path() / name;
        const CommandRun r = runOndrift(args + " --out \"" + out.string() + "\" " + extra, scratch);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return out;
    }
};

}  // namespace

TEST_F(OutputLayout, ByDefaultOnlyImagesAndTheSummaryWithTheShiftMapIn3D) {
    const fs::path out = run("default", "");
    // The images, the summary and the quality report.
    EXPECT_EQ(extensionsIn(out), (std::set<std::string>{".nii.gz", ".json", ".html"}));
    // The grids differ: the field map is resampled, and the shifts computed on the functional
    // grid are named after the series.
    const NiftiImage map =
        readNiftiHeader((out / "sub-phantom_task-rest_bold_pixshift.nii.gz").string());
    EXPECT_EQ(map.geometry.nt(), 1);
    EXPECT_EQ(storedDimensions(out / "sub-phantom_task-rest_bold_pixshift.nii.gz"), 3);
    // Through the documented mapping, the mapped shift map is 3-D as well.
    const fs::path mapped = run("mapped", "--map");
    EXPECT_EQ(storedDimensions(mapped / "sub-phantom_task-rest_bold_pixshiftInEPIres.nii.gz"), 3);
    const NiftiImage corrected =
        readNiftiHeader((out / "sub-phantom_task-rest_bold_undistort.nii.gz").string());
    EXPECT_EQ(corrected.geometry.nt(), 3);
    const auto summary = nlohmann::json::parse(readText(out / "ondrift.json"));
    EXPECT_TRUE(summary["amr"].empty());
    for (const auto& o : summary["outputs"]) {
        EXPECT_FALSE(o.contains("stc")) << o.dump();
        EXPECT_TRUE(fs::exists(out / o["nifti"].get<std::string>()));
    }
    // A refused output type writes nothing.
    const CommandRun bad =
        runOndrift(args + " --out \"" + (scratch / "bad") + "\" --output-type mgz", scratch);
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_FALSE(fs::exists(scratch.path() / "bad"));
}

TEST_F(OutputLayout, KeptProjectsHoldTheValuesOfTheImagesWhicheverTheOutputType) {
    const fs::path plain = run("default", "");
    const fs::path kept = run("kept", "--keep-projects --output-type nii");
    const std::set<std::string> found = extensionsIn(kept);
    for (const char* e : {".nii", ".fmr", ".stc", ".amr", ".json"})
        EXPECT_EQ(found.count(e), 1u) << e;
    EXPECT_EQ(found.count(".nii.gz"), 0u);

    const auto summary = nlohmann::json::parse(readText(kept / "ondrift.json"));
    ASSERT_GE(summary["outputs"].size(), 8u);
    for (const auto& o : summary["outputs"]) {
        const std::string project = o["project"];
        std::string error;
        const auto doc = ondrift::standin::readFmrProject(kept / project, error);
        ASSERT_TRUE(doc) << error;
        EXPECT_TRUE(fs::exists(kept / o["stc"].get<std::string>()));
        const NiftiImage image =
            readNifti((kept / o["nifti"].get<std::string>()).string(), {}, nullptr);
        const auto saved = doc->floatValues().first(image.data.size());
        EXPECT_TRUE(std::equal(saved.begin(), saved.end(), image.data.begin())) << project;
        // The compressed image of the default run holds the same values bit for bit.
        const std::string stem = fs::path(project).stem().string();
        const NiftiImage compressed = readNifti((plain / (stem + ".nii.gz")).string(), {}, nullptr);
        EXPECT_EQ(compressed.data, image.data) << project;
    }
}
