// The field from a reverse phase-encoding pair against analytic cases: an object seen through a
// known smooth field with opposite shifts and the intensity that the shifts compress or stretch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "cli/pairs/pair_estimation.h"
#include "cli/pairs/pair_levels.h"
#include "cli/pairs/roughness.h"
#include "cli/pairs/volume_average.h"
#include "cli/phantom/phantom_pair.h"

namespace ondrift::pairs {
namespace {

struct Analytic {
    Grid grid{{40, 40, 12}, {3.0, 3.0, 4.0}};
    int axis = 1;
    double voxelsPerHz = 1.0 / 20.0;
    double lobeHz = 45.0;
    double lobeMm = 18.0;  ///< its width (standard deviation)
    double gradientHzPerMm = 0.4;

    std::array<double, 3> mm(double x, double y, double z) const {
        return {(x - 0.5 * (grid.dims[0] - 1)) * grid.voxelMm[0],
                (y - 0.5 * (grid.dims[1] - 1)) * grid.voxelMm[1],
                (z - 0.5 * (grid.dims[2] - 1)) * grid.voxelMm[2]};
    }
    double field(const std::array<double, 3>& p) const {
        const double dx = p[0] - 12, dy = p[1] + 10, dz = p[2];
        return lobeHz * std::exp(-(dx * dx + dy * dy + dz * dz) / (2 * lobeMm * lobeMm)) +
               gradientHzPerMm * (p[0] + 0.5 * p[1]);
    }
    double image(const std::array<double, 3>& p) const {
        const double r = std::sqrt(p[0] * p[0] / (45.0 * 45.0) + p[1] * p[1] / (50.0 * 50.0) +
                                   p[2] * p[2] / (22.0 * 22.0));
        const double head = 1.0 / (1.0 + std::exp((r - 1.0) / 0.04));
        return 800.0 * head * (0.8 + 0.2 * std::sin(p[0] / 7.0) * std::cos(p[1] / 9.0));
    }
    /// The image taken with sign σ: at voxel q the signal of p with p + σ·s(p) = q, divided by
    /// the local stretch 1 + σ·∂s/∂p.
    std::vector<float> acquired(int sign) const {
        std::vector<float> out(grid.voxels());
        std::size_t i = 0;
        for (int z = 0; z < grid.dims[2]; ++z)
            for (int y = 0; y < grid.dims[1]; ++y)
                for (int x = 0; x < grid.dims[0]; ++x, ++i) {
                    std::array<double, 3> q{double(x), double(y), double(z)};
                    auto at = [&](double t) {
                        auto v = q;
                        v[axis] = t;
                        return mm(v[0], v[1], v[2]);
                    };
                    auto shift = [&](double t) { return voxelsPerHz * field(at(t)); };
                    double p = q[axis];
                    double slope = 0;
                    for (int k = 0; k < 30; ++k) {
                        slope = (shift(p + 1e-3) - shift(p - 1e-3)) / 2e-3;
                        p -= (p + sign * shift(p) - q[axis]) / (1 + sign * slope);
                    }
                    out[i] = static_cast<float>(image(at(p)) / (1 + sign * slope));
                }
        return out;
    }
};

double fieldError(const Analytic& a, const std::vector<float>& estimate) {
    double sum = 0, count = 0;
    std::size_t i = 0;
    for (int z = 0; z < a.grid.dims[2]; ++z)
        for (int y = 0; y < a.grid.dims[1]; ++y)
            for (int x = 0; x < a.grid.dims[0]; ++x, ++i) {
                const auto p = a.mm(x, y, z);
                if (a.image(p) < 400) continue;
                const double d = estimate[i] - a.field(p);
                sum += d * d;
                ++count;
            }
    return std::sqrt(sum / count);
}

TEST(PairEstimation, RecoversAnAnalyticFieldAlongEitherInPlaneAxis) {
    for (int axis : {1, 0}) {
        Analytic a;
        a.axis = axis;
        const std::vector<float> plus = a.acquired(+1), minus = a.acquired(-1);
        PairImages in{a.grid, axis, plus, minus, a.voxelsPerHz, a.voxelsPerHz};
        const PairEstimate e = estimateField(in);
        ASSERT_TRUE(e.converged) << e.problem;
        EXPECT_TRUE(e.problem.empty());
        // Within 1 Hz (a twentieth of a voxel) inside the object, on a field of up to 45 Hz
        // plus the gradient.
        EXPECT_LT(fieldError(a, e.fieldHz), 1.0) << "axis " << axis;
        EXPECT_LT(e.after.relativeDifference, 0.25 * e.before.relativeDifference);
        EXPECT_GT(e.after.correlation, 0.99);
        // The images given the other way round give the opposite field.
        PairImages swapped{a.grid, axis, minus, plus, a.voxelsPerHz, a.voxelsPerHz};
        const PairEstimate opposite = estimateField(swapped);
        std::vector<float> negated(opposite.fieldHz);
        for (float& v : negated) v = -v;
        EXPECT_LT(fieldError(a, negated), 1.0);
    }
}

// The penalty's operator is what the solver's normal equations and preconditioner take it for:
// symmetric, v·Lv the roughness itself, its diagonal that of unit fields, on uneven voxels.
TEST(PairEstimation, RoughnessOperatorMatchesThePenalty) {
    const Grid g{{5, 4, 3}, {1.5, 2.0, 4.0}};
    const Roughness r{0.3, 7.0};
    std::vector<double> u(g.voxels()), v(g.voxels()), lu(g.voxels()), lv(g.voxels()),
        diag(g.voxels()), unit(g.voxels(), 0.0), lunit(g.voxels());
    for (std::size_t i = 0; i < u.size(); ++i) {
        u[i] = std::sin(1.7 * static_cast<double>(i));
        v[i] = std::cos(0.9 * static_cast<double>(i * i % 11));
    }
    applyRoughness(g, r, u, lu);
    applyRoughness(g, r, v, lv);
    double vlu = 0, ulv = 0, ulu = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        vlu += v[i] * lu[i];
        ulv += u[i] * lv[i];
        ulu += u[i] * lu[i];
    }
    EXPECT_NEAR(vlu, ulv, 1e-9 * std::fabs(ulu));
    EXPECT_NEAR(ulu, roughness(g, r, u), 1e-9 * ulu);
    roughnessDiagonal(g, r, diag);
    for (std::size_t i : {std::size_t{0}, std::size_t{6}, std::size_t{31}, g.voxels() - 1}) {
        unit.assign(g.voxels(), 0.0);
        unit[i] = 1;
        EXPECT_NEAR(diag[i], roughness(g, r, unit), 1e-12) << i;
    }
}

// A head wider than the field of view along phase encoding, with a shim gradient that moves its
// edge out of one image by up to 4 voxels: the edge value held beyond the field of view is no
// part of the object, and comparing it pulled the whole field off (61 Hz) or left it 5 Hz out.
// Where an image lost the edge only the penalty places the field, so the bound is 3 Hz.
TEST(PairEstimation, IgnoresWhatLeavesTheFieldOfView) {
    Analytic a;
    a.grid.dims = {40, 30, 12};
    a.gradientHzPerMm = 1.6;
    const std::vector<float> plus = a.acquired(+1), minus = a.acquired(-1);
    const PairEstimate e = estimateField({a.grid, 1, plus, minus, a.voxelsPerHz, a.voxelsPerHz});
    ASSERT_TRUE(e.problem.empty()) << e.problem;
    EXPECT_LT(fieldError(a, e.fieldHz), 3.0);
    EXPECT_LT(e.after.relativeDifference, 0.1 * e.before.relativeDifference);
}

TEST(PairEstimation, ReportsAnEstimateThatDidNotSettle) {
    Analytic a;
    const std::vector<float> plus = a.acquired(+1), minus = a.acquired(-1);
    PairImages in{a.grid, 1, plus, minus, a.voxelsPerHz, a.voxelsPerHz};
    EstimationOptions o;
    o.levelsMm.clear();
    o.maxIterations = 1;
    const PairEstimate e = estimateField(in, o);
    EXPECT_FALSE(e.converged);
    EXPECT_NE(e.problem.find("did not converge"), std::string::npos);

    in.minusVoxelsPerHz = 0;
    EXPECT_NE(estimateField(in).problem.find("readout time"), std::string::npos);
    std::vector<float> dark(a.grid.voxels(), 0.0f);
    EXPECT_NE(estimateField({a.grid, 1, dark, dark, 0.05, 0.05}).problem.find("no signal"),
              std::string::npos);
}

// The susceptibility head along i: beside the ear canals the field folds the scalp onto the
// brain's edge in one image and carries it out of the field of view in the other. The field
// inside the brain must still come out, not a shift of the whole head that lines up its edges.
TEST(PairEstimation, PlacesTheSusceptibilityHeadsFieldAlongI) {
    cli::PhantomOptions o;
    o.generator = cli::Generator::Susceptibility;
    o.dims = {64, 64, 24};
    o.voxelSize = 3;
    const cli::PhantomPair pair = cli::makePhantomPair(o, 1, 1);
    const cli::Phantom& p = pair.first;
    const Grid g{{64, 64, 24}, {3.0, 3.0, 3.0}};
    const PairEstimate e = estimateField({g, 0, pair.first.distorted, pair.second.distorted,
                                          1.0 / p.bandwidthPE(), 1.0 / pair.second.bandwidthPE()});
    ASSERT_TRUE(e.problem.empty()) << e.problem;
    std::vector<float> sorted(p.truth);
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() * 99 / 100, sorted.end());
    const float bright = sorted[sorted.size() * 99 / 100];
    double error = 0, field = 0, count = 0;
    for (std::size_t i = 0; i < g.voxels(); ++i) {
        if (!p.evaluationMask[i] || p.truth[i] < 0.2f * bright) continue;
        error += (e.fieldHz[i] - p.fieldHz[i]) * (e.fieldHz[i] - p.fieldHz[i]);
        field += p.fieldHz[i] * p.fieldHz[i];
        ++count;
    }
    // The field's RMS is about 20 Hz; a head shifted to line up its edges was 37 Hz off.
    EXPECT_GT(std::sqrt(field / count), 15.0);
    EXPECT_LT(std::sqrt(error / count), 12.0);
}

TEST(PairEstimation, AveragesVolumesOnlyWhenTheyAgree) {
    Analytic a;
    const std::vector<float> one = a.acquired(+1), other = a.acquired(-1);
    std::vector<float> series;
    for (int v = 0; v < 3; ++v) series.insert(series.end(), one.begin(), one.end());
    for (std::size_t i = 0; i < one.size(); ++i) series[i] += (i % 7 == 0 ? 30.0f : -5.0f);
    VolumeAverage avg = averageVolumes(series, one.size(), 3);
    EXPECT_EQ(avg.disagreeing, -1);
    EXPECT_NEAR(avg.mean[0], one[0] + 10.0f, 1e-3);
    // A volume of the other polarity (as after a large movement) is found, not averaged in.
    std::copy(other.begin(), other.end(), series.begin() + 2 * static_cast<long>(one.size()));
    avg = averageVolumes(series, one.size(), 3);
    EXPECT_EQ(avg.disagreeing, 2);
}

}  // namespace
}  // namespace ondrift::pairs
