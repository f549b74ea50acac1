// The named pipeline steps in-process against the stand-in host: logs, names, saved values,
// host parameters, and the refusals and failed saves that must reach the caller.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "pipeline/field_conditioning.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/mask.h"
#include "pipeline/phase_preparation.h"
#include "pipeline/smoothing.h"
#include "pipeline/undistortion.h"
#include "pipeline/value_maps.h"

using namespace ondrift;
namespace fs = std::filesystem;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class PipelineSteps : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bindHostFunctions());
        standin::clearAll();
        ws().quiet = true;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("ondrift_steps_") + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        previous_ = fs::current_path();
        fs::current_path(dir_);  // AMR files go beside the image's (bare) name
        ws().outputDirectory = dir_;
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
        standin::clearAll();
    }

    static standin::Workspace& ws() { return standin::workspace(); }
    static standin::Session& session() { return standin::session(); }
    static const std::vector<std::string>& log() { return session().log; }
    static standin::ParameterStore& params() { return session().parameters; }

    /// A container as a loader makes it, and a current float document of the same geometry
    /// for the saves to go through.
    static Image image(const std::string& name, int x, int y, int z, int volumes,
                       std::vector<double> values) {
        const int doc = ws().addFmr(name, x, y, z, volumes, kFmrFloat32, values);
        ws().setCurrent(doc);
        Image im(std::move(values), x, y, z, volumes, 8);
        im.setName(name);
        im.setStatus(Valid);
        return im;
    }
    static std::vector<double> ramp(std::size_t n, double step = 1.0, double start = 0.0) {
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<double>(i);
        return v;
    }
    /// Makes every later save fail: the output directory lies under a regular file.
    void blockSaves() {
        std::ofstream(dir_ / "blocker") << "x";
        ws().outputDirectory = dir_ / "blocker" / "out";
    }
    bool exists(const std::string& file) const { return fs::exists(dir_ / file); }

    fs::path dir_;
    fs::path previous_;
};

AcquisitionParameters acquisition(double bandWidth, double echoTimeDiff, int direction,
                                  int applyTwoPi = 0) {
    AcquisitionParameters p;
    p.bandWidthPE = bandWidth;
    p.echoTimeDiff = echoTimeDiff;
    p.phaseEncodingDir = direction;
    p.applyTwoPi = applyTwoPi;
    return p;
}

}  // namespace

TEST_F(PipelineSteps, FieldMapFromFirstVolume) {
    const Image phase = image("p_unwrapped.fmr", 3, 2, 2, 2, ramp(24, 0.25, -1.0));
    const double echoTimeDiff = static_cast<double>(2.46f / 1000.0f);
    std::string error;
    const Image map = computeFieldMap(phase, acquisition(32.0, echoTimeDiff, 1), &error);
    EXPECT_EQ(map.getStatus(), Valid);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(map.getName(), "p_unwrapped.fmr");
    ASSERT_EQ(map.getNrOfVolumes(), 2);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(map.getValue(i), (1.0 / echoTimeDiff) * phase.getValue(i)) << i;
        EXPECT_EQ(map.getValue(12 + i), 0.0) << "only the first volume is computed";
    }
    ASSERT_EQ(log().size(), 3u);
    EXPECT_EQ(log()[0], "Compute field inhomogeneity...");
    EXPECT_EQ(log()[1], map.statisticsText("field inhomogeneity map (Hz)"));
    EXPECT_EQ(log()[2], "p_unwrapped_b0.fmr");
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "p_unwrapped_b0.fmr");
    EXPECT_EQ(ws().saves()[0].result, 1);
    EXPECT_FLOAT_EQ(static_cast<float>(ws().saves()[0].values()[1]),
                    static_cast<float>((1.0 / echoTimeDiff) * -0.75));
    EXPECT_TRUE(exists("p_unwrapped_b0.amr"));
}

