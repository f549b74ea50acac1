// "Start" with the two parameters beyond the documented chain, through the binary interface: a
// field with a shim gradient that is not periodic across the grid, which the documented
// Laplacian unwrapping cannot recover, and bad inputs that must fail clearly.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace {

constexpr double kTwoPi = 6.28318530717958;
constexpr int kX = 40, kY = 36, kZ = 8;
constexpr double kEchoTimeDiffMs = 2.46;
constexpr double kBandwidth = 25.0;  // Hz per voxel along y

std::size_t at(int x, int y, int z) { return x + kX * (y + static_cast<std::size_t>(kY) * z); }

struct Scene {
    std::vector<double> magnitude, shift, phase, truth, distorted;
    std::vector<bool> inner;
};

/// A head of 1000 with a dark background of 50; the field rises 2.2 cycles across x and has a
/// lobe at the front; the series is distorted along +y.
Scene scene() {
    Scene s;
    const std::size_t n = static_cast<std::size_t>(kX) * kY * kZ;
    s.magnitude.assign(n, 50.0);
    s.shift.assign(n, 0.0);
    s.phase.assign(n, 0.0);
    s.inner.assign(n, false);
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const double u = (x - 19.5) / 15.0, v = (y - 17.5) / 14.0, w = (z - 3.5) / 6.0;
                const double hz = 2.2 / (kEchoTimeDiffMs / 1000.0) * (x - 19.5) / kX +
                                  150.0 * std::exp(-(u * u / 0.2 + (v - 0.6) * (v - 0.6) / 0.08));
                const double r = u * u + v * v + w * w;
                if (r < 1.0) s.magnitude[at(x, y, z)] = 1000.0;
                s.inner[at(x, y, z)] = r < 0.5;
                s.shift[at(x, y, z)] = hz / kBandwidth;
                const double phi = kTwoPi * hz * kEchoTimeDiffMs / 1000.0;
                s.phase[at(x, y, z)] = phi - kTwoPi * std::floor(phi / kTwoPi + 0.5);
            }
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                auto signal = [&](double yy) {
                    return 300.0 + 100.0 * std::sin(0.5 * x) * std::cos(0.45 * yy);
                };
                s.truth.push_back(signal(y));
                // Solve y' + shift(y') = y along the row by fixed-point steps (shift is smooth).
                double p = y;
                for (int it = 0; it < 30; ++it) {
                    const int yi = std::clamp(static_cast<int>(std::lround(p)), 0, kY - 1);
                    p = y - s.shift[at(x, yi, z)];
                }
                s.distorted.push_back(signal(p));
            }
    return s;
}

