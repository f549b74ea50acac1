// The values the field map, pixel shift and undistortion steps save when "Start" runs them,
// against a plain computation: all six directions, fractional and clamped shifts, float and
// 16-bit EPI projects of several volumes, and the centred smoothing of the field map.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"
#include "tests/reference/pipeline_reference.h"

namespace fs = std::filesystem;
using ondrift::standin::Workspace;

namespace {

class StepsThroughStart : public WorkspaceTest {
protected:
    void SetUp() override {
        WorkspaceTest::SetUp();
        params().setInt("UnwrappingMethod", 0);
        params().setFloat("BandWidthPE", 32.0f);
        params().setFloat("EchoTimeDiff", 2.46f);
        params().setInt("ApplyTwoPi", 0);
        params().setInt("mapFieldmapToFunctional", 0);
    }
    void start(const char* procedure) {
        params().setString("Procedure", procedure);
        params().setInt("PerformAllSteps", 0);
        run("Start");
    }
};

constexpr int kX = 6;
constexpr int kY = 5;
constexpr int kZ = 4;
constexpr int kVolumes = 3;

/// Shifts with fractional parts, whole values, and some far beyond either end of every axis.
std::vector<double> shifts() {
    std::vector<double> s(kX * kY * kZ);
    for (int i = 0; i < kX * kY * kZ; ++i) {
        s[i] = 0.37 * (i % 7) - 1.1 + 0.25 * (i % 3);
        if (i % 11 == 0) s[i] = 9.6;
        if (i % 13 == 0) s[i] = -8.2;
        if (i % 17 == 0) s[i] = 2.0;
    }
    return s;
}

std::vector<double> series() {
    std::vector<double> v(kX * kY * kZ * kVolumes);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = std::round(1000.0 * std::sin(0.3 * static_cast<double>(i)) + 37.0 * (i % 5));
    }
    return v;
}

double asFloat(double v) { return static_cast<double>(static_cast<float>(v)); }

}  // namespace

TEST_F(StepsThroughStart, UndistortAllDirectionsFloatAndSixteenBit) {
    for (const int dataType : {kFmrFloat32, kFmrInt16}) {
        for (int code = 1; code <= 6; ++code) {
            SCOPED_TRACE(testing::Message() << "data type " << dataType << ", code " << code);
            ws().clear();
            ws().quiet = true;
            ws().outputDirectory = dir;
            const int map = ws().addFmr("pix.fmr", kX, kY, kZ, 1, kFmrFloat32, shifts());
            const int epi = ws().addFmr("run1.fmr", kX, kY, kZ, kVolumes, dataType, series());
            const std::vector<double> shift = ws().fmrValues(map);
            std::vector<std::vector<double>> volumes;
            for (int t = 0; t < kVolumes; ++t) volumes.push_back(ws().fmrValues(epi, t));

            params().setInt("PhaseEncodingDir", code);
            params().setString("NameUndistortedFile", "old");
            answer(map);
            answer(epi);
            start("Undistort");
            ASSERT_EQ(errorNr(), 0) << errorMsg();
            EXPECT_EQ(params().getString("NameUndistortedFile"), "run1_undistort.fmr");
            ASSERT_EQ(ws().saves().size(), 1u);
            const auto& saved = ws().saves()[0];
            EXPECT_EQ(saved.fmrFileName, "run1_undistort.fmr");
            ASSERT_EQ(saved.volumes, kVolumes);
            for (int t = 0; t < kVolumes; ++t) {
                const std::vector<double> want =
                    reference::undistortVolume(volumes[t], shift, kX, kY, kZ, code);
                const std::vector<double> got = saved.volumeValues(t);
                ASSERT_EQ(got.size(), want.size());
                for (std::size_t i = 0; i < want.size(); ++i) {
                    const double expected =
                        dataType == kFmrFloat32 ? asFloat(want[i]) : std::trunc(want[i]);
                    ASSERT_EQ(got[i], expected) << "volume " << t << ", voxel " << i;
                }
            }
            EXPECT_TRUE(fs::exists(dir / "run1_undistort.amr"));
        }
    }
}

TEST_F(StepsThroughStart, FieldMapIsSavedAndSmoothedWithTheCentredWindow) {
    constexpr int nx = 9;
    constexpr int ny = 9;
    constexpr int nz = 2;
    // Constant within each slice, plus one spike to show where the smoothing puts it.
    std::vector<double> phase(nx * ny * nz);
    for (std::size_t i = 0; i < phase.size(); ++i) phase[i] = i < nx * ny ? -0.2 : 0.35;
    const int spike = nx * ny + 4 * nx + 4;
    phase[spike] = 3.0;
    const int doc = ws().addFmr("p_unwrapped.fmr", nx, ny, nz, 1, kFmrFloat32, phase);
    const std::vector<double> stored = ws().fmrValues(doc);
    answer(doc);
    start("ComputeB0");
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    ASSERT_EQ(ws().saves().size(), 2u);
    EXPECT_EQ(ws().saves()[0].fmrFileName, "p_unwrapped_b0.fmr");

    const double echoTimeDiff = static_cast<double>(2.46f / 1000.0f);
    std::vector<double> field(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) field[i] = (1.0 / echoTimeDiff) * stored[i];
    const std::vector<double> smoothed =
        reference::smoothSlices(reference::smoothSlices(field, nx, ny, nz, reference::kSmooth), nx,
                                ny, nz, reference::kSmooth);
    const std::vector<double> b0 = ws().saves()[0].values();
    const std::vector<double> smooth = ws().saves()[1].values();
    for (std::size_t i = 0; i < field.size(); ++i) {
        ASSERT_EQ(b0[i], asFloat(field[i])) << i;
        ASSERT_EQ(smooth[i], asFloat(smoothed[i])) << i;
    }
    // Centred: the spike stays the maximum where it was, and its neighbours on either side
    // along x and along y are equal.
    for (int d : {1, 2, nx, 2 * nx}) {
        EXPECT_GT(smooth[spike], smooth[spike + d]);
        EXPECT_EQ(smooth[spike - d], smooth[spike + d]) << d;
    }
}

TEST_F(StepsThroughStart, PixelShiftValuesWithAndWithoutTwoPi) {
    const std::vector<double> field = {64.0, -64.0, 10.0, 0.0, 123.456, -0.5};
    for (const int applyTwoPi : {0, 1, 2}) {
        SCOPED_TRACE(applyTwoPi);
        ws().clear();
        ws().quiet = true;
        ws().outputDirectory = dir;
        const int doc = ws().addFmr("f.fmr", 3, 2, 1, 1, kFmrFloat32, field);
        const std::vector<double> stored = ws().fmrValues(doc);
        params().setInt("ApplyTwoPi", applyTwoPi);
        answer(doc);
        start("ComputePxshift");
        ASSERT_EQ(errorNr(), 0) << errorMsg();
        ASSERT_EQ(ws().saves().size(), 1u);
        EXPECT_EQ(ws().saves()[0].fmrFileName, "f_pixshift.fmr");
        const double divisor = applyTwoPi == 1 ? 6.28318530717958 * 32.0 : 32.0;
        const std::vector<double> saved = ws().saves()[0].values();
        for (std::size_t i = 0; i < stored.size(); ++i) {
            EXPECT_EQ(saved[i], asFloat(stored[i] / divisor)) << i;
        }
    }
}