TEST_F(PipelineSteps, FieldMapRefusesAnEchoTimeDifferenceOfZeroOrNotFinite) {
    const Image phase = image("p.fmr", 2, 2, 1, 1, {0.5, 1.0, 1.5, 2.0});
    for (const double echoTimeDiff : {0.0, -0.0, kInf, kNaN}) {
        session().clearRecords();
        std::string error;
        const Image map = computeFieldMap(phase, acquisition(32.0, echoTimeDiff, 1), &error);
        EXPECT_EQ(map.getStatus(), Failed);
        EXPECT_NE(error.find("\"EchoTimeDiff\""), std::string::npos) << error;
        EXPECT_EQ(log().back(), error);
        // The caller may still read the result's statistics safely.
        EXPECT_EQ(map.bufferSize(), static_cast<std::size_t>(map.getNrOfVoxels()));
    }
    EXPECT_TRUE(ws().saves().empty());
    EXPECT_FALSE(exists("p_b0.amr"));
}

TEST_F(PipelineSteps, FieldMapThatCannotBeSavedIsFailed) {
    const Image phase = image("p.fmr", 2, 1, 1, 1, {0.5, 1.0});
    blockSaves();
    std::string error;
    const Image map = computeFieldMap(phase, acquisition(32.0, 0.002, 1), &error);
    EXPECT_EQ(map.getStatus(), Failed);
    EXPECT_EQ(error, "The field map could not be saved as p_b0.fmr.");
    EXPECT_EQ(map.getValue(1), 500.0);
}

TEST_F(PipelineSteps, PixelShiftMap) {
    fs::create_directories(dir_ / "dir");
    const Image field = image("dir/p_unwrapped.fmr", 2, 2, 1, 1, {64.0, -64.0, 10.0, 0.0});
    std::string error;
    Image shift = computePixelShiftMap(field, acquisition(32.0, 0.002, 1, 0), &error);
    EXPECT_EQ(shift.getStatus(), Valid);
    EXPECT_EQ(shift.getValue(0), 2.0);
    EXPECT_EQ(shift.getValue(1), -2.0);
    EXPECT_EQ(shift.getValue(2), 0.3125);
    ASSERT_EQ(log().size(), 4u);
    EXPECT_EQ(log()[0], "Compute pixel shift map...");
    EXPECT_EQ(log()[1], field.statisticsText("field inhomogeneity map (Hz)"));
    EXPECT_EQ(log()[2], shift.statisticsText("pixelshift map"));
    EXPECT_EQ(log()[3], "p_unwrapped_pixshift.fmr");
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "p_unwrapped_pixshift.fmr");
    EXPECT_TRUE(exists("dir/p_unwrapped_pixshift.amr"));

    shift = computePixelShiftMap(field, acquisition(32.0, 0.002, 1, 1), &error);
    EXPECT_NEAR(shift.getValue(0), 0.3183098, 1e-7);
    EXPECT_EQ(shift.getValue(0), 64.0 / (6.28318530717958 * 32.0));
}

TEST_F(PipelineSteps, PixelShiftRefusesABandwidthOfZeroOrNotFinite) {
    const Image field = image("p.fmr", 2, 1, 1, 1, {64.0, 1.0});
    for (const double bandWidth : {0.0, kNaN, -kInf}) {
        std::string error;
        const Image shift = computePixelShiftMap(field, acquisition(bandWidth, 0.002, 1), &error);
        EXPECT_EQ(shift.getStatus(), Failed);
        EXPECT_NE(error.find("\"BandWidthPE\""), std::string::npos) << error;
    }
    EXPECT_TRUE(ws().saves().empty());

    blockSaves();
    std::string error;
    const Image shift = computePixelShiftMap(field, acquisition(32.0, 0.002, 1), &error);
    EXPECT_EQ(shift.getStatus(), Failed);
    EXPECT_EQ(error, "The pixel shift map could not be saved as p_pixshift.fmr.");
}