class CongruentStart : public WorkspaceTest {
protected:
    /// Runs the chain; returns the rms error of the corrected series inside the head relative
    /// to that of the distorted one (0 when nothing was corrected).
    double chain(const Scene& s, int congruent, int conditioning) {
        ws().addFmr((dir / "phase.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, s.phase);
        ws().addFmr((dir / "magnitude.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, s.magnitude);
        ws().addFmr((dir / "bold.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, s.distorted);
        params().setInt("UnwrappingMethod", 1);
        params().setInt("NrOfVCycles", 2);
        params().setInt("NrOfIterations", 4);
        params().setInt("MaskLaplacian", 1);
        params().setFloat("BandWidthPE", static_cast<float>(kBandwidth));
        params().setFloat("EchoTimeDiff", static_cast<float>(kEchoTimeDiffMs));
        params().setInt("PhaseEncodingDir", 3);
        params().setString("Procedure", "Unwrap");
        params().setInt("PerformAllSteps", 1);
        params().setInt("CongruentUnwrapping", congruent);
        params().setInt("FieldMapConditioning", conditioning);
        for (int pick : {0, 1, 2}) answer(pick);
        run("Start");
        if (errorNr() != 0 || ws().saves().empty()) return 0.0;
        const std::vector<double> corrected = ws().saves().back().values();
        double before = 0, after = 0;
        for (std::size_t i = 0; i < s.inner.size(); ++i) {
            if (!s.inner[i]) continue;
            before += (s.distorted[i] - s.truth[i]) * (s.distorted[i] - s.truth[i]);
            after += (corrected[i] - s.truth[i]) * (corrected[i] - s.truth[i]);
        }
        return std::sqrt(after / before);
    }
    bool loggedPart(const std::string& text) {
        for (const auto& e : log())
            if (e.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(CongruentStart, AShimGradientIsRecoveredOnlyWithTheNewParameters) {
    const Scene s = scene();
    const double documented = chain(s, 0, 0);
    EXPECT_FALSE(loggedPart("congruent"));
    EXPECT_TRUE(logged("Apply 3x3 smoothing kernel..."));
    ondrift::standin::clearAll();
    session().version = {2, 6, 0};
    session().dialogMode = ondrift::standin::DialogMode::Scripted;
    ws().quiet = true;
    ws().outputDirectory = dir;
    const double congruent = chain(s, 1, 1);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_TRUE(logged("Make the unwrapped phase congruent with the wrapped phase..."));
    EXPECT_TRUE(loggedPart("Voxels that changed cycle: "));
    EXPECT_TRUE(logged("Apply 3x3 smoothing inside the magnitude mask..."));
    EXPECT_TRUE(logged("Extrapolate beyond the magnitude mask..."));
    EXPECT_TRUE(logged("Field map conditioned: no 3x3 smoothing."));
    EXPECT_GT(documented, 0.5) << "the torus loses the gradient";
    EXPECT_GT(congruent, 0.0);
    EXPECT_LT(congruent, 0.2) << "documented " << documented;
}

TEST_F(CongruentStart, QuadraticConditioningExtrapolatesFirstThenSmoothsEveryVoxel) {
    const double error = chain(scene(), 1, 4);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    std::size_t extrapolated = 0, smoothed = 0;
    for (std::size_t i = 0; i < log().size(); ++i) {
        if (log()[i] == "Extrapolate beyond the magnitude mask...") extrapolated = i;
        if (log()[i] == "Apply 7-point quadratic smoothing along each axis...") smoothed = i;
    }
    EXPECT_GT(extrapolated, 0u);
    EXPECT_GT(smoothed, extrapolated) << "masked-out zeros would reach the edge of the head";
    EXPECT_FALSE(loggedPart("inside the magnitude mask"));
    EXPECT_TRUE(logged("Field map conditioned: no 3x3 smoothing."));
    EXPECT_GT(error, 0.0);
    EXPECT_LT(error, 0.2);
}

TEST_F(CongruentStart, TheFieldEstimateReplacesFillAndSmoothingInOneStep) {
    // Noise-free: the estimate must hold the field (the lobe of 150 Hz included) as well as the
    // conditionings that keep every measured voxel, with no fill or smoothing pass of its own.
    const double error = chain(scene(), 1, 5);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_TRUE(loggedPart("Field estimate:"));
    EXPECT_FALSE(logged("Extrapolate beyond the magnitude mask..."));
    EXPECT_TRUE(logged("Field map conditioned: no 3x3 smoothing."));
    EXPECT_GT(error, 0.0);
    EXPECT_LT(error, 0.2);
}

TEST_F(CongruentStart, AMagnitudeWithoutSignalStopsWithAClearMessage) {
    Scene s = scene();
    for (double& m : s.magnitude) m = 100.0;
    chain(s, 1, 1);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(),
              "Stopped congruent unwrapping: no voxel of the magnitude image is above the mask "
              "threshold (200).");
}

TEST_F(CongruentStart, AnUnknownConditioningStopsWithAClearMessage) {
    chain(scene(), 0, 7);
    EXPECT_EQ(errorNr(), -1);
    EXPECT_EQ(errorMsg(), "Stopped field map conditioning: unknown conditioning 7.");
}

}  // namespace
