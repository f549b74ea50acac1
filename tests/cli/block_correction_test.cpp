// The series corrected a block of volumes at a time must equal the series corrected as one
// host document, value for value, whatever the direction and however the field map reaches
// the functional grid; a block boundary off by one or a volume written twice shows as a
// difference, since every volume of a noisy series differs from the others.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/app/series_statistics.h"
#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli/report/volume.h"
#include "cli/session/result_export.h"
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

TEST(BlockCorrection, SeriesFiguresSummedInBlocksEqualThoseOfTheWholeSeries) {
    // Voxels not a multiple of the vector width, more values than one summing stretch, blocks
    // of uneven lengths; non-finite values for the statistics that skip them.
    constexpr std::size_t kVoxels = 1003;
    constexpr int kVolumes = 1100;
    std::mt19937 random(11);
    // Magnitudes far apart, so that a double sum in another order rounds differently.
    std::normal_distribution<float> noise(300.0f, 150.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    std::vector<float> series(kVoxels * kVolumes);
    for (float& v : series) v = std::ldexp(noise(random), exponent(random));
    VolumeMeanSum mean(kVoxels);
    std::size_t first = 0;
    for (int count = 1; first < series.size(); count = count % 7 + 1) {
        const std::size_t n = std::min(kVoxels * count, series.size() - first);
        mean.add(std::span<const float>(series).subspan(first, n));
        first += n;
    }
    EXPECT_TRUE(mean.mean() == meanOfVolumes(series, kVoxels));

    // Finite values, then with a NaN and an infinity (which only the plug-in's text counts).
    for (const bool finite : {true, false}) {
        if (!finite) {
            series[5] = std::numeric_limits<float>::quiet_NaN();
            series[series.size() - 2] = std::numeric_limits<float>::infinity();
        }
        StreamedValueStatistics statistics;
        PluginStatisticsText text, wholeText;
        wholeText.add(series);
        for (first = 0; first < series.size(); first += kVoxels * 9) {
            const std::size_t n = std::min(kVoxels * 9, series.size() - first);
            addToBoth(std::span<const float>(series).subspan(first, n), statistics, text);
        }
        EXPECT_EQ(statistics.toJson(), valueStatistics(series)) << finite;
        if (finite) {
            EXPECT_EQ(text.text("series"), wholeText.text("series"));
        }
    }
}
