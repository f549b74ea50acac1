// A host that corrects a long series in blocks: the chain keeps the shift map it undistorted
// with, and "Undistort" on further volumes with that map must give exactly the chain's values.
// Without a kept map the call must fail rather than leave the volumes as they were.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace {

constexpr int kX = 24, kY = 24, kZ = 6, kVolumes = 3;

class KeptShiftMap : public WorkspaceTest {
protected:
    void SetUp() override {
        WorkspaceTest::SetUp();
        const std::size_t n = static_cast<std::size_t>(kX) * kY * kZ;
        std::vector<double> phase(n), magnitude(n);
        for (std::size_t i = 0; i < n; ++i) {
            const int x = static_cast<int>(i % kX), y = static_cast<int>(i / kX % kY);
            const double dx = (x - 11.5) / 10.0, dy = (y - 11.5) / 10.0;
            magnitude[i] = dx * dx + dy * dy < 1.0 ? 1000.0 : 0.0;
            phase[i] = 1.2 * std::exp(-(dx * dx + dy * dy) * 2.0);  // radians, never wrapped
        }
        for (std::size_t i = 0; i < n * kVolumes; ++i)
            series.push_back(300.0 + 200.0 * std::sin(0.37 * static_cast<double>(i)));
        phase_ = phase;
        magnitude_ = magnitude;
        params().setInt("UnwrappingMethod", 1);
        params().setInt("NrOfVCycles", 2);
        params().setInt("NrOfIterations", 4);
        params().setFloat("BandWidthPE", 20.0f);
        params().setFloat("EchoTimeDiff", 2.46f);
        params().setInt("PhaseEncodingDir", 4);
        params().setInt("PerformAllSteps", 1);
    }

    /// Runs the chain from fresh phase and magnitude documents (the plug-in may change those
    /// it is given) on the series document `epi`.
    void chain(int epi, int keep) {
        const int phase =
            ws().addFmr((dir / "phase.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, phase_);
        ws().addFmr((dir / "magnitude.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, magnitude_);
        params().setString("Procedure", "Unwrap");
        params().setInt("KeepPixelShiftMap", keep);
        for (int pick : {phase, phase + 1, epi}) answer(pick);
        run("Start");
    }

    /// The values the last call saved as "bold_undistort.fmr".
    std::vector<double> undistorted() {
        const auto& saves = ws().saves();
        if (saves.empty() || saves.back().fmrFileName != "bold_undistort.fmr") return {};
        return saves.back().values();
    }

    std::vector<double> series;
    std::vector<double> phase_, magnitude_;
};

TEST_F(KeptShiftMap, FurtherVolumesGetTheChainsValuesAndNoMapIsAFailure) {
    const std::size_t n = static_cast<std::size_t>(kX) * kY * kZ;
    // The chain on the first volume alone, keeping its map; then the series two volumes and one.
    chain(ws().addFmr((dir / "bold.fmr").string(), kX, kY, kZ, 1, kFmrFloat32,
                      std::vector<double>(series.begin(), series.begin() + n)),
          1);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    params().setString("Procedure", "Undistort");
    params().setInt("KeepPixelShiftMap", 2);
    std::vector<double> blocks;
    for (const auto& [from, count] : {std::pair{0, 2}, std::pair{2, 1}}) {
        const int block = ws().addFmr(
            (dir / "bold.fmr").string(), kX, kY, kZ, count, kFmrFloat32,
            std::vector<double>(series.begin() + from * n, series.begin() + (from + count) * n));
        // The last block lean: the same values, without the statistics texts and slice images.
        const bool lean = from > 0;
        params().setInt("LeanUndistortion", lean ? 1 : 0);
        std::filesystem::remove(dir / "bold_undistort.amr");
        session().log.clear();
        answer(block);
        run("Start");
        ASSERT_EQ(errorNr(), 0) << errorMsg();
        int statistics = 0;
        for (const std::string& entry : log()) statistics += entry.rfind("Values of", 0) == 0;
        EXPECT_EQ(statistics, lean ? 0 : 3);  // the EPI picked, distorted, undistorted
        EXPECT_EQ(std::filesystem::exists(dir / "bold_undistort.amr"), !lean);
        EXPECT_EQ(params().getString("NameUndistortedFile"), "bold_undistort.fmr");
        const std::vector<double> values = undistorted();
        ASSERT_EQ(values.size(), static_cast<std::size_t>(count) * n);
        blocks.insert(blocks.end(), values.begin(), values.end());
    }
    // The chain on the whole series, undistorted with the very same shifts; it keeps nothing, so
    // a further "Undistort" with a kept map has none and fails.
    const int whole =
        ws().addFmr((dir / "bold.fmr").string(), kX, kY, kZ, kVolumes, kFmrFloat32, series);
    chain(whole, 0);
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_TRUE(blocks == undistorted());
    EXPECT_NE(blocks, series) << "nothing was undistorted";
    params().setString("Procedure", "Undistort");
    params().setInt("KeepPixelShiftMap", 2);
    answer(whole);
    run("Start");
    EXPECT_NE(errorNr(), 0);
    EXPECT_NE(errorMsg().find("no pixel shift map was kept"), std::string::npos) << errorMsg();
}

}  // namespace
