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

double bump(double dx, double dy) { return std::exp(-(dx * dx + dy * dy) / 90.0); }

// A rise and a fall of two and a half phase cycles each, mirrored about the head's centre: the true
// phase then has zero mean over the head and over the grid alike, the level both unwrapping
// methods settle on (relaxation keeps the magnitude-weighted mean of its zero start, the
// Laplacian method takes the mean of the wrapped input). No unwrapping can tell a field from the
// same field offset by whole cycles.
Phantom makePhantom() {
    Phantom p;
    const std::size_t n = static_cast<std::size_t>(kX) * kY * kZ;
    p.magnitude.assign(n, 0.0);
    p.field.assign(n, 0.0);
    p.inner.assign(n, false);
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const double r = ellipsoid(x, y, z);
                p.field[at(x, y, z)] = 250.0 * (bump(x - 9.5, y - 15.5) - bump(x - 21.5, y - 15.5));
                if (r < 1.0) p.magnitude[at(x, y, z)] = 1000.0;
                p.inner[at(x, y, z)] = ellipsoid(x, y, z) < 0.55 && z >= 2 && z <= 5;
            }
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

class StartChain : public WorkspaceTest {
public:
    bool execute() { return loader.execute(); }
};

// Runs the whole chain on the phantom and returns the rms errors (distorted, corrected).
std::pair<double, double> runChain(StartChain& test, const std::filesystem::path& dir,
                                   void (*configure)(ondrift::standin::ParameterStore&)) {
    const Phantom p = makePhantom();
    auto& ws = ondrift::standin::workspace();
    ws.addFmr((dir / "phase.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, p.wrappedPhase);
    ws.addFmr((dir / "magnitude.fmr").string(), kX, kY, kZ, 1, kFmrFloat32, p.magnitude);
    ws.addFmr((dir / "bold.fmr").string(), kX, kY, kZ, kVolumes, kFmrFloat32, p.distorted);
    auto& params = ondrift::standin::session().parameters;
    configure(params);
    params.setFloat("BandWidthPE", static_cast<float>(kBandwidth));
    params.setFloat("EchoTimeDiff", static_cast<float>(kEchoTimeDiffMs));
    params.setInt("PhaseEncodingDir", 3);
    params.setInt("ApplyTwoPi", 0);
    params.setString("Procedure", "Unwrap");
    params.setInt("PerformAllSteps", 1);
    params.setString("Command", "Start");
    for (int pick : {0, 1, 2}) {
        ondrift::standin::session().answers.push_back(
            ondrift::standin::DialogAnswer::withNumber(pick));
    }
    EXPECT_TRUE(test.execute());
    EXPECT_EQ(params.getInt("ErrorNr"), 0) << params.getString("ErrorMsg");
    EXPECT_EQ(params.getString("NameUndistortedFile"), "bold_undistort.fmr");
    const auto& saves = ws.saves();
    if (saves.empty() || saves.back().fmrFileName != "bold_undistort.fmr") {
        ADD_FAILURE() << "no undistorted project was saved";
        return {0.0, 0.0};
    }
    const std::vector<double> corrected = saves.back().values();
    EXPECT_EQ(corrected.size(), p.truth.size());
    if (corrected.size() != p.truth.size()) return {0.0, 0.0};
    return {rmsInside(p.distorted, p.truth, p.inner), rmsInside(corrected, p.truth, p.inner)};
}

TEST_F(StartChain, RelaxationChainCorrectsTheSeries) {
    const auto [before, after] = runChain(*this, dir, [](ondrift::standin::ParameterStore& p) {
        p.setInt("UnwrappingMethod", 0);
        p.setInt("NrOfIterationsRelax", 400);
        p.setFloat("Regularisation", 0.0f);
    });
    std::printf("relaxation: rms error against the truth: distorted %.4f, corrected %.4f\n", before,
                after);
    EXPECT_LT(after, 0.2 * before);
}

TEST_F(StartChain, MultigridChainCorrectsTheSeries) {
    const auto [before, after] = runChain(*this, dir, [](ondrift::standin::ParameterStore& p) {
        p.setInt("UnwrappingMethod", 1);
        p.setInt("NrOfVCycles", 2);
        p.setInt("NrOfIterations", 4);
        p.setInt("MaskLaplacian", 1);
    });
    std::printf("multigrid: rms error against the truth: distorted %.4f, corrected %.4f\n", before,
                after);
    EXPECT_LT(after, 0.3 * before);
}

}  // namespace