TEST_F(PipelineSteps, UndistortEveryVolume) {
    // 4 volumes of 4×3×2; a shift of +1 along x takes each voxel's right-hand neighbour.
    const std::vector<double> values = ramp(96, 1.5, 2.0);
    Image epi = image("C:\\data\\run1.fmr", 4, 3, 2, 4, values);
    Image shift(std::vector<double>(24, 1.0), 4, 3, 2, 1, 8);
    shift.setStatus(Valid);
    params().setString("NameUndistortedFile", "old");
    std::string error;
    ASSERT_TRUE(undistortEPI(epi, shift, acquisition(32.0, 0.002, 1), &error)) << error;
    for (int t = 0; t < 4; ++t) {
        for (int z = 0; z < 2; ++z) {
            for (int y = 0; y < 3; ++y) {
                for (int x = 0; x < 4; ++x) {
                    const int from = x + 1 < 4 ? x + 1 : 3;  // the last column clamps
                    EXPECT_DOUBLE_EQ(epi.getValue(x, y, z, t), values[epi.index(from, y, z, t)]);
                }
            }
        }
    }
    EXPECT_EQ(params().getString("NameUndistortedFile"), "run1_undistort.fmr");
    ASSERT_EQ(log().size(), 4u);
    EXPECT_EQ(log()[0], "Undistort in direction: +x (right to left)");
    EXPECT_NE(log()[1].find("Values of distorted data:"), std::string::npos);
    EXPECT_EQ(log()[2], "run1_undistort.fmr");
    EXPECT_EQ(log()[3], epi.statisticsText("undistorted data"));
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].volumes, 4);
    EXPECT_EQ(ws().saves()[0].volumeValues(3)[0],
              static_cast<double>(static_cast<float>(values[epi.index(1, 0, 0, 3)])));
}

TEST_F(PipelineSteps, UndistortRefusesBadDirectionAndForeignGrid) {
    const std::vector<double> values = ramp(8);
    Image epi = image("run1.fmr", 2, 2, 2, 1, values);
    Image shift(std::vector<double>(8, 0.5), 2, 2, 2, 1, 8);
    params().setString("NameUndistortedFile", "old");
    for (const int code : {0, 7, -3}) {
        session().log.clear();
        std::string error;
        EXPECT_FALSE(undistortEPI(epi, shift, acquisition(32.0, 0.002, code), &error));
        EXPECT_NE(error.find("\"PhaseEncodingDir\""), std::string::npos) << error;
        ASSERT_EQ(log().size(), 1u) << "refused before any work";
    }
    Image other(std::vector<double>(8, 0.5), 4, 2, 1, 1, 8);
    std::string error;
    EXPECT_FALSE(undistortEPI(epi, other, acquisition(32.0, 0.002, 3), &error));
    EXPECT_EQ(error,
              "The pixel shift map (4 x 2 x 1) does not lie on the EPI's grid (2 x 2 x 2): "
              "nothing was undistorted.");
    EXPECT_EQ(std::vector<double>(epi.getData(), epi.getData() + 8), values);
    EXPECT_TRUE(ws().saves().empty());
    EXPECT_EQ(params().getString("NameUndistortedFile"), "old");
}

TEST_F(PipelineSteps, UndistortThatCannotBeSavedFails) {
    Image epi = image("run1.fmr", 2, 2, 1, 1, {1.0, 2.0, 3.0, 4.0});
    Image shift(std::vector<double>(4, 0.0), 2, 2, 1, 1, 8);
    params().setString("NameUndistortedFile", "old");
    blockSaves();
    std::string error;
    EXPECT_FALSE(undistortEPI(epi, shift, acquisition(32.0, 0.002, 2), &error));
    EXPECT_EQ(error, "Undistortion procedure did not succeed.");
    EXPECT_EQ(params().getString("NameUndistortedFile"), "old");
    EXPECT_FALSE(exists("run1_undistort.amr"));
}

TEST_F(PipelineSteps, CopyVolumeNeedsTheSameGrid) {
    Image a(ramp(8), 2, 2, 1, 2, 8);
    Image b(std::vector<double>(8, 0.0), 2, 2, 1, 2, 8);
    Image c(std::vector<double>(8, 0.0), 4, 1, 1, 2, 8);
    EXPECT_TRUE(copyVolume(a, b, 1, 0));
    EXPECT_EQ(std::vector<double>(b.getData(), b.getData() + 4), (std::vector<double>{4, 5, 6, 7}));
    EXPECT_FALSE(copyVolume(a, c, 0, 0));
    EXPECT_FALSE(copyVolume(a, b, 2, 0));
    EXPECT_FALSE(copyVolume(a, b, 0, -1));
}

