// The whole correction chain through the binary interface: a wrapped phase of a known field, a
// magnitude and an EPI series distorted by that field go in; the "_undistort" project must come
// out much closer to the undistorted truth than the distorted input.
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "host/workspace.h"
#include "plugin_fixture.h"

namespace {

constexpr double kPi = 3.14159265358979;
constexpr int kX = 32, kY = 32, kZ = 8, kVolumes = 3;
constexpr double kEchoTimeDiffMs = 10.0;  // one phase cycle per 100 Hz
constexpr double kBandwidth = 100.0;      // Hz per voxel along y

std::size_t at(int x, int y, int z) { return x + kX * (y + static_cast<std::size_t>(kY) * z); }

struct Phantom {
    std::vector<double> magnitude, field, wrappedPhase, truth, distorted;
    std::vector<bool> inner;  // inside the head, away from its edge
};

double ellipsoid(int x, int y, int z) {
    const double dx = (x - 15.5) / 12.0, dy = (y - 15.5) / 13.0, dz = (z - 3.5) / 6.0;
    return dx * dx + dy * dy + dz * dz;
}

// Field with about three cycles of phase across the head and zero mean inside it: the
// relaxation's level comes from its zero start, so a field with an offset could not be
// recovered by any unwrapping.
Phantom makePhantom() {
    Phantom p;
    const std::size_t n = static_cast<std::size_t>(kX) * kY * kZ;
    p.magnitude.assign(n, 0.0);
    p.field.assign(n, 0.0);
    p.inner.assign(n, false);
    double sum = 0.0;
    int count = 0;
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const double r = ellipsoid(x, y, z);
                const double lobe =
                    std::exp(-((x - 20.0) * (x - 20.0) + (y - 12.0) * (y - 12.0)) / 30.0);
                p.field[at(x, y, z)] = 9.0 * (y - 15.5) + 4.0 * (x - 15.5) + 150.0 * lobe;
                if (r < 1.0) {
                    p.magnitude[at(x, y, z)] = 1000.0;
                    sum += p.field[at(x, y, z)];
                    ++count;
                }
                p.inner[at(x, y, z)] = ellipsoid(x, y, z) < 0.55 && z >= 2 && z <= 5;
            }
    for (double& f : p.field) f -= sum / count;
    p.wrappedPhase.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double phase = 2.0 * kPi * p.field[i] * kEchoTimeDiffMs / 1000.0;
        p.wrappedPhase[i] = phase - 2.0 * kPi * std::floor((phase + kPi) / (2.0 * kPi));
    }
    for (int v = 0; v < kVolumes; ++v) {
        for (int z = 0; z < kZ; ++z)
            for (int y = 0; y < kY; ++y)
                for (int x = 0; x < kX; ++x) {
                    auto truthAt = [&](double yy) {
                        return (100.0 + 10.0 * v) *
                                   (1.0 + std::sin(0.35 * x) * std::cos(0.4 * yy)) *
                                   std::exp(-ellipsoid(x, 0, z) * 0.2) +
                               50.0 * std::exp(-(yy - 16.0) * (yy - 16.0) / 40.0);
                    };
                    p.truth.push_back(truthAt(y));
                    // The field moves what stands at y to y + shift along +y (code 3).
                    p.distorted.push_back(truthAt(y - p.field[at(x, y, z)] / kBandwidth));
                }
    }
    return p;
}

double rmsInside(const std::vector<double>& a, const std::vector<double>& b,
                 const std::vector<bool>& inner) {
    double sum = 0.0;
    int count = 0;
    for (int v = 0; v < kVolumes; ++v)
        for (std::size_t i = 0; i < inner.size(); ++i) {
            if (!inner[i]) continue;
            const std::size_t k = i + v * inner.size();
            sum += (a[k] - b[k]) * (a[k] - b[k]);
            ++count;
        }
    return std::sqrt(sum / count);
}

class StartChain : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        dir =
            std::filesystem::temp_directory_path() /
            ("ondrift-chain-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        auto& ws = ondrift::standin::workspace();
        ws.clear();
        ws.quiet = true;
        ws.outputDirectory = dir;
    }
    void TearDown() override {
        ondrift::standin::workspace().clear();
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
};

TEST_F(StartChain, RelaxationChainCorrectsTheSeries) {
    const Phantom p = makePhantom();
    auto& ws = ondrift::standin::workspace();
    ws.addFmr((dir / "phase.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, p.wrappedPhase);
    ws.addFmr((dir / "magnitude.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, p.magnitude);
    ws.addFmr((dir / "bold.fmr").string(), kX, kY, kZ, kVolumes, kFmrFloat32, p.distorted);

    params().setInt("UnwrappingMethod", 0);
    params().setInt("NrOfIterationsRelax", 400);
    params().setFloat("Regularisation", 0.0f);
    params().setFloat("BandWidthPE", static_cast<float>(kBandwidth));
    params().setFloat("EchoTimeDiff", static_cast<float>(kEchoTimeDiffMs));
    params().setInt("PhaseEncodingDir", 3);
    params().setInt("ApplyTwoPi", 0);
    params().setString("Procedure", "Unwrap");
    params().setInt("PerformAllSteps", 1);
    answer(0);
    answer(1);
    answer(2);
    run("Start");
    ASSERT_EQ(errorNr(), 0) << errorMsg();
    EXPECT_EQ(params().getString("NameUndistortedFile"), "bold_undistort.fmr");

    const auto& saves = ws.saves();
    ASSERT_FALSE(saves.empty());
    EXPECT_EQ(saves.back().fmrFileName, "bold_undistort.fmr");
    const std::vector<double> corrected = saves.back().values();
    ASSERT_EQ(corrected.size(), p.truth.size());

    const double before = rmsInside(p.distorted, p.truth, p.inner);
    const double after = rmsInside(corrected, p.truth, p.inner);
    RecordProperty("rms_distorted", std::to_string(before));
    RecordProperty("rms_corrected", std::to_string(after));
    std::printf("rms error against the truth: distorted %.4f, corrected %.4f\n", before, after);
    EXPECT_LT(after, 0.25 * before);
}

}  // namespace
