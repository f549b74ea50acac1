#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "pipeline/kernels/field_estimate.h"
#include "pipeline/kernels/thin_plate.h"

using ondrift::Dims;
using ondrift::estimateSmoothField;
using ondrift::FieldEstimate;
using ondrift::Spacing;

namespace {

/// A field in Hz over millimetres: a shim gradient, a second-order term and a lobe of 60 Hz
/// about 12 mm wide, as beside an air cavity.
double field(double x, double y, double z) {
    const double lobe = std::exp(-((x - 30) * (x - 30) + (y - 50) * (y - 50)) / 288.0 -
                                 (z - 24) * (z - 24) / 400.0);
    return 0.4 * x - 0.2 * y + 0.002 * (x * x - y * y) + 0.003 * z * z + 60 * lobe;
}

/// A measurement of `field` on a grid: a head of a bright core and a dark rim (noise SD
/// `scale` / magnitude), with a ball of 10 mm radius around (40, 40, 24) mm unmeasured.
struct Scene {
    Dims d;
    Spacing h;
    std::vector<double> truth, measured, weight, magnitude;
    std::vector<unsigned char> inside;
    bool hole(std::size_t v) const { return inside[v] != 0 && weight[v] == 0; }
};

Scene makeScene(Dims d, Spacing h, double scale, unsigned seed) {
    Scene s{d, h, {}, {}, {}, {}, {}};
    std::mt19937 random(seed);
    std::normal_distribution<double> normal;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i) {
                const double x = i * h[0], y = j * h[1], z = k * h[2];
                const double r2 = ((x - 40) * (x - 40) + (y - 40) * (y - 40)) / 1024.0 +
                                  (z - 24) * (z - 24) / 484.0;
                const double m = r2 < 1 ? 1000 * (1.2 - r2) : 0;
                const bool hole =
                    (x - 40) * (x - 40) + (y - 40) * (y - 40) + (z - 24) * (z - 24) < 100;
                const double sd = m > 0 ? scale / m : 0;
                s.truth.push_back(field(x, y, z));
                s.magnitude.push_back(m);
                s.inside.push_back(m > 0 ? 1 : 0);
                s.weight.push_back(m > 0 && !hole ? 1 / (sd * sd) : 0);
                s.measured.push_back(m > 0 && !hole ? field(x, y, z) + sd * normal(random) : 0);
            }
    return s;
}

/// RMS of (estimate − truth) over the measured voxels and over the hole.
std::pair<double, double> errors(const Scene& s, const std::vector<double>& f) {
    double measured = 0, hole = 0;
    int nm = 0, nh = 0;
    for (std::size_t v = 0; v < f.size(); ++v) {
        const double e = (f[v] - s.truth[v]) * (f[v] - s.truth[v]);
        if (s.weight[v] > 0) measured += e, ++nm;
        if (s.hole(v)) hole += e, ++nh;
    }
    return {std::sqrt(measured / nm), std::sqrt(hole / nh)};
}

}  // namespace

TEST(FieldEstimate, RemovesNoiseAndBridgesAnUnmeasuredHole) {
    // Noise of 6 Hz at full magnitude (more at the rim): the estimate must be well below the
    // measurement's own error inside, and carry the field across the 20 mm hole smoothly.
    const Scene s = makeScene({40, 40, 16}, {2, 2, 3}, 6000, 1);
    std::vector<double> f(s.truth.size());
    FieldEstimate found;
    ASSERT_TRUE(estimateSmoothField(s.d, s.h, s.measured, s.weight, f, found));
    double raw = 0;
    int n = 0;
    for (std::size_t v = 0; v < f.size(); ++v)
        if (s.weight[v] > 0)
            raw += (s.measured[v] - s.truth[v]) * (s.measured[v] - s.truth[v]), ++n;
    raw = std::sqrt(raw / n);
    const auto [inside, hole] = errors(s, f);
    EXPECT_LT(inside, 0.4 * raw) << "raw " << raw;
    EXPECT_LT(hole, 3.0);  // the lobe reaches 60 Hz, the field spans about 80 Hz
    EXPECT_NEAR(found.discrepancy, 1.0, 0.15);
}