TEST_F(PipelineSteps, ConvolveSlicesLogsAndKeepsSlicesApart) {
    // A bright voxel in slice 1 of volume 1 spreads over its 3×3 neighbourhood only.
    Image im(std::vector<double>(5 * 5 * 2 * 2, 0.0), 5, 5, 2, 2, 8);
    im.setValue(2, 2, 1, 1, 9.0);
    ASSERT_TRUE(convolveSlices(2, im, false));
    ASSERT_EQ(log().size(), 3u);
    EXPECT_EQ(log()[0],
              "ondrift > Smooth: \n\t0.111111\t0.111111\t0.111111\n\t0.111111\t0.111111"
              "\t0.111111\n\t0.111111\t0.111111\t0.111111");
    EXPECT_EQ(log()[1], "...convolution kernel.");
    EXPECT_EQ(log()[2], "Start convolution...");
    EXPECT_EQ(session().busyShown, 1);
    EXPECT_EQ(session().busyStopped, 1);
    for (int t = 0; t < 2; ++t)
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 5; ++y)
                for (int x = 0; x < 5; ++x) {
                    const bool lit = t == 1 && z == 1 && x >= 1 && x <= 3 && y >= 1 && y <= 3;
                    EXPECT_EQ(im.getValue(x, y, z, t), lit ? 9.0 * 0.1111111119389534 : 0.0);
                }
    EXPECT_FALSE(convolveSlices(5, im));
    EXPECT_EQ(session().busyShown, 1);
}

TEST_F(PipelineSteps, MaskAndApplyMask) {
    const Image magnitude = image("magn.fmr", 2, 2, 1, 1, {200.0, 200.5, 10.0, 5000.0});
    const Image mask = createMask(magnitude, 200.0, 4000.0);
    EXPECT_EQ(std::vector<double>(mask.getData(), mask.getData() + 4),
              (std::vector<double>{0.0, 4000.0, 0.0, 4000.0}));
    EXPECT_EQ(mask.getNrOfVolumes(), 1);
    EXPECT_EQ(log().back(), mask.statisticsText("mask"));

    session().log.clear();
    Image phase(std::vector<double>{1.5, -2.5, 3.5, 0.25}, 2, 2, 1, 1, 8);
    phase.setName("p_unwrapped.fmr");
    std::string error;
    ASSERT_TRUE(applyMask(phase, magnitude, 200.0, 4000.0, &error)) << error;
    EXPECT_EQ(std::vector<double>(phase.getData(), phase.getData() + 4),
              (std::vector<double>{0.0, -2.5, 0.0, 0.25}));
    ASSERT_EQ(log().size(), 2u);
    EXPECT_EQ(log()[1], "p_unwrapped_masked.fmr");
    ASSERT_EQ(ws().saves().size(), 1u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "p_unwrapped_masked.fmr");
    EXPECT_TRUE(exists("magnmask.amr"));  // the mask carries the magnitude's name
    EXPECT_TRUE(exists("p_unwrapped_masked.amr"));
}

TEST_F(PipelineSteps, ApplyMaskRefusesAnotherGridAndReportsAFailedSave) {
    const Image magnitude = image("magn.fmr", 2, 2, 1, 1, {300.0, 300.0, 300.0, 300.0});
    Image bigger(std::vector<double>(8, 1.0), 2, 2, 2, 1, 8);
    Image twoVolumes(std::vector<double>(8, 1.0), 2, 2, 1, 2, 8);
    for (Image* im : {&bigger, &twoVolumes}) {
        std::string error;
        EXPECT_FALSE(applyMask(*im, magnitude, 200.0, 4000.0, &error));
        EXPECT_NE(error.find("does not match"), std::string::npos) << error;
        EXPECT_EQ(std::vector<double>(im->getData(), im->getData() + 8),
                  std::vector<double>(8, 1.0));
    }
    EXPECT_TRUE(ws().saves().empty());

    blockSaves();
    Image phase(std::vector<double>(4, 1.0), 2, 2, 1, 1, 8);
    phase.setName("p.fmr");
    std::string error;
    EXPECT_FALSE(applyMask(phase, magnitude, 200.0, 4000.0, &error));
    EXPECT_EQ(error, "The masked image could not be saved as p_masked.fmr.");
}

