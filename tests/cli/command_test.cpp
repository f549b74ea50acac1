// The command as a user meets it: help texts, exit codes, and bad input refused with one line
// and nothing written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

using namespace ondrift::cli;
using ondrift::testing::CommandRun;
using ondrift::testing::runOndrift;
using ondrift::testing::ScratchFolder;
namespace fs = std::filesystem;

namespace {

/// A small phantom on disk, shared by the tests of this file.
class CommandLine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        scratch_ = new ScratchFolder("command");
        PhantomOptions o;
        o.dims = {24, 24, 8};
        o.volumes = 2;
        files_ = writePhantom(makePhantom(o), (*scratch_) / "in", nullptr);
    }
    static void TearDownTestSuite() {
        delete scratch_;
        scratch_ = nullptr;
    }

    /// Runs `correct` with the given arguments and expects exit 2, a one-line error containing
    /// `expected`, and no output folder.
    void expectRefused(const std::string& args, const std::string& expected) {
        const std::string out = (*scratch_) / "refused-out";
        fs::remove_all(out);
        const CommandRun run = runOndrift("correct " + args + " --out \"" + out + "\"", *scratch_);
        EXPECT_EQ(run.exitCode, 2) << args << "\n" << run.err;
        EXPECT_NE(run.err.find(expected), std::string::npos) << args << "\n" << run.err;
        EXPECT_FALSE(fs::exists(out)) << "something was written for: " << args;
    }

    std::string inputs(bool withSidecars = true) const {
        (void)withSidecars;
        return "--phase \"" + files_.phase + "\" --magnitude \"" + files_.magnitude +
               "\" --epi \"" + files_.bold + "\"";
    }

    static ScratchFolder* scratch_;
    static PhantomFiles files_;
};

ScratchFolder* CommandLine::scratch_ = nullptr;
PhantomFiles CommandLine::files_;

}  // namespace

TEST_F(CommandLine, EverySubcommandHasHelpWithExamples) {
    for (const char* sub : {"correct", "demo", "run", "info"}) {
        const CommandRun run = runOndrift(std::string(sub) + " --help", *scratch_);
        EXPECT_EQ(run.exitCode, 0) << sub;
        EXPECT_NE(run.out.find("Examples"), std::string::npos) << sub << ":\n" << run.out;
    }
    const CommandRun top = runOndrift("--help", *scratch_);
    EXPECT_EQ(top.exitCode, 0);
    EXPECT_NE(top.out.find("Exit codes"), std::string::npos);
}

TEST_F(CommandLine, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runOndrift("", *scratch_).exitCode, 2);
    EXPECT_EQ(runOndrift("frobnicate", *scratch_).exitCode, 2);
    EXPECT_EQ(runOndrift("correct --phase x.nii", *scratch_).exitCode, 2);
    EXPECT_EQ(runOndrift("demo --size medium", *scratch_).exitCode, 2);
    EXPECT_EQ(runOndrift("info \"" + (*scratch_ / "absent.nii") + "\"", *scratch_).exitCode, 2);
}

