// The "Start" command: which picks it asks for and in what order, which steps run, what they
// save, and how failures end the call.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace {

using Kind = ondrift::standin::DialogRecord::Kind;

constexpr const char* kStartPrompt = "Please select the startfile (phase, b0 or pixelshift)";
constexpr const char* kMagnitudePrompt = "Please select the magnitude file";
constexpr const char* kEpiPrompt = "Please select the EPI file";
constexpr const char* kVmrPrompt = "Please select the VMR file:";

class StartCommand : public WorkspaceTest {
protected:
    void SetUp() override {
        WorkspaceTest::SetUp();
        params().setFloat("BandWidthPE", 32.0f);
        params().setFloat("EchoTimeDiff", 2.46f);
        params().setInt("PhaseEncodingDir", 3);
        params().setInt("NrOfIterationsRelax", 5);
    }
    int addFloat(const std::string& name, int volumes, double value, int x = 4, int y = 4,
                 int z = 2) {
        std::vector<double> values(static_cast<std::size_t>(x) * y * z * volumes, value);
        return ws().addFmr((dir / name).string(), x, y, z, volumes, kFmrFloat32, values);
    }

    /// The prompts of the integer dialogs (the picks), each reduced to the prompt line.
    std::vector<std::string> picks() {
        std::vector<std::string> prompts;
        for (const auto& d : session().dialogs) {
            if (d.kind != Kind::IntegerInput) continue;
            const auto start = d.text.find("<HTML>") + 6;
            prompts.push_back(d.text.substr(start, d.text.find("<P>") - start));
        }
        return prompts;
    }
    std::vector<std::string> savedNames() {
        std::vector<std::string> names;
        for (const auto& s : ws().saves()) names.push_back(s.fmrFileName);
        return names;
    }
    void start(const char* procedure, int performAll) {
        params().setString("Procedure", procedure);
        params().setInt("PerformAllSteps", performAll);
        run("Start");
    }
};

TEST_F(StartCommand, ComputeB0AloneSavesTheSmoothedFieldMap) {
    addFloat("p_unwrapped.fmr", 1, 0.5);
    answer(0);
    start("ComputeB0", 0);
    EXPECT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_EQ(picks(), std::vector<std::string>{kStartPrompt});
    EXPECT_EQ(savedNames(), (std::vector<std::string>{(dir / "p_unwrapped_b0.fmr").string(),
                                                      "p_unwrapped_smooth.fmr"}));
    // "EchoTimeDiff" 2.46 ms becomes seconds in single precision: 0.5 cycles → 203.2520238 Hz.
    const double hz = 0.5 * (1.0 / static_cast<double>(2.46f / 1000.0f));
    EXPECT_EQ(ws().saves()[0].values()[0], static_cast<double>(static_cast<float>(hz)));
    EXPECT_NEAR(hz, 203.2520238, 1e-6);
    EXPECT_TRUE(logged("Started field inhomogeneity map creation procedure..."));
    EXPECT_FALSE(logged("Compute pixel shift map..."));
}

TEST_F(StartCommand, FullChainAsksForItsInputsInOrder) {
    addFloat("phase.fmr", 1, 0.3);
    addFloat("magn.fmr", 1, 1000.0);
    addFloat("bold.fmr", 2, 100.0);
    answer(0);
    answer(1);
    answer(2);
    start("Unwrap", 1);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_EQ(picks(), (std::vector<std::string>{kStartPrompt, kMagnitudePrompt, kEpiPrompt}));
    EXPECT_EQ(savedNames(),
              (std::vector<std::string>{"phase_radians.fmr", "phase_unwrapped.fmr",
                                        "phase_unwrapped_masked.fmr", "phase_unwrapped_smooth.fmr",
                                        "phase_unwrapped_b0.fmr",
                                        // not "_smooth" again: that would overwrite the phase
                                        "phase_unwrapped_b0_smooth.fmr",
                                        "phase_unwrapped_pixshift.fmr", "bold_undistort.fmr"}));
    EXPECT_EQ(params().getString("NameUndistortedFile"), "bold_undistort.fmr");
    EXPECT_EQ(session().busyShown, session().busyStopped);
}

