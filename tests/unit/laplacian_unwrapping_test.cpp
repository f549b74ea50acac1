// Laplacian unwrapping end to end in-process: gradients, Laplacian, solve, mean match, the log
// and the saved project.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "binding/host_abi.h"
#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "pipeline/kernels/dims.h"
#include "pipeline/laplacian_unwrapping.h"

using namespace ondrift;
namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.141592653589793;

double wrapToPi(double v) { return v - 2 * kPi * std::floor((v + kPi) / (2 * kPi)); }

class LaplacianUnwrapping : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        standin::workspace().quiet = true;
        dir_ = fs::temp_directory_path() /
               ("ondrift_lapl_" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        standin::workspace().outputDirectory = dir_;
    }
    void TearDown() override {
        standin::clearAll();
        fs::remove_all(dir_);
    }

    // A float document of the grid as the current FMR, as after picking the phase.
    void openDocument(Dims d) {
        const int id =
            standin::workspace().addFmr("fieldmap_phase.fmr", d.x, d.y, d.z, 1, kFmrFloat32);
        standin::workspace().setCurrent(id);
    }

    static Image imageOf(Dims d, const std::vector<double>& values, const char* name) {
        Image im(values, d.x, d.y, d.z, 1, 8);
        im.setName(name);
        im.setStatus(Valid);
        return im;
    }

    // f(x, y, z) sampled on the grid.
    template <typename F>
    static std::vector<double> sampled(Dims d, F f) {
        std::vector<double> v(d.voxels());
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y)
                for (int x = 0; x < d.x; ++x) v[d.index(x, y, z)] = f(x, y, z);
        return v;
    }

    static double worstDifference(const std::vector<double>& a, const Image& b) {
        double worst = 0.0;
        for (std::size_t v = 0; v < a.size(); ++v)
            worst = std::max(worst, std::fabs(a[v] - b.getValue(v)));
        return worst;
    }

    static const std::vector<std::string>& log() { return standin::session().log; }

    fs::path dir_;
};

}  // namespace

TEST_F(LaplacianUnwrapping, SmoothPhaseComesBackAsItselfWithTheLogAndTheSave) {
    const Dims d{32, 32, 8};
    openDocument(d);
    // Steps stay below π everywhere, across the volume's edges included.
    const std::vector<double> truth = sampled(d, [&](int x, int y, int z) {
        return 1.5 * std::sin(2 * kPi * x / d.x) * std::cos(2 * kPi * y / d.y) +
               0.5 * std::sin(2 * kPi * z / d.z) + 0.3;
    });
    const Image phase = imageOf(d, truth, "C:\\data\\fieldmap_phase.fmr");
    const Image magnitude;  // not read without the mask

    std::string error;
    const Image result = unwrapPhaseMultigrid(phase, magnitude, false, 4, 4, &error);
    ASSERT_TRUE(result.isValid()) << error;
    EXPECT_LT(worstDifference(truth, result), 0.01);
    EXPECT_NEAR(result.getMean(), phase.getMean(), 1e-6);
    EXPECT_EQ(result.getName(), "fieldmap_phase_unwrapped4vcyc4its_smoothed.fmr");

    const std::vector<std::string> expected = {"Compute x, y and z gradients...",
                                               "X direction...",
                                               "Y direction...",
                                               "Z direction...",
                                               "Get Laplacian...",
                                               "Add 2nd difference for X...",
                                               "Add 2nd difference for Y...",
                                               "Add 2nd difference for Z...",
                                               "Values of laplacian:",
                                               "Remove mean...",
                                               "Values of laplacian, mean removed:",
                                               "Solve...",
                                               "Resize...",
                                               "Apply smoothing...",
                                               "fieldmap_phase_unwrapped4vcyc4its_smoothed.fmr"};
    ASSERT_EQ(log().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(log()[i].substr(0, expected[i].size()), expected[i]) << i;

    const auto& saves = standin::workspace().saves();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].fmrFileName, "fieldmap_phase_unwrapped4vcyc4its_smoothed.fmr");
    const std::vector<double> stored = saves[0].values();
    ASSERT_EQ(stored.size(), truth.size());
    for (std::size_t v = 0; v < stored.size(); ++v)
        EXPECT_EQ(stored[v], static_cast<double>(static_cast<float>(result.getValue(v))));
}

