// `ondrift bids` on small data sets in every layout: each run really corrected, the derivatives
// named and described as the BIDS conventions ask, reruns, the same result as `ondrift correct`,
// and bad runs that fail alone.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <filesystem>
#include <map>
#include <tuple>

#include "bids_test_dataset.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using namespace ondrift::testing;
namespace fs = std::filesystem;
using nlohmann::json;

// Subject styles are written with designated initializers; the members left out keep their
// defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

constexpr double kRequiredReduction = 3.0;

json readJson(const fs::path& p) { return json::parse(readText(p)); }

double reduction(const SubjectFiles& s, const fs::path& corrected) {
    const NiftiImage img = readNifti(corrected.string(), {}, nullptr);
    const Phantom& p = s.phantom;
    const double before = relativeError(p.distorted, p.truth, p.evaluationMask);
    const double after = relativeError(img.data, p.truth, p.evaluationMask);
    return before / after;
}

class BidsCommand : public ::testing::Test {
protected:
    ScratchFolder scratch{"bids-command"};
    fs::path ds() const { return scratch.path() / "ds"; }
    fs::path out() const { return scratch.path() / "out"; }
    CommandRun bids(const std::string& extra = "") {
        return runOndrift("bids \"" + ds().string() + "\" \"" + out().string() +
                              "\" participant --skip-bids-validation " + extra,
                          scratch);
    }
};