TEST_F(StartCommand, MappingAsksForTheVmrBeforeTheEpi) {
    addFloat("shift.fmr", 1, 0.0);
    addFloat("bold.fmr", 1, 100.0);
    answer(0);
    answerCancel();  // the VMR
    answer(1);
    params().setInt("mapFieldmapToFunctional", 1);
    start("Undistort", 0);
    EXPECT_EQ(picks(), (std::vector<std::string>{kStartPrompt, kVmrPrompt, kEpiPrompt}));
    EXPECT_TRUE(logged("Did not obtain VMR data."));
    // Nothing was corrected, so the call is not a success.
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Did not obtain VMR data.");
    EXPECT_TRUE(savedNames().empty());
}

TEST_F(StartCommand, UnknownProcedurePicksAndSucceeds) {
    addFloat("phase.fmr", 1, 0.3);
    answer(0);
    start("unwrap", 1);
    EXPECT_EQ(errorNr(), 0);
    EXPECT_EQ(picks(), std::vector<std::string>{kStartPrompt});
    EXPECT_TRUE(savedNames().empty());
}

TEST_F(StartCommand, PreparationChecksStopEveryStep) {
    ws().addFmr((dir / "int.fmr").string(), 4, 4, 2, 1, kFmrInt16, {});
    answer(0);
    start("ComputeB0", 1);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "An error occurred.");
    EXPECT_TRUE(logged("Datatype of phase and magnitude FMRs should be float."));
    EXPECT_FALSE(logged("Started field inhomogeneity map creation procedure..."));

    ws().clear();
    ws().outputDirectory = dir;
    addFloat("two.fmr", 2, 0.1);
    answer(0);
    start("Undistort", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "An error occurred.");
    EXPECT_TRUE(logged("Magnitude and/or phase data have more than one volume."));
    EXPECT_TRUE(logged(
        "Please create FMR phase/magnitude projects of one volume or select *_FirstVol.fmr."));
    EXPECT_EQ(picks(), std::vector<std::string>{kStartPrompt});
}

TEST_F(StartCommand, MissingInputsEndTheCallWithTheirTexts) {
    addFloat("phase.fmr", 1, 0.3);
    answer(0);
    answerCancel();
    start("Unwrap", 0);
    EXPECT_EQ(errorMsg(), "Stopped unwrapping procedure: no data or status is not ok.");

    answerCancel();
    start("ComputePxshift", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Stopped compute pixelshiftmap procedure: no data or status is not ok.");

    // A pixel shift map that could not be picked must not end in a silent success.
    answerCancel();
    start("Undistort", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("Stopped undistortion procedure"), std::string::npos);

    answer(0);
    answerCancel();
    start("Undistort", 0);
    EXPECT_EQ(errorMsg(), "Stopped undistortion procedure: no data or status is not ok.");
}

TEST_F(StartCommand, AcquisitionParametersAreRefusedBeforeAnythingIsWritten) {
    addFloat("p.fmr", 1, 0.5);
    addFloat("bold.fmr", 1, 100.0);
    params().setFloat("EchoTimeDiff", 0.0f);
    answer(0);
    start("ComputeB0", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("echo"), std::string::npos) << errorMsg();
    EXPECT_TRUE(savedNames().empty());

    params().setFloat("BandWidthPE", std::nanf(""));
    answer(0);
    start("ComputePxshift", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("bandwidth"), std::string::npos) << errorMsg();
    EXPECT_TRUE(savedNames().empty());

    params().setInt("PhaseEncodingDir", 7);
    answer(0);
    answer(1);
    start("Undistort", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("phase-encoding direction"), std::string::npos) << errorMsg();
    EXPECT_TRUE(savedNames().empty());
    EXPECT_EQ(picks(), std::vector<std::string>{kStartPrompt});
}

TEST_F(StartCommand, PhaseAndMagnitudeOfDifferentGridsAreRefused) {
    addFloat("phase.fmr", 1, 0.3, 4, 4, 2);
    addFloat("magn.fmr", 1, 1000.0, 4, 2, 4);
    answer(0);
    answer(1);
    start("Unwrap", 0);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("same grid"), std::string::npos) << errorMsg();
    EXPECT_TRUE(savedNames().empty());
}

TEST_F(StartCommand, OverlongProcedureIsRefused) {
    params().setString("Procedure", std::string(100, 'U'));
    params().setString("Command", "Start");
    session().log.clear();
    ASSERT_TRUE(loader.execute());
    EXPECT_EQ(errorNr(), -1);
    EXPECT_NE(errorMsg().find("\"Procedure\""), std::string::npos);
    EXPECT_TRUE(session().dialogs.empty());
}

}  // namespace