TEST_F(LaplacianUnwrapping, PhaseWithSeveralWrapsIsUnwrapped) {
    // Four cycles from trough to crest along x, tilted along y and z. Each term is a Fourier
    // mode of the periodic stencil, so the solver's answer is known exactly: the diagonal
    // 0.0001 shrinks a mode of eigenvalue e by e / (e + 0.0001) (about 1 % for the slowest).
    const Dims d{64, 32, 16};
    openDocument(d);
    const auto shrink = [](int n) {
        const double e = 2 - 2 * std::cos(2 * kPi / n);
        return e / (e + 0.0001);
    };
    const auto modes = [&](int x, int y, int z, double fx, double fy, double fz) {
        return fx * 4 * kPi * std::sin(2 * kPi * x / d.x) + fy * 1.2 * std::cos(2 * kPi * y / d.y) +
               fz * 0.8 * std::sin(2 * kPi * z / d.z);
    };
    const std::vector<double> truth =
        sampled(d, [&](int x, int y, int z) { return modes(x, y, z, 1, 1, 1); });
    const std::vector<double> solved = sampled(d, [&](int x, int y, int z) {
        return modes(x, y, z, shrink(d.x), shrink(d.y), shrink(d.z));
    });
    std::vector<double> wrapped(truth.size());
    for (std::size_t v = 0; v < truth.size(); ++v) wrapped[v] = wrapToPi(truth[v]);
    const Image phase = imageOf(d, wrapped, "fieldmap_phase.fmr");
    // A bright magnitude everywhere: the quality mask keeps the whole Laplacian.
    const Image magnitude = imageOf(d, std::vector<double>(truth.size(), 500.0), "mag.fmr");

    const Image result = unwrapPhaseMultigrid(phase, magnitude, true, 6, 4);
    ASSERT_TRUE(result.isValid());
    // The modes are mean-free; compare after taking the result's mean off.
    double meanResult = 0.0;
    for (std::size_t v = 0; v < truth.size(); ++v) meanResult += result.getValue(v);
    meanResult /= static_cast<double>(truth.size());
    double worst = 0.0, worstToTruth = 0.0;
    for (std::size_t v = 0; v < truth.size(); ++v) {
        worst = std::max(worst, std::fabs(result.getValue(v) - meanResult - solved[v]));
        worstToTruth =
            std::max(worstToTruth, std::fabs(result.getValue(v) - meanResult - truth[v]));
    }
    EXPECT_LT(worst, 1e-4);
    EXPECT_LT(worstToTruth, 0.15);
    // The mean is the wrapped input's, not the truth's.
    EXPECT_NEAR(result.getMean(), phase.getMean(), 1e-6);
    EXPECT_EQ(log()[8], "Compute and apply quality mask...");
    EXPECT_EQ(log()[9].rfind("Values of mask:", 0), 0u);
}

TEST_F(LaplacianUnwrapping, WrappedDifferencesAreCircularAndIgnoreWholeTurns) {
    // A ramp wrapping once along x: every gradient is the true step + 2π, except across the
    // volume's edge; the Laplacian is 0 away from the first and last column.
    const Dims d{8, 3, 2};
    const std::vector<double> ramp = sampled(d, [](int x, int, int) { return wrapToPi(1.0 * x); });
    const Image phase = imageOf(d, ramp, "p.fmr");
    const Image gx = wrappedGradient(phase, kGradientX);
    const Image gy = wrappedGradient(phase, kGradientY);
    const Image gz = wrappedGradient(phase, kGradientZ);
    for (std::size_t v = 0; v < ramp.size(); ++v) {
        EXPECT_GE(gx.getValue(v), 3.14159265358979);
        EXPECT_LT(gx.getValue(v), 3 * 3.14159265358979);
        EXPECT_NEAR(gy.getValue(v), 2 * kPi, 1e-12);
    }
    EXPECT_NEAR(gx.getValue(0, 1, 1), 2 * kPi - 1.0, 1e-12);
    // The last column's successor is column 0: the step from 7 − 2π to 0, plus 2π.
    EXPECT_NEAR(gx.getValue(7, 1, 1), (7.0 - 2 * kPi) + 2 * kPi, 1e-12);
    const Image lap = wrappedLaplacian(gx, gy, gz);
    ASSERT_TRUE(lap.isValid());
    for (int x = 1; x < d.x - 1; ++x) EXPECT_NEAR(lap.getValue(x, 2, 1), 0.0, 1e-12) << x;
    EXPECT_GT(std::fabs(lap.getValue(0, 0, 0)), 0.5);

    EXPECT_FALSE(wrappedGradient(phase, 2).isValid());
    EXPECT_EQ(log().back(), "Unknown gradient direction.");
}