TEST_F(BidsCommand, EveryLayoutAndFieldMapKindIsCorrected) {
    writeDescription(ds());
    // Every kind on the scanner-like field, and the phase-based kinds also on the gentle one.
    std::vector<SubjectStyle> styles(6);
    styles[0] = {.label = "01",
                 .session = "pre",
                 .acq = "fast",
                 .run = "1",
                 .kind = FmapKind::PhaseDifference,
                 .peDirection = 3,
                 .gzip = true,
                 .inheritBoldSidecar = true};
    styles[1] = {.label = "02",
                 .kind = FmapKind::TwoPhases,
                 .peDirection = 4,
                 .gzip = false,
                 .uri = true,
                 .readoutTimeOnly = true};
    styles[2] = {.label = "03",
                 .kind = FmapKind::FieldMapRadPerSecond,
                 .peDirection = 1,
                 .b0Identifier = true};
    styles[3] = {.label = "04",
                 .run = "2",
                 .kind = FmapKind::FieldMapTesla,
                 .peDirection = 2,
                 .gzip = false};
    styles[4] = {.label = "05",
                 .session = "1",
                 .kind = FmapKind::PhaseDifference,
                 .peDirection = 4,
                 .gentle = true};
    styles[5] = {
        .label = "06", .kind = FmapKind::TwoPhases, .peDirection = 3, .uri = true, .gentle = true};
    std::vector<SubjectFiles> subjects;
    for (const auto& s : styles) subjects.push_back(writeSubject(ds(), s));

    const CommandRun run = bids("-j 2");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json description = readJson(out() / "dataset_description.json");
    EXPECT_EQ(description["DatasetType"], "derivative");
    EXPECT_EQ(description["GeneratedBy"][0]["Name"], "ondrift");

    const std::vector<std::string> boldNames = {
        "sub-01/ses-pre/func/sub-01_ses-pre_task-rest_acq-fast_run-1_desc-undistorted_bold",
        "sub-02/func/sub-02_task-rest_desc-undistorted_bold",
        "sub-03/func/sub-03_task-rest_desc-undistorted_bold",
        "sub-04/func/sub-04_task-rest_run-2_desc-undistorted_bold",
        "sub-05/ses-1/func/sub-05_ses-1_task-rest_desc-undistorted_bold",
        "sub-06/func/sub-06_task-rest_desc-undistorted_bold"};
    const std::vector<std::string> fieldMaps = {
        "sub-01/ses-pre/fmap/sub-01_ses-pre_desc-ondrift_fieldmap",
        "sub-02/fmap/sub-02_desc-ondrift_fieldmap",
        "sub-03/fmap/sub-03_desc-ondrift_fieldmap",
        "sub-04/fmap/sub-04_desc-ondrift_fieldmap",
        "sub-05/ses-1/fmap/sub-05_ses-1_desc-ondrift_fieldmap",
        "sub-06/fmap/sub-06_desc-ondrift_fieldmap"};
    for (std::size_t i = 0; i < subjects.size(); ++i) {
        SCOPED_TRACE(boldNames[i]);
        const fs::path bold = out() / (boldNames[i] + ".nii.gz");
        ASSERT_TRUE(fs::exists(bold)) << run.err;
        const double r = reduction(subjects[i], bold);
        std::printf("  %s: error divided by %.2f\n", boldNames[i].c_str(), r);
        EXPECT_GE(r, kRequiredReduction);
        const json sidecar = readJson(out() / (boldNames[i] + ".json"));
        EXPECT_EQ(sidecar["TaskName"], "rest");  // copied, inherited for sub-01
        EXPECT_EQ(sidecar["PhaseEncodingDirection"], bidsDirection(styles[i].peDirection));
        EXPECT_EQ(sidecar["Sources"][0], "bids:raw:" + subjects[i].bold.generic_string());
        EXPECT_TRUE(sidecar["DistortionCorrection"]["Parameters"].contains("BandWidthPE"));
        const json fm = readJson(out() / (fieldMaps[i] + ".json"));
        EXPECT_EQ(fm["Units"], "Hz");
        EXPECT_NE(
            std::find(fm["IntendedFor"].begin(), fm["IntendedFor"].end(), sidecar["Sources"][0]),
            fm["IntendedFor"].end());
        EXPECT_TRUE(fm["B0FieldIdentifier"].is_string());
        // The field map in Hz matches the truth inside the head.
        const NiftiImage hz = readNifti((out() / (fieldMaps[i] + ".nii.gz")).string(), {}, nullptr);
        const Phantom& p = subjects[i].phantom;
        double err = 0, ref = 0;
        for (std::size_t v = 0; v < p.fieldHz.size(); ++v) {
            if (p.evaluationMask[v] == 0) continue;
            err += (hz.data[v] - p.fieldHz[v]) * (hz.data[v] - p.fieldHz[v]);
            ref += p.fieldHz[v] * p.fieldHz[v];
        }
        EXPECT_LT(std::sqrt(err / ref), 0.35);
        EXPECT_TRUE(
            fs::exists(out() / fs::path(boldNames[i]).parent_path() /
                       (fs::path(boldNames[i])
                            .filename()
                            .string()
                            .substr(0, fs::path(boldNames[i]).filename().string().find("desc-")) +
                        "desc-ondrift_pixelshift.nii.gz")));
        const std::string entities = boldNames[i].substr(0, boldNames[i].find("desc-"));
        const json transform =
            readJson(out() / (entities + "from-distorted_to-undistorted_mode-image_xfm.json"));
        EXPECT_EQ(transform["Sources"][0], sidecar["Sources"][0]);
        EXPECT_TRUE(
            fs::exists(out() / (entities + "from-distorted_to-undistorted_mode-image_xfm.nii.gz")));
    }
    // Nothing of the plug-in's projects without --keep-projects.
    for (const auto& e : fs::recursive_directory_iterator(out())) {
        EXPECT_NE(e.path().extension(), ".fmr") << e.path();
        EXPECT_NE(e.path().extension(), ".amr") << e.path();
    }
    EXPECT_FALSE(fs::exists(out() / ".work"));
    const json summary = readJson(out() / "logs" / "ondrift_bids.json");
    EXPECT_EQ(summary["runs"].size(), 6u);
    // One report per run, outside the BIDS tree, and an index page that links every one.
    const std::string index = readText(out() / "reports" / "index.html");
    for (const auto& s : subjects) {
        const std::string report = s.boldStem + "_report.html";
        EXPECT_TRUE(fs::exists(out() / "reports" / report)) << report;
        EXPECT_NE(index.find(report), std::string::npos) << report;
    }
    EXPECT_NE(readText(out() / ".bidsignore").find("reports/"), std::string::npos);

    // A rerun skips what is complete; --overwrite redoes it.
    const auto stamp = fs::last_write_time(out() / (boldNames[1] + ".nii.gz"));
    const CommandRun again = bids("--participant-label sub-02 03");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.err.find("complete already"), std::string::npos);
    EXPECT_EQ(fs::last_write_time(out() / (boldNames[1] + ".nii.gz")), stamp);
    const CommandRun redo = bids("--participant-label 02 --overwrite --keep-projects");
    ASSERT_EQ(redo.exitCode, 0) << redo.err;
    EXPECT_NE(redo.err.find("1 corrected"), std::string::npos) << redo.err;
    EXPECT_TRUE(fs::exists(out() / "projects" / "sub-02_task-rest_bold"));
}