TEST(FieldEstimate, SmoothsLessAsTheNoiseFalls) {
    // The same field with 100 times less noise: λ must fall, and the estimate follow the
    // measurement closely (a fixed smoothing would keep flattening the lobe).
    Scene noisy = makeScene({40, 40, 16}, {2, 2, 3}, 6000, 2);
    Scene clean = makeScene({40, 40, 16}, {2, 2, 3}, 60, 2);
    std::vector<double> fn(noisy.truth.size()), fc(clean.truth.size());
    FieldEstimate a, b;
    ASSERT_TRUE(estimateSmoothField(noisy.d, noisy.h, noisy.measured, noisy.weight, fn, a));
    ASSERT_TRUE(estimateSmoothField(clean.d, clean.h, clean.measured, clean.weight, fc, b));
    // λ is in the weights' units: per unit of inverse variance it must fall by far.
    EXPECT_LT(b.lambda * 60 * 60, a.lambda * 6000 * 6000 / 30);
    double raw = 0;
    int n = 0;
    for (std::size_t v = 0; v < fc.size(); ++v)
        if (clean.weight[v] > 0)
            raw += (clean.measured[v] - clean.truth[v]) * (clean.measured[v] - clean.truth[v]), ++n;
    EXPECT_LT(errors(clean, fc).first, 0.8 * std::sqrt(raw / n));
}

TEST(FieldEstimate, TheSameFieldInMillimetresOnAnisotropicVoxels) {
    // 2 mm and 4 mm slices of the same head: where the grids share points, both estimates (and
    // their continuation into the hole) agree with the truth, so nothing is counted in voxels.
    const Scene thin = makeScene({40, 40, 24}, {2, 2, 2}, 3000, 3);
    const Scene thick = makeScene({40, 40, 12}, {2, 2, 4}, 3000, 4);
    std::vector<double> ft(thin.truth.size()), fk(thick.truth.size());
    FieldEstimate a, b;
    ASSERT_TRUE(estimateSmoothField(thin.d, thin.h, thin.measured, thin.weight, ft, a));
    ASSERT_TRUE(estimateSmoothField(thick.d, thick.h, thick.measured, thick.weight, fk, b));
    double sum = 0;
    int n = 0;
    for (int k = 0; k < thick.d.z; ++k)
        for (int j = 0; j < 40; ++j)
            for (int i = 0; i < 40; ++i) {
                const std::size_t v = thick.d.index(i, j, k);
                if (thick.inside[v] == 0) continue;
                const double e = fk[v] - ft[thin.d.index(i, j, 2 * k)];
                sum += e * e;
                ++n;
            }
    EXPECT_LT(std::sqrt(sum / n), 1.5);
    EXPECT_LT(errors(thick, fk).second, 4.0);
}

TEST(FieldEstimate, NoiseScaleComesFromTheMeasurement) {
    const Scene s = makeScene({40, 40, 16}, {2, 2, 3}, 6000, 5);
    // The unmeasured hole holds zeros: its second differences are outliers the median ignores.
    const double scale =
        ondrift::noiseScaleFromData(s.d, s.h, s.measured, s.magnitude, s.inside, 1e9);
    EXPECT_NEAR(scale, 6000, 900);
    std::vector<double> f(s.truth.size());
    FieldEstimate found;
    EXPECT_FALSE(
        estimateSmoothField(s.d, s.h, s.measured, std::vector<double>(f.size(), 0.0), f, found));
    EXPECT_FALSE(estimateSmoothField(s.d, {2, 0, 3}, s.measured, s.weight, f, found));
}

TEST(FieldEstimate, TheSameFieldWrittenOverItsMeasurementOrWithVoxelsThatWeighNothing) {
    // The estimate reads the caller's measurement as it solves: written over it, it must not
    // read its own work; and voxels left out by a weight that is negative or not finite, or by
    // a measurement that is not finite, must weigh exactly as those of weight 0.
    const Scene s = makeScene({40, 40, 16}, {2, 2, 3}, 6000, 6);
    std::vector<double> expected(s.truth.size());
    FieldEstimate a, b, c;
    ASSERT_TRUE(estimateSmoothField(s.d, s.h, s.measured, s.weight, expected, a));
    std::vector<double> inPlace = s.measured;
    ASSERT_TRUE(estimateSmoothField(s.d, s.h, inPlace, s.weight, inPlace, b));
    EXPECT_EQ(inPlace, expected);
    std::vector<double> measured = s.measured, weight = s.weight, f(s.truth.size());
    int left = 0;
    for (std::size_t v = 0; v < weight.size(); ++v) {
        if (weight[v] > 0) continue;
        const double odd[3] = {-1.0, std::nan(""), std::numeric_limits<double>::infinity()};
        if (left % 2 == 0)
            weight[v] = odd[left % 3];
        else
            measured[v] = std::nan("");
        ++left;
    }
    ASSERT_TRUE(estimateSmoothField(s.d, s.h, measured, weight, f, c));
    EXPECT_EQ(f, expected);
    EXPECT_EQ(c.lambda, a.lambda);
    EXPECT_EQ(c.measured, a.measured);
}