TEST_F(LaplacianUnwrapping, MaskAndMeans) {
    const Dims d{4, 1, 1};
    Image image = imageOf(d, {1.0, 2.0, 3.0, 6.0}, "a.fmr");
    const Image mask = qualityMask(imageOf(d, {200.0, 200.5, 0.0, 900.0}, "m.fmr"));
    EXPECT_TRUE(multiplyByMask(image, mask));
    EXPECT_EQ(image.getValue(std::size_t{0}), 0.0);
    EXPECT_EQ(image.getValue(std::size_t{1}), 2.0);
    EXPECT_EQ(image.getValue(std::size_t{3}), 6.0);
    Image other = imageOf({3, 1, 1}, {1.0, 1.0, 1.0}, "b.fmr");
    EXPECT_FALSE(multiplyByMask(other, mask));
    EXPECT_EQ(other.getValue(std::size_t{0}), 1.0);

    EXPECT_TRUE(removeMean(image));  // {0, 2, 0, 6} - 2
    EXPECT_EQ(image.getValue(std::size_t{3}), 4.0);
    const Image reference = imageOf(d, {0.1, 0.2, 0.3, 0.4}, "r.fmr");
    EXPECT_TRUE(matchMean(reference, image));
    EXPECT_FLOAT_EQ(image.getMean(), reference.getMean());
    Image invalid;
    EXPECT_FALSE(removeMean(invalid));
    EXPECT_FALSE(matchMean(reference, invalid));
}

TEST_F(LaplacianUnwrapping, FailuresAreReportedAndNothingIsSaved) {
    const Dims d{6, 4, 2};
    // A phase that is not valid: no log entry at all.
    Image notValid = imageOf(d, std::vector<double>(d.voxels(), 0.0), "p.fmr");
    notValid.setStatus(NotObtained);
    std::string error;
    EXPECT_EQ(unwrapPhaseMultigrid(notValid, Image{}, false, 2, 2, &error).getStatus(), Failed);
    EXPECT_TRUE(log().empty());
    EXPECT_FALSE(error.empty());

    // Valid but without its voxels: each gradient refuses, then the whole step.
    Image empty;
    empty.assign(6, 4, 2, 1, {}, "p.fmr", 8);
    empty.setStatus(Valid);
    EXPECT_EQ(unwrapPhaseMultigrid(empty, Image{}, false, 2, 2, &error).getStatus(), Failed);
    const std::vector<std::string> refused = {"Compute x, y and z gradients...", "Unvalid image.",
                                              "Unvalid image.", "Unvalid image.", "Data invalid."};
    EXPECT_EQ(log(), refused);
    EXPECT_EQ(error, "Data invalid.");

    // An extent the hierarchy cannot bring down to one voxel.
    const Image tooLong = imageOf({40000, 1, 1}, std::vector<double>(40000, 0.0), "l.fmr");
    const Image solved = solveMultigrid(tooLong, 1, 1, &error);
    EXPECT_EQ(solved.getStatus(), Failed);
    EXPECT_NE(error.find("40000 x 1 x 1"), std::string::npos) << error;
    EXPECT_EQ(log().back(), error);

    // No current FMR: the project cannot be saved, so the result is not reported as usable.
    standin::session().log.clear();
    const Image phase = imageOf(d, std::vector<double>(d.voxels(), 0.25), "p.fmr");
    const Image result = unwrapPhaseMultigrid(phase, Image{}, false, 0, -1, &error);
    EXPECT_EQ(result.getStatus(), Failed);
    EXPECT_EQ(result.getName(), "p_unwrapped0vcyc-1its_smoothed.fmr");
    EXPECT_NE(error.find("p_unwrapped0vcyc-1its_smoothed.fmr"), std::string::npos);
    EXPECT_TRUE(standin::workspace().saves().empty());
}