TEST_F(PipelineSteps, ScaleToRadiansAndCycles) {
    Image im(std::vector<double>{0.0, 1000.0, 4095.0}, 3, 1, 1, 1, 8);
    scaleToRadians(im);
    EXPECT_DOUBLE_EQ(im.getValue(0), -3.14159265358979);
    EXPECT_DOUBLE_EQ(im.getValue(2), 3.14159265358979);
    ASSERT_EQ(log().size(), 3u);
    EXPECT_NE(log()[0].find("Values of data before scaling:"), std::string::npos);
    EXPECT_EQ(log()[1], "Scale to radians between -pi and pi...");
    EXPECT_EQ(log()[2], im.statisticsText("data after scaling"));

    session().log.clear();
    convertToHertz(im);
    EXPECT_DOUBLE_EQ(im.getValue(0), -0.5);
    ASSERT_EQ(log().size(), 3u);
    EXPECT_EQ(log()[0], "Convert to Hertz representation...");
    EXPECT_NE(log()[1].find("Values of data before scaling to Hertz:"), std::string::npos);
    EXPECT_EQ(log()[2], im.statisticsText("data after scaling to Hertz"));
}

TEST_F(PipelineSteps, ScaleToRadiansLeavesAnAllZeroImage) {
    Image im(std::vector<double>(6, 0.0), 3, 2, 1, 1, 8);
    scaleToRadians(im);
    EXPECT_EQ(std::vector<double>(im.getData(), im.getData() + 6), std::vector<double>(6, 0.0));
    ASSERT_EQ(log().size(), 4u);
    EXPECT_EQ(log()[2],
              "All values are 0, so there is no range to scale: the data were left "
              "unchanged.");
}

// Congruence and the conditioning after it take what was made beside the unwrapping (the mask
// without its specks for the outlier pass, the likely trusted mask and the plans for it, the
// background's noise), or make it themselves: for each conditioning, the result is the same.
TEST_F(PipelineSteps, CongruenceAndConditioningGiveTheSameResultWithTheirInputMadeBeside) {
    constexpr int X = 28, Y = 26, Z = 10;
    const std::size_t n = static_cast<std::size_t>(X) * Y * Z;
    std::vector<double> phase(n), magnitude(n), estimate(n);
    std::uint32_t seed = 5u;
    const auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(seed >> 8) / 16777216.0;
    };
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                const std::size_t v = x + X * (y + static_cast<std::size_t>(Y) * z);
                const double u = (x - 13.5) / 10.0, w = (y - 12.5) / 9.0, t = (z - 4.5) / 4.0;
                const bool head = u * u + w * w + t * t < 1.0;
                const double cycles = 1.2 * u + 0.4 * w * w + (head ? 0.0 : next() - 0.5);
                // A quarter of the background passes the threshold: specks, and noise that
                // touches the head.
                magnitude[v] = head ? 1000.0 : (next() < 0.25 ? 300.0 : 40.0);
                phase[v] = 6.28318530717958 * (cycles - std::floor(cycles + 0.5));
                estimate[v] = 1.2 * u + 0.4 * w * w + 0.3 * t;  // off by a smooth function
            }
    const Image wrapped = image("phase", X, Y, Z, 1, phase);
    const Image mag = image("magnitude", X, Y, Z, 1, magnitude);
    for (const Conditioning following : {Conditioning::MaskedBox, Conditioning::Quadratic}) {
        std::vector<std::vector<double>> results;
        for (const unsigned threads : {1u, 2u}) {
            setWorkerThreads(threads);
            std::future<CongruentInput> started =
                startCongruentInput(wrapped, false, mag, following);
            EXPECT_EQ(started.valid(), threads > 1);
            Image unwrapped(estimate, X, Y, Z, 1, 8);
            CongruentInput used;
            ASSERT_TRUE(makeUnwrappedCongruent(unwrapped, wrapped, false, mag, nullptr, &started,
                                               &used, following));
            EXPECT_EQ(used.large.empty(), following != Conditioning::Quadratic);
            // The conditioning too, with the plans made beside the unwrapping or without.
            ASSERT_TRUE(
                conditionFieldMap(unwrapped, mag, following, 0.0, nullptr, &wrapped, false, &used));
            results.emplace_back(unwrapped.getData(), unwrapped.getData() + n);
        }
        setWorkerThreads(0);
        EXPECT_EQ(results[0], results[1]) << static_cast<int>(following);
    }
}
