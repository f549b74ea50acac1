// `ondrift correct --pair` on phantom pairs made with the pile-up of real acquisitions: the
// field estimated from the pair reduces the functional series' error at least threefold, along
// every direction and sign, from 1 and 3 volumes, and on another grid; bad pairs are refused
// with nothing written.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "cli/pairs/pair_estimation.h"
#include "cli/phantom/phantom_dataset.h"
#include "cli/phantom/phantom_pair.h"
#include "phantom_run.h"

namespace ondrift::testing {
namespace {

namespace fs = std::filesystem;

/// The bold phantom of `bold` corrected with a pair of the phantom of `pairOptions`.
PhantomRun correctWithPhantomPair(const cli::Phantom& bold, const cli::PhantomOptions& pairOptions,
                                  int pairDirection, int volumes, const ScratchFolder& scratch,
                                  const std::string& name) {
    const cli::PhantomPair pair = cli::makePhantomPair(pairOptions, pairDirection, volumes);
    const cli::PairFiles pf =
        cli::writePhantomPair(pair, scratch.path() / (name + "-fmap"), "sub-phantom");
    const cli::PhantomFiles files = cli::writePhantom(bold, scratch / (name + "-in"), nullptr);
    PhantomRun run;
    run.folder = scratch.path() / (name + "-out");
    run.run =
        runOndrift("correct -q --pair \"" + pf.first.string() + "\" \"" + pf.second.string() +
                       "\" --epi \"" + files.bold + "\" --out \"" + run.folder.string() + "\"",
                   scratch);
    if (run.run.exitCode != 0) return run;
    run.corrected = cli::readNifti((run.folder / kPhantomCorrected).string(), {}, nullptr);
    run.before = cli::relativeError(bold.distorted, bold.truth, bold.evaluationMask);
    run.after = cli::relativeError(run.corrected.data, bold.truth, bold.evaluationMask);
    run.ideal = cli::relativeError(bold.idealSeries(), bold.truth, bold.evaluationMask);
    return run;
}

// The scanner-like field along i and j; along k the phantom has 12 slices of 4 mm and its lobes
// would move the signal across all of them, so the gentle field serves there.
TEST(PairCommand, CorrectsAlongEveryDirectionAndSign) {
    ScratchFolder scratch("pair-directions");
    for (int direction = 1; direction <= 6; ++direction) {
        const cli::PhantomOptions o = cli::datasetPhantomOptions(direction, direction >= 5);
        const cli::Phantom bold = cli::makePhantom(o);
        // Pairs of either order, one of a single volume each way.
        const int volumes = direction == 2 ? 1 : 3;
        const PhantomRun r =
            correctWithPhantomPair(bold, o, direction % 2 == 1 ? direction : direction - 1, volumes,
                                   scratch, "d" + std::to_string(direction));
        ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
        EXPECT_GT(r.reduction(), 3.0) << "direction " << direction;
        const auto summary = r.summary();
        EXPECT_EQ(summary["fieldMapSource"]["kind"], "reverse phase-encoding pair");
        EXPECT_EQ(summary["parameters"]["Procedure"]["value"], "ComputePxshift");
    }
}

TEST(PairCommand, CorrectsASeriesOnAnotherGrid) {
    ScratchFolder scratch("pair-grid");
    const cli::PhantomOptions o = cli::datasetPhantomOptions(3);
    cli::PhantomOptions b = o;
    b.epiDims = {40, 40, 10};
    b.epiVoxelSize = 4.5f;
    b.epiTiltDegrees = 12.0;
    const cli::Phantom bold = cli::makePhantom(b);
    const PhantomRun r = correctWithPhantomPair(bold, o, 3, 2, scratch, "grid");
    ASSERT_EQ(r.run.exitCode, 0) << r.run.err;
    EXPECT_GT(r.reduction(), 3.0);
    EXPECT_EQ(r.summary()["parameters"]["ResampleFieldmapToFunctional"]["value"], 1);
    // The report shows the pair as taken and corrected, and their agreement before and after.
    const std::string report = readText(r.folder / "sub-phantom_task-rest_bold_report.html");
    const std::size_t section = report.find("<section id=\"pair\">");
    ASSERT_NE(section, std::string::npos);
    EXPECT_NE(report.find("negative direction, corrected", section), std::string::npos);
    const auto source = r.summary()["fieldMapSource"];
    EXPECT_LT(source["agreementAfter"]["relativeDifference"].get<double>(),
              0.5 * source["agreementBefore"]["relativeDifference"].get<double>());
    EXPECT_GT(source["agreementAfter"]["correlation"].get<double>(), 0.9);
}

// Each image of a pair corrected as a run whose field map is the pair, as one checks a spin-echo
// pair: inside the head the two polarities then differ by at most half of what they did, and
// correlate at 0.9 or more. Their stretch is restored by default (each carries the pile-up of
// its polarity, which resampling alone keeps).
TEST(PairCommand, BothPolaritiesAgreeOnceCorrected) {
    ScratchFolder scratch("pair-polarities");
    const cli::PhantomPair pair = cli::makePhantomPair(cli::datasetPhantomOptions(3), 3, 2);
    const cli::PairFiles pf = cli::writePhantomPair(pair, scratch.path() / "fmap", "sub-phantom");
    // The second as a copy, as a data set that also lists its spin-echo images as runs has it.
    const fs::path copy = scratch.path() / "runs" / pf.second.filename();
    fs::create_directories(copy.parent_path());
    fs::copy_file(pf.second, copy);
    fs::copy_file(fs::path(pf.second).replace_extension("").replace_extension(".json"),
                  fs::path(copy).replace_extension("").replace_extension(".json"));
    std::vector<std::vector<float>> corrected;
    for (const fs::path& image : {pf.first, copy}) {
        const std::string stem = image.stem().stem().string();
        const fs::path out = scratch.path() / stem;
        const CommandRun run =
            runOndrift("correct -q --pair \"" + pf.first.string() + "\" \"" + pf.second.string() +
                           "\" --epi \"" + image.string() + "\" --out \"" + out.string() + "\"",
                       scratch);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto summary = nlohmann::json::parse(readText(out / "ondrift.json"));
        EXPECT_EQ(summary["parameters"]["IntensityModulation"]["value"], 1);
        const cli::NiftiImage c =
            cli::readNifti((out / (stem + "_undistort.nii.gz")).string(), {}, nullptr);
        corrected.emplace_back(c.data.begin(),
                               c.data.begin() + static_cast<long>(c.geometry.voxelsPerVolume()));
    }
    // The head: where the undistorted truth holds a fifth of its brightest signal.
    const std::vector<float>& truth = pair.first.truth;
    const std::size_t n = corrected[0].size();
    const float top = *std::max_element(truth.begin(), truth.begin() + static_cast<long>(n));
    std::vector<unsigned char> head(n);
    for (std::size_t i = 0; i < n; ++i) head[i] = truth[i] > 0.2f * top;
    const std::span<const float> a(pair.first.distorted.data(), n),
        b(pair.second.distorted.data(), n);
    const pairs::Agreement before = pairs::agreement(a, b, head);
    const pairs::Agreement after = pairs::agreement(corrected[0], corrected[1], head);
    EXPECT_LT(after.relativeDifference, 0.5 * before.relativeDifference)
        << before.relativeDifference << " -> " << after.relativeDifference;
    EXPECT_GT(after.correlation, 0.9) << before.correlation;
}

TEST(PairCommand, RefusesBadPairsAndWritesNothing) {
    ScratchFolder scratch("pair-refused");
    const cli::PhantomOptions o = cli::datasetPhantomOptions(3);
    const cli::PhantomPair pair = cli::makePhantomPair(o, 3, 1);
    const cli::PairFiles pf = cli::writePhantomPair(pair, scratch.path() / "fmap", "sub-phantom");
    const cli::PhantomFiles files = cli::writePhantom(cli::makePhantom(o), scratch / "in", nullptr);
    cli::PhantomOptions far = o;
    far.epiDims = {48, 48, 12};
    far.epiCentreMm = {0, 0, 400};
    const cli::PhantomFiles farFiles =
        cli::writePhantom(cli::makePhantom(far), scratch / "far", nullptr);
    const fs::path second = pf.second.parent_path() / "sub-phantom_dir-jneg_epi.json";
    const std::string original = readText(second);
    const fs::path out = scratch.path() / "out";
    struct Case {
        std::string sidecar;  ///< of the second image; "" keeps it
        std::string bold;
        std::string message;
    } cases[] = {
        {R"({"PhaseEncodingDirection": "j", "TotalReadoutTime": 0.05})", files.bold,
         "same phase-encoding direction"},
        {R"({"PhaseEncodingDirection": "i-", "TotalReadoutTime": 0.05})", files.bold,
         "different axes"},
        {R"({"PhaseEncodingDirection": "j-"})", files.bold, "readout time"},
        {"", farFiles.bold, "does not overlap"},
    };
    for (const Case& c : cases) {
        writeText(second.string(), c.sidecar.empty() ? original : c.sidecar);
        const CommandRun run =
            runOndrift("correct -q --pair \"" + pf.first.string() + "\" \"" + pf.second.string() +
                           "\" --epi \"" + c.bold + "\" --out \"" + out.string() + "\"",
                       scratch);
        EXPECT_EQ(run.exitCode, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(out)) << c.message;
    }
}

// A data set whose only field maps are epi pairs, one linked by B0FieldIdentifier, one by
// IntendedFor: both runs corrected, the estimated field written in Hz, the kind recorded.
TEST(PairCommand, BidsUsesEpiPairs) {
    ScratchFolder scratch("pair-bids");
    const fs::path root = scratch.path() / "raw";
    cli::writeDescription(root);
    std::vector<cli::SubjectFiles> subjects;
    for (int i = 0; i < 2; ++i) {
        cli::SubjectStyle s;
        s.label = i == 0 ? "01" : "02";
        s.kind = cli::FmapKind::EpiPair;
        s.peDirection = i == 0 ? 3 : 4;
        s.b0Identifier = i == 0;
        subjects.push_back(cli::writeSubject(root, s));
    }
    const fs::path out = scratch.path() / "derivatives";
    const CommandRun run = runOndrift("bids -q --skip-bids-validation \"" + root.string() +
                                          "\" \"" + out.string() + "\" participant",
                                      scratch);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const auto& subject : subjects) {
        const std::string sub = subject.boldStem.substr(0, 6);
        const fs::path func = out / sub / "func";
        const std::string stem = subject.boldStem.substr(0, subject.boldStem.size() - 5);
        const cli::NiftiImage corrected =
            cli::readNifti((func / (stem + "_desc-undistorted_bold.nii.gz")).string(), {}, nullptr);
        const cli::Phantom& p = subject.phantom;
        const double before = cli::relativeError(p.distorted, p.truth, p.evaluationMask);
        const double after = cli::relativeError(corrected.data, p.truth, p.evaluationMask);
        EXPECT_GT(before / after, 3.0) << sub;
        const auto sidecar =
            nlohmann::json::parse(readText(func / (stem + "_desc-undistorted_bold.json")));
        EXPECT_EQ(sidecar["DistortionCorrection"]["FieldMapKind"], "reverse phase-encoding pair");
        bool fieldInHz = false;
        for (const auto& e : fs::directory_iterator(out / sub / "fmap")) {
            if (e.path().extension() != ".json") continue;
            const auto j = nlohmann::json::parse(readText(e.path()));
            fieldInHz = fieldInHz || (j.value("Units", "") == "Hz" &&
                                      j.value("FieldMapKind", "") == "reverse phase-encoding pair");
        }
        EXPECT_TRUE(fieldInHz) << sub;
    }
}

}  // namespace
}  // namespace ondrift::testing
