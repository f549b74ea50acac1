// The multigrid branch of "Start" ("UnwrappingMethod" 1) through the binary interface: the log
// of the unwrapping, the project it saves, the mean match and the accuracy on several wraps.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kX = 32, kY = 16, kZ = 8;

std::size_t at(int x, int y, int z) { return x + kX * (y + static_cast<std::size_t>(kY) * z); }

// Three cycles from trough to crest along x; every step, across the edges too, stays below π.
std::vector<double> truePhase() {
    std::vector<double> v(static_cast<std::size_t>(kX) * kY * kZ);
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x)
                v[at(x, y, z)] = 3 * kPi * std::sin(2 * kPi * x / kX) +
                                 0.7 * std::cos(2 * kPi * y / kY) +
                                 0.4 * std::sin(2 * kPi * z / kZ);
    return v;
}

double wrapToPi(double v) { return v - 2 * kPi * std::floor((v + kPi) / (2 * kPi)); }

// Mean with a float accumulator, as the plug-in forms it.
double floatMean(const std::vector<double>& v) {
    float sum = 0.0f;
    for (const double x : v) sum = static_cast<float>(static_cast<double>(sum) + x);
    return sum / static_cast<float>(v.size());
}

class MultigridStart : public WorkspaceTest {
protected:
    // Opens phase and magnitude, runs "Unwrap" alone and returns the unwrapped project's values.
    std::vector<double> unwrap(const std::vector<double>& phase, int toRadians, int mask) {
        auto& ws = ondrift::standin::workspace();
        ws.addFmr((dir / "fieldmap_phase.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, phase);
        ws.addFmr((dir / "fieldmap_magn.fmr").string(), kX, kY, kZ, 1, kFmrFloat32,
                  std::vector<double>(phase.size(), 800.0));
        params().setInt("UnwrappingMethod", 1);
        params().setInt("NrOfVCycles", 3);
        params().setInt("NrOfIterations", 2);
        params().setInt("PhaseToRadians", toRadians);
        params().setInt("MaskLaplacian", mask);
        params().setString("Procedure", "Unwrap");
        params().setInt("PerformAllSteps", 0);
        answer(0);
        answer(1);
        run("Start");
        EXPECT_EQ(errorNr(), 0) << errorMsg();
        for (const auto& s : ws.saves())
            if (s.fmrFileName == "fieldmap_phase_unwrapped3vcyc2its_smoothed.fmr")
                return s.values();
        ADD_FAILURE() << "the unwrapped project was not saved";
        return {};
    }

    // The entries from "Unwrapping via full multigrid..." up to the unwrapped project's name.
    std::vector<std::string> unwrappingLog() {
        const auto& l = log();
        const auto first = std::find(l.begin(), l.end(), "Unwrapping via full multigrid...");
        const auto last =
            std::find(first, l.end(), "fieldmap_phase_unwrapped3vcyc2its_smoothed.fmr");
        if (first == l.end() || last == l.end()) return {};
        std::vector<std::string> entries;
        for (auto it = first; it != last + 1; ++it)
            entries.push_back(it->rfind("Values of ", 0) == 0 ? it->substr(0, it->find(':')) : *it);
        return entries;
    }
};

}  // namespace

TEST_F(MultigridStart, UnwrapsSeveralWrapsAndMatchesTheInputMean) {
    const std::vector<double> truth = truePhase();
    std::vector<double> wrapped(truth.size());
    for (std::size_t i = 0; i < truth.size(); ++i) wrapped[i] = wrapToPi(truth[i]);
    const std::vector<double> unwrapped = unwrap(wrapped, 0, 0);
    ASSERT_EQ(unwrapped.size(), truth.size());

    const std::vector<std::string> expected = {"Unwrapping via full multigrid...",
                                               "Compute x, y and z gradients...",
                                               "X direction...",
                                               "Y direction...",
                                               "Z direction...",
                                               "Get Laplacian...",
                                               "Add 2nd difference for X...",
                                               "Add 2nd difference for Y...",
                                               "Add 2nd difference for Z...",
                                               "Values of laplacian",
                                               "Remove mean...",
                                               "Values of laplacian, mean removed",
                                               "Solve...",
                                               "Resize...",
                                               "Apply smoothing...",
                                               "fieldmap_phase_unwrapped3vcyc2its_smoothed.fmr"};
    EXPECT_EQ(unwrappingLog(), expected);

    // The level is the wrapped input's mean (float arithmetic, values stored as floats).
    EXPECT_NEAR(floatMean(unwrapped), floatMean(wrapped), 1e-5);
    // The shape is the true phase's: the diagonal 0.0001 shrinks the slowest mode (3π along
    // 32 voxels, eigenvalue 0.0384) by 0.26 %, about 0.025 rad at its crest.
    const double shift = floatMean(unwrapped) - floatMean(truth);
    double worst = 0.0;
    for (std::size_t i = 0; i < truth.size(); ++i)
        worst = std::max(worst, std::fabs(unwrapped[i] - shift - truth[i]));
    EXPECT_LT(worst, 0.04);
    EXPECT_GT(*std::max_element(unwrapped.begin(), unwrapped.end()) -
                  *std::min_element(unwrapped.begin(), unwrapped.end()),
              5 * kPi);
}

TEST_F(MultigridStart, ScannerUnitsAndTheQualityMask) {
    // Scanner units 0…4095 are brought to radians first; the mask enters the log.
    std::vector<double> raw(static_cast<std::size_t>(kX) * kY * kZ);
    const std::vector<double> truth = truePhase();
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = std::round((wrapToPi(truth[i]) + kPi) / (2 * kPi) * 4095.0);
    const std::vector<double> unwrapped = unwrap(raw, 1, 1);
    ASSERT_FALSE(unwrapped.empty());
    const std::vector<std::string> entries = unwrappingLog();
    ASSERT_GT(entries.size(), 10u);
    EXPECT_EQ(entries[9], "Compute and apply quality mask...");
    EXPECT_EQ(entries[10], "Values of mask");
    EXPECT_TRUE(logged("Convert to radians..."));
    // Radians, not scanner units: the mean sits inside [-π, π] and the range spans the wraps.
    EXPECT_LT(std::fabs(floatMean(unwrapped)), kPi);
    EXPECT_GT(*std::max_element(unwrapped.begin(), unwrapped.end()) -
                  *std::min_element(unwrapped.begin(), unwrapped.end()),
              5 * kPi);
}