// The roughness operator against its definition: every second difference in mm formed
// explicitly, and Σ Dᵀ D x gathered from them, on grids with and without an interior (the
// one-pass stencil inside, the dropped stencils at the faces) and with axes too short for
// some differences; with it the system W + B and its residual in one pass, and the diagonal.
TEST(FieldEstimate, RoughnessOperatorIsTheSumOfSquaredSecondDifferences) {
    for (const Dims d : {Dims{9, 7, 6}, Dims{6, 5, 5}, Dims{4, 6, 2}, Dims{7, 1, 3}}) {
        const Spacing h{1.9, 2.3, 4.5};
        const std::size_t n = d.voxels();
        std::mt19937 random(5);
        std::uniform_real_distribution<double> uniform(-1, 1);
        std::vector<double> x(n), expected(n, 0.0), got(n, 0.25), diagonal(n, 0.0), w(n);
        for (double& v : w) v = uniform(random) + 1;
        for (double& v : x) v = uniform(random);
        const int extent[3] = {d.x, d.y, d.z};
        const std::ptrdiff_t stride[3] = {1, d.x, static_cast<std::ptrdiff_t>(d.x) * d.y};
        const double volume = h[0] * h[1] * h[2];
        // Adds weight · Dᵀ (D x) for the difference with taps (offsets, coefficients).
        const auto add = [&](std::size_t at, const std::vector<std::ptrdiff_t>& offsets,
                             const std::vector<double>& taps, double weight) {
            double value = 0;
            for (std::size_t t = 0; t < taps.size(); ++t)
                value += taps[t] *
                         x[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) + offsets[t])];
            for (std::size_t t = 0; t < taps.size(); ++t) {
                const auto q =
                    static_cast<std::size_t>(static_cast<std::ptrdiff_t>(at) + offsets[t]);
                expected[q] += weight * taps[t] * value;
                diagonal[q] += weight * taps[t] * taps[t];
            }
        };
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i) {
                    const int c[3] = {i, j, k};
                    const std::size_t v = d.index(i, j, k);
                    for (int a = 0; a < 3; ++a)
                        if (c[a] >= 1 && c[a] <= extent[a] - 2)
                            add(v, {-stride[a], 0, stride[a]}, {1, -2, 1},
                                volume / std::pow(h[a], 4));
                    for (int a = 0; a < 3; ++a)
                        for (int b = a + 1; b < 3; ++b)
                            if (c[a] <= extent[a] - 2 && c[b] <= extent[b] - 2)
                                add(v, {0, stride[a], stride[b], stride[a] + stride[b]},
                                    {1, -1, -1, 1}, 2 * volume / (h[a] * h[a] * h[b] * h[b]));
                }
        ondrift::addThinPlate(d, h, x.data(), got.data(), 3.0);
        std::vector<double> system(n, 0.0);
        ondrift::weightedThinPlate(d, h, w.data(), x.data(), system.data(), 3.0);
        std::vector<double> residual(n, 0.0);
        ondrift::thinPlateResidual(d, h, w.data(), x.data(), x.data(), residual.data(), 3.0);
        ondrift::ThinPlateDiagonal rough;
        ondrift::thinPlateDiagonal(d, h, rough);
        for (std::size_t v = 0; v < n; ++v) {
            ASSERT_NEAR(got[v], 0.25 + 3.0 * expected[v], 1e-9) << d.x << "x" << d.y << "x" << d.z;
            ASSERT_NEAR(system[v], w[v] * x[v] + 3.0 * expected[v], 1e-9);
            ASSERT_NEAR(residual[v], -3.0 * expected[v], 1e-9);
            ASSERT_NEAR(
                rough.row(v / static_cast<std::size_t>(d.x))[v % static_cast<std::size_t>(d.x)],
                diagonal[v], 1e-9);
        }
    }
}