TEST_F(BidsCommand, SameResultAsTheCorrectCommand) {
    writeDescription(ds());
    const SubjectFiles s = writeSubject(ds(), {.label = "01", .peDirection = 4});
    ASSERT_EQ(bids().exitCode, 0);
    const fs::path fmap = ds() / "sub-01" / "fmap";
    const CommandRun correct = runOndrift(
        "correct --phase \"" + (fmap / "sub-01_phasediff.nii.gz").string() + "\" --magnitude \"" +
            (fmap / "sub-01_magnitude1.nii.gz").string() + "\" --epi \"" +
            (ds() / s.bold).string() + "\" --out \"" + (scratch.path() / "single").string() + "\"",
        scratch);
    ASSERT_EQ(correct.exitCode, 0) << correct.err;
    const NiftiImage a =
        readNifti((scratch.path() / "single" / "sub-01_task-rest_bold_undistort.nii.gz").string(),
                  {}, nullptr);
    const NiftiImage b =
        readNifti((out() / "sub-01/func/sub-01_task-rest_desc-undistorted_bold.nii.gz").string(),
                  {}, nullptr);
    EXPECT_EQ(a.data, b.data);
    EXPECT_TRUE(a.geometry.sameGrid(b.geometry, 0.0));

    // Uncompressed derivatives hold the same values under .nii names.
    const fs::path plain = scratch.path() / "plain";
    const CommandRun nii = runOndrift("bids \"" + ds().string() + "\" \"" + plain.string() +
                                          "\" participant --skip-bids-validation --output-type nii",
                                      scratch);
    ASSERT_EQ(nii.exitCode, 0) << nii.err;
    const NiftiImage c = readNifti(
        (plain / "sub-01/func/sub-01_task-rest_desc-undistorted_bold.nii").string(), {}, nullptr);
    EXPECT_EQ(a.data, c.data);
    EXPECT_TRUE(fs::exists(plain / "sub-01/fmap/sub-01_desc-ondrift_fieldmap.nii"));
    EXPECT_TRUE(fs::exists(plain / "sub-01/func/sub-01_task-rest_desc-ondrift_pixelshift.nii"));
}

TEST_F(BidsCommand, BadRunsFailAloneWithClearMessages) {
    writeDescription(ds());
    const SubjectFiles good = writeSubject(ds(), {.label = "good"});
    // A damaged functional image.
    const SubjectFiles damaged = writeSubject(ds(), {.label = "damaged", .gzip = false});
    fs::resize_file(ds() / damaged.bold, fs::file_size(ds() / damaged.bold) / 2);
    // The magnitude stored as the phase difference.
    writeSubject(ds(), {.label = "notphase", .gzip = false});
    fs::copy_file(ds() / "sub-notphase/fmap/sub-notphase_magnitude1.nii",
                  ds() / "sub-notphase/fmap/sub-notphase_phasediff.nii",
                  fs::copy_options::overwrite_existing);
    // Echo times missing from the sidecar.
    writeSubject(ds(), {.label = "noecho"});
    writeJsonFile(ds() / "sub-noecho/fmap/sub-noecho_phasediff.json",
                  {{"IntendedFor", "func/sub-noecho_task-rest_bold.nii.gz"}});
    // Contradictory readout: echo spacing and readout time disagree.
    writeSubject(ds(), {.label = "contra"});
    json bold = readJson(ds() / "sub-contra/func/sub-contra_task-rest_bold.json");
    bold["TotalReadoutTime"] = 0.08;
    writeJsonFile(ds() / "sub-contra/func/sub-contra_task-rest_bold.json", bold);
    // Phase and magnitude on different grids.
    writeSubject(ds(), {.label = "grids"});
    {
        PhantomOptions o = testPhantomOptions(3);
        o.dims = {40, 48, 12};
        const Phantom other = makePhantom(o);
        writeNifti((ds() / "sub-grids/fmap/sub-grids_magnitude1.nii.gz").string(), other.geometry,
                   1, other.magnitude, nullptr);
    }
    // No field map at all, and a field map meant for nothing.
    writeSubject(ds(), {.label = "nofmap"});
    writeJsonFile(ds() / "sub-nofmap/fmap/sub-nofmap_phasediff.json",
                  {{"EchoTime1", 0.00492}, {"EchoTime2", 0.00738}});

    const CommandRun run = bids();
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_TRUE(
        fs::exists(out() / "sub-good/func/sub-good_task-rest_desc-undistorted_bold.nii.gz"));
    const json summary = readJson(out() / "logs" / "ondrift_bids.json");
    std::map<std::string, json> byRun;
    for (const auto& r : summary["runs"]) {
        const std::string path = r["run"].get<std::string>();
        byRun[path.substr(4, path.find('/') - 4)] = r;
    }
    auto expectStatus = [&](const std::string& who, const std::string& status,
                            const std::string& text) {
        SCOPED_TRACE(who);
        ASSERT_TRUE(byRun.count(who));
        const json& r = byRun[who];
        EXPECT_EQ(r["status"], status);
        EXPECT_NE(r["message"].get<std::string>().find(text), std::string::npos) << r["message"];
        EXPECT_NE(run.err.find(text), std::string::npos);
    };
    expectStatus("good", "corrected", "");
    expectStatus("damaged", "failed", "sub-damaged_task-rest_bold.nii");
    expectStatus("notphase", "failed", "looks like a magnitude image");
    expectStatus("noecho", "failed", "missing echo-time difference");
    expectStatus("contra", "failed", "disagree");
    expectStatus("grids", "failed", "grid");
    expectStatus("nofmap", "skipped", "no field map is intended for this run");
    EXPECT_NE(run.err.find("sub-nofmap_phasediff.nii.gz: this field map is intended for no run"),
              std::string::npos);
    // Nothing of a failed run is left in the derivatives.
    EXPECT_FALSE(fs::exists(out() / "sub-damaged" / "func"));
    EXPECT_TRUE(fs::exists(out() / "logs" / "sub-damaged_task-rest_bold.log"));
}