TEST_F(CommandLine, InfoPrintsTheNiftiHeaderAndSidecar) {
    const CommandRun run = runOndrift("info \"" + files_.bold + "\"", *scratch_);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("24 x 24 x 8, 2 volumes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("PhaseEncodingDirection: \"j\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("first slice centre"), std::string::npos);
}

TEST_F(CommandLine, BadInputIsRefusedAndNothingIsWritten) {
    const std::string dir = (*scratch_) / "bad";
    fs::create_directories(dir);
    // Damaged and foreign files.
    const std::string text = dir + "/text.nii";
    ondrift::testing::writeText(text, std::string(500, 'a'));
    const std::string cut = dir + "/cut.nii.gz";
    fs::copy_file(files_.bold, cut, fs::copy_options::overwrite_existing);
    fs::resize_file(cut, fs::file_size(files_.bold) / 3);
    const std::string mag = "--magnitude \"" + files_.magnitude + "\" ";
    const std::string phase = "--phase \"" + files_.phase + "\" ";
    const std::string bold = "--epi \"" + files_.bold + "\" ";
    expectRefused(phase + mag + "--epi \"" + dir + "/absent.nii.gz\"", "no such file");
    expectRefused("--phase \"" + text + "\" " + mag + bold, "not a NIfTI-1 file");
    expectRefused(phase + mag + "--epi \"" + cut + "\"", "cut.nii.gz");

    // A magnitude on another grid.
    PhantomOptions other;
    other.dims = {20, 24, 8};
    other.volumes = 1;
    const PhantomFiles small = writePhantom(makePhantom(other), dir + "/other", nullptr);
    expectRefused(phase + "--magnitude \"" + small.magnitude + "\" " + bold,
                  "differs from the phase");
    // An EPI on another grid, kept voxel by voxel.
    expectRefused(phase + mag + "--epi \"" + small.bold + "\" --no-map",
                  "--no-map needs the same grid");

    // NaN in the data.
    const NiftiImage m = readNifti(files_.magnitude, {}, nullptr);
    std::vector<float> values = m.data;
    values[3] = std::nanf("");
    const std::string nanMag = dir + "/nan_magnitude.nii.gz";
    writeNifti(nanMag, m.geometry, 1, values, nullptr);
    expectRefused(phase + "--magnitude \"" + nanMag + "\" " + bold, "1 voxels are NaN or infinite");

    // A position record holding a non-finite number, in the functional image's qform (its
    // sform being sound) and in the field map's sform: refused before the plug-in sees them.
    const auto withBadPosition = [&](const std::string& source, std::size_t offset, float value) {
        const NiftiImage image = readNifti(source, {}, nullptr);
        const std::string path = dir + "/bad_position_" + std::to_string(offset) + ".nii";
        writeNifti(path, image.geometry, image.geometry.nt(), image.data, nullptr);
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(reinterpret_cast<const char*>(&value), sizeof value);
        return path;
    };
    constexpr std::size_t kQoffsetY = 272, kSrowZ3 = 324;
    expectRefused(
        phase + mag + "--epi \"" + withBadPosition(files_.bold, kQoffsetY, std::nanf("")) + "\"",
        "invalid position (qform");
    expectRefused(
        "--phase \"" +
            withBadPosition(files_.phase, kSrowZ3, std::numeric_limits<float>::infinity()) + "\" " +
            mag + bold,
        "invalid position (sform: srow_z");

    // Missing and contradictory parameters.
    expectRefused(phase + bold, "missing --magnitude");
    expectRefused(inputs() + " --bandwidth-pe 30 --effective-echo-spacing 0.0005",
                  "give only one of");
    expectRefused(inputs() + " --pe-dir y", "is not one of");
    expectRefused(inputs() + " --map", "--map needs an anatomical image");
    expectRefused(inputs() + " --method gradient", "--method must be");
    expectRefused(inputs() + " --from Smooth", "--from must be");
    expectRefused(inputs() + " --magnitude-scale -2", "--magnitude-scale");

    // Sidecars that contradict themselves, or are missing.
    const std::string bare = dir + "/bare";
    fs::create_directories(bare);
    for (const std::string& f : {files_.phase, files_.magnitude, files_.bold}) {
        fs::copy_file(f, bare + "/" + fs::path(f).filename().string(),
                      fs::copy_options::overwrite_existing);
    }
    const std::string bareInputs =
        "--phase \"" + bare + "/sub-phantom_phasediff.nii.gz\" --magnitude \"" + bare +
        "/sub-phantom_magnitude1.nii.gz\" --epi \"" + bare + "/sub-phantom_task-rest_bold.nii.gz\"";
    expectRefused(bareInputs, "missing phase-encoding direction");
    expectRefused(bareInputs + " --pe-dir j", "missing echo-time difference");
    expectRefused(bareInputs + " --pe-dir j --echo-time-diff 10", "missing bandwidth");
    ondrift::testing::writeText(bare + "/sub-phantom_task-rest_bold.json",
                                R"({"PhaseEncodingDirection": "j", "EffectiveEchoSpacing": 0.0005,
                                    "TotalReadoutTime": 0.05})");
    expectRefused(bareInputs + " --echo-time-diff 10", "disagree");
    ondrift::testing::writeText(bare + "/sub-phantom_phasediff.json",
                                R"({"EchoTime1": 0.01, "EchoTime2": 0.005})");
    expectRefused(bareInputs + " --bandwidth-pe 30", "EchoTime2 must be larger");
    ondrift::testing::writeText(bare + "/sub-phantom_phasediff.json", R"({"EchoTime1": 0.01,)");
    expectRefused(bareInputs + " --bandwidth-pe 30", "not valid JSON");

    // An output folder that is an input.
    const CommandRun run =
        runOndrift("correct " + inputs() + " --out \"" + files_.bold + "\"", *scratch_);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("output folder is an existing file"), std::string::npos) << run.err;
}

TEST_F(CommandLine, TheDemoCorrectsItsPhantom) {
    const CommandRun run = runOndrift("demo --out \"" + ((*scratch_) / "demo") + "\"", *scratch_);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("PASS"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(fs::path((*scratch_) / "demo") / "output/ondrift.json"));
    // A second demo into the same folder replaces the first (everything there is generated).
    EXPECT_EQ(runOndrift("demo -q --out \"" + ((*scratch_) / "demo") + "\"", *scratch_).exitCode,
              0);
}
