// The series corrected a block of volumes at a time must equal the series corrected as one
// host document, value for value, whatever the direction and however the field map reaches
// the functional grid; a block boundary off by one or a volume written twice shows as a
// difference, since every volume of a noisy series differs from the others.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"
#include "phantom_run.h"

using namespace ondrift::cli;
using ondrift::testing::correctPhantomFiles;
using ondrift::testing::kPhantomCorrected;
using ondrift::testing::PhantomRun;
using ondrift::testing::ScratchFolder;

namespace {

nlohmann::json outputEntry(const PhantomRun& r) {
    const nlohmann::json summary = r.summary();  // the loop below only borrows from it
    for (nlohmann::json o : summary["outputs"]) {
        // The project's slice-timing file exists only where the projects are kept.
        o.erase("stc");
        if (o["nifti"] == kPhantomCorrected) return o;
    }
    return {};
}

}  // namespace

TEST(BlockCorrection, EqualsTheWholeSeriesInEveryDirectionAndGrid) {
    ScratchFolder scratch{"blocks"};
    struct Case {
        std::string name;
        PhantomOptions options;
        std::string extra;
    };
    std::vector<Case> cases;
    for (int pe = 1; pe <= 6; ++pe) {
        PhantomOptions o;
        o.dims = {24, 22, 8};
        o.peDirection = pe;
        cases.push_back({"pe" + std::to_string(pe), o, ""});
    }
    PhantomOptions own;
    own.dims = {24, 24, 10};
    own.epiDims = {22, 20, 8};
    own.epiVoxelSize = 3.3f;
    own.epiTiltDegrees = 8;
    own.anatomy = true;
    cases.push_back({"resampled", own, ""});
    cases.push_back({"mapped", own, "--map"});
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Eleven noisy volumes: at a one-MiB budget blocks of two or three, and a shorter last one.
        c.options.volumes = 11;
        c.options.seriesNoise = 20.0;
        const Phantom phantom = makePhantom(c.options);
        const PhantomFiles files = writePhantom(phantom, scratch / (c.name + "-in"), nullptr);
        const std::string anat = c.extra.empty() ? "" : " --anat \"" + files.anatomy + "\"";
        const PhantomRun whole = correctPhantomFiles(phantom, files, scratch, c.name + "-whole",
                                                     {c.extra + anat + " --keep-projects"});
        const PhantomRun blocks = correctPhantomFiles(phantom, files, scratch, c.name + "-blocks",
                                                      {c.extra + anat + " --memory-limit 1"});
        ASSERT_EQ(whole.run.exitCode, 0) << whole.run.err;
        ASSERT_EQ(blocks.run.exitCode, 0) << blocks.run.err;
        const nlohmann::json summary = blocks.summary();
        const int blockVolumes = summary["seriesStatistics"]["blockVolumes"];
        EXPECT_GT(blockVolumes, 1);
        EXPECT_NE(c.options.volumes % blockVolumes, 0) << "no shorter last block";
        ASSERT_EQ(blocks.corrected.data.size(), whole.corrected.data.size());
        EXPECT_TRUE(blocks.corrected.data == whole.corrected.data);
        EXPECT_TRUE(blocks.corrected.geometry.sameGrid(whole.corrected.geometry, 0.0));
        EXPECT_EQ(blocks.corrected.geometry.nt(), c.options.volumes);
        // The figures of the corrected series, and the plug-in's text of the distorted one.
        EXPECT_EQ(outputEntry(blocks), outputEntry(whole));
        const nlohmann::json wholeLog = whole.summary()["log"];
        bool logged = false;
        for (const auto& entry : wholeLog)
            logged = logged || entry == summary["seriesStatistics"]["distorted data"];
        EXPECT_TRUE(logged) << summary["seriesStatistics"]["distorted data"];
        EXPECT_GT(summary["peakMemoryBytes"].get<double>(), 0.0);
    }
}