TEST_F(BidsCommand, ValidatorErrorsWarnUnlessStrict) {
    writeDescription(ds());
    writeSubject(ds(), {.label = "01"});
    const std::string args =
        "bids \"" + ds().string() + "\" \"" + out().string() + "\" participant -j 1";
    auto withValidator = [&](const std::string& validator, const std::string& extra = "") {
        const std::string command = "ONDRIFT_BIDS_VALIDATOR=\"" + validator + "\" \"" +
                                    ONDRIFT_EXECUTABLE + "\" " + args + extra + " >/dev/null 2>\"" +
                                    (scratch / "err") + "\"";
        const int status = std::system(command.c_str());
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                              readText(scratch / "err"));
    };
    // A validator that finds errors: said loudly, the runs go on; refused, with nothing written,
    // only when asked to be strict.
    const fs::path failing = scratch.path() / "failing-validator";
    writeText(failing.string(), "#!/bin/sh\necho \"1: [ERR] something is wrong\"\nexit 1\n");
    fs::permissions(failing, fs::perms::owner_all);
    auto [code, err] = withValidator(failing.string());
    EXPECT_EQ(code, 0) << err;
    EXPECT_NE(err.find("something is wrong"), std::string::npos);
    EXPECT_NE(err.find("--strict-validation"), std::string::npos);
    EXPECT_TRUE(fs::exists(out() / "dataset_description.json"));
    fs::remove_all(out());
    std::tie(code, err) = withValidator(failing.string(), " --strict-validation");
    EXPECT_EQ(code, 2);
    EXPECT_NE(err.find("something is wrong"), std::string::npos);
    EXPECT_NE(err.find("--skip-bids-validation"), std::string::npos);
    EXPECT_FALSE(fs::exists(out()));
    // A validator that is not there: said clearly, and the runs go on.
    std::tie(code, err) = withValidator("/nonexistent/bids-validator");
    EXPECT_EQ(code, 0) << err;
    EXPECT_NE(err.find("the BIDS validator is not installed"), std::string::npos);
    // The real one, where the setup installed it, accepts the test data sets.
    const CommandRun real = runOndrift(args + " --overwrite", scratch);
    if (real.err.find("not installed") != std::string::npos) {
        GTEST_SKIP() << "bids-validator is not installed";
    }
    EXPECT_EQ(real.exitCode, 0) << real.err;
}

}  // namespace
