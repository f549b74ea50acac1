// Position records from NIfTI affines, checked against the placement the stand-in host reads
// from them; and the phantom's forward model against a plain gather with the true shifts.
#include <gtest/gtest.h>

#include <cmath>

#include "cli/phantom/phantom.h"
#include "cli/session/scanner_position.h"

using namespace ondrift::cli;

namespace {

/// Voxel (i, j, k) placed as the host reads a record: centre + offsets along row, column and
/// the slice axis pointing from the first slice centre to the last (in the record's frame).
std::array<double, 3> placedByRecord(const ScannerPositionHeader& p, int nz, double i, double j,
                                     double k) {
    const double dx = p.FoVCols / p.NCols, dy = p.FoVRows / p.NRows;
    const double c[3] = {(p.Slice1CenterX + p.SliceNCenterX) / 2.0,
                         (p.Slice1CenterY + p.SliceNCenterY) / 2.0,
                         (p.Slice1CenterZ + p.SliceNCenterZ) / 2.0};
    const double row[3] = {p.RowDirX, p.RowDirY, p.RowDirZ};
    const double col[3] = {p.ColDirX, p.ColDirY, p.ColDirZ};
    double slice[3] = {p.SliceNCenterX - p.Slice1CenterX, p.SliceNCenterY - p.Slice1CenterY,
                       p.SliceNCenterZ - p.Slice1CenterZ};
    for (double& s : slice) s /= (nz - 1);
    std::array<double, 3> out{};
    for (int a = 0; a < 3; ++a) {
        out[static_cast<std::size_t>(a)] = c[a] + (i - (p.NCols - 1) / 2.0) * dx * row[a] +
                                           (j - (p.NRows - 1) / 2.0) * dy * col[a] +
                                           (k - (nz - 1) / 2.0) * slice[a];
    }
    return out;
}

}  // namespace

TEST(PositionRecord, PlacesEveryVoxelWhereTheAffineDoes) {
    const double c = std::cos(0.4), s = std::sin(0.4);
    const Affine tilted = {-2.5, 0,       0,       80, 0, 2.2 * c, -3.3 * s, -40,
                           0,    2.2 * s, 3.3 * c, 12, 0, 0,       0,        1};
    const NiftiGeometry g = makeGeometry({40, 36, 12, 1}, tilted);
    const ScannerPositionHeader p = positionFromGeometry(g);
    EXPECT_EQ(p.NCols, 40);
    EXPECT_EQ(p.NRows, 36);
    EXPECT_NEAR(p.FoVCols, 100.0, 1e-4);
    EXPECT_NEAR(p.FoVRows, 79.2, 1e-4);
    EXPECT_NEAR(p.SliceThickness, 3.3, 1e-5);
    EXPECT_EQ(p.GapThickness, 0.0f);
    // The record's frame is the NIfTI world with x and y negated.
    EXPECT_NEAR(p.RowDirX, 1.0, 1e-6);
    for (const auto& v : {std::array<double, 3>{0, 0, 0}, {39, 35, 11}, {7, 20, 3}}) {
        const auto placed = placedByRecord(p, 12, v[0], v[1], v[2]);
        const double w[3] = {tilted[0] * v[0] + tilted[1] * v[1] + tilted[2] * v[2] + tilted[3],
                             tilted[4] * v[0] + tilted[5] * v[1] + tilted[6] * v[2] + tilted[7],
                             tilted[8] * v[0] + tilted[9] * v[1] + tilted[10] * v[2] + tilted[11]};
        EXPECT_NEAR(placed[0], -w[0], 1e-3);
        EXPECT_NEAR(placed[1], -w[1], 1e-3);
        EXPECT_NEAR(placed[2], w[2], 1e-3);
    }
    // And back: the affine made from the record is the input's.
    const Affine back = affineFromPosition(p, 12);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_NEAR(back[i], tilted[i], 1e-4) << i;
}

namespace {

/// A small phantom with a short readout, so that the steep lobes do not fold the image: every
/// line then maps one to one, and the true shift undoes the distortion exactly.
PhantomOptions unfolded(int pe) {
    PhantomOptions o;
    o.dims = {32, 32, 8};
    o.volumes = 2;
    o.peDirection = pe;
    o.bandwidthPerPixel = 80.0;
    return o;
}

}  // namespace

TEST(Phantom, DistortionIsUndoneByAGatherWithTheTrueShift) {
    for (int pe : {3, 2}) {
        const Phantom p = makePhantom(unfolded(pe));
        const int axis = (pe - 1) / 2;
        const double sign = pe % 2 == 1 ? 1.0 : -1.0;
        const int n[3] = {32, 32, 8};
        std::vector<float> undone(p.distorted.size());
        const std::size_t volume = p.fieldHz.size();
        for (int t = 0; t < 2; ++t) {
            for (int z = 0; z < n[2]; ++z)
                for (int y = 0; y < n[1]; ++y)
                    for (int x = 0; x < n[0]; ++x) {
                        const std::size_t i = static_cast<std::size_t>(x + n[0] * (y + n[1] * z));
                        int c[3] = {x, y, z};
                        const double q = c[axis] + sign * p.fieldHz[i] / p.bandwidthPE();
                        const double f = q - std::floor(q);
                        const int lo = std::clamp(static_cast<int>(std::floor(q)), 0, n[axis] - 1);
                        const int hi = std::clamp(static_cast<int>(std::ceil(q)), 0, n[axis] - 1);
                        auto at = [&](int v) {
                            c[axis] = v;
                            return p.distorted[static_cast<std::size_t>(t) * volume +
                                               static_cast<std::size_t>(
                                                   c[0] + n[0] * (c[1] + n[1] * c[2]))];
                        };
                        undone[static_cast<std::size_t>(t) * volume + i] =
                            static_cast<float>((1 - f) * at(lo) + f * at(hi));
                    }
        }
        const double before = relativeError(p.distorted, p.truth, p.evaluationMask);
        const double after = relativeError(undone, p.truth, p.evaluationMask);
        EXPECT_GT(before, 0.03) << "the field must distort visibly";
        EXPECT_LT(after, before / 5) << "only interpolation error may remain";
        // The phantom's own ideal is that gather.
        const std::vector<float> ideal = p.idealSeries();
        ASSERT_EQ(ideal.size(), undone.size());
        for (std::size_t i = 0; i < ideal.size(); ++i) ASSERT_NEAR(ideal[i], undone[i], 1e-3) << i;
    }
}

namespace {

/// Sums of a series' first volume along every phase-encoding line of a 32×32×8 phantom whose
/// ends are dark (no signal leaves the grid), keyed by the line's first voxel.
std::vector<double> lineSums(const Phantom& p, const std::vector<float>& series) {
    const int axis = (p.options.peDirection - 1) / 2;
    const int n[3] = {32, 32, 8};
    const int stride = axis == 0 ? 1 : (axis == 1 ? n[0] : n[0] * n[1]);
    std::vector<double> sums(p.seriesGeometry.voxelsPerVolume(), -1.0);
    for (int start = 0; start < n[0] * n[1] * n[2]; ++start) {
        const int c[3] = {start % n[0], start / n[0] % n[1], start / (n[0] * n[1])};
        if (c[axis] != 0) continue;
        const auto at = [&](int v) { return series[static_cast<std::size_t>(start + v * stride)]; };
        if (at(0) > 1.0f || at(n[axis] - 1) > 1.0f) continue;
        double sum = 0;
        for (int v = 0; v < n[axis]; ++v) sum += at(v);
        sums[static_cast<std::size_t>(start)] = sum;
    }
    return sums;
}

}  // namespace

TEST(Phantom, PileUpConservesTheSignalOfEachLineAndSamplingOnlyInterpolates) {
    for (int pe : {3, 2}) {
        PhantomOptions o = unfolded(pe);
        const Phantom exact = makePhantom(o);
        o.forwardModel = ForwardModel::PileUp;
        const Phantom pileUp = makePhantom(o);
        const std::vector<double> truth = lineSums(exact, exact.truth);
        const std::vector<double> plain = lineSums(exact, exact.distorted);
        const std::vector<double> conserved = lineSums(pileUp, pileUp.distorted);
        double worstPlain = 0, worstConserved = 0;
        int lines = 0;
        for (std::size_t i = 0; i < truth.size(); ++i) {
            if (truth[i] < 5000 || plain[i] < 0 || conserved[i] < 0) continue;
            ++lines;
            worstPlain = std::max(worstPlain, std::fabs(plain[i] / truth[i] - 1));
            worstConserved = std::max(worstConserved, std::fabs(conserved[i] / truth[i] - 1));
        }
        EXPECT_GT(lines, 20);
        EXPECT_LT(worstConserved, 0.01) << pe;
        EXPECT_GT(worstPlain, 0.1) << pe << ": the field must compress and stretch lines";

        // Sampling the gridded truth differs from the exact series only by interpolation error.
        o.forwardModel = ForwardModel::Sampled;
        const Phantom sampled = makePhantom(o);
        const double apart =
            relativeError(sampled.distorted, exact.distorted, exact.evaluationMask);
        EXPECT_GT(apart, 1e-4) << pe;
        EXPECT_LT(apart, 0.02) << pe;
    }
    // Where nothing shifts, every model gives the truth.
    PhantomOptions flat;
    flat.dims = {32, 32, 8};
    flat.fieldShape = FieldShape::Simple;
    flat.gradientHz = 0;
    flat.lobeHz = 0;
    for (ForwardModel m : {ForwardModel::Sampled, ForwardModel::PileUp}) {
        flat.forwardModel = m;
        const Phantom p = makePhantom(flat);
        for (std::size_t i = 0; i < p.truth.size(); ++i)
            ASSERT_FLOAT_EQ(p.distorted[i], p.truth[i]);
    }
    PhantomOptions folded;
    folded.dims = {32, 32, 8};
    folded.peDirection = 4;  // against the shim gradient, which compresses and folds
    const Phantom plain = makePhantom(folded);
    folded.forwardModel = ForwardModel::PileUp;
    const Phantom piled = makePhantom(folded);
    double brightest = 0;
    for (std::size_t i = 0; i < piled.distorted.size(); ++i) {
        if (plain.distorted[i] > 100)
            brightest = std::max(brightest, double(piled.distorted[i] / plain.distorted[i]));
    }
    // Beside the fold several positions land in one voxel and their signals add up there.
    EXPECT_GT(brightest, 1.5);
}

TEST(Phantom, SeriesNoiseTouchesOnlyTheDistortedSeriesWithTheSpreadAsked) {
    PhantomOptions o = unfolded(3);
    const Phantom quiet = makePhantom(o);
    o.seriesNoise = 20.0;
    const Phantom noisy = makePhantom(o);
    // The field map and the truth are what the correction is measured by: the same to the bit.
    EXPECT_EQ(noisy.phase, quiet.phase);
    EXPECT_EQ(noisy.magnitude, quiet.magnitude);
    EXPECT_EQ(noisy.truth, quiet.truth);
    // In the head (signal far above the noise) the magnitude of the noisy signal differs from
    // the signal by about the noise's standard deviation; the background gets Rician noise,
    // never negative.
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < quiet.distorted.size(); ++i) {
        ASSERT_GE(noisy.distorted[i], 0.0f);
        if (quiet.distorted[i] < 300) continue;
        const double e = noisy.distorted[i] - quiet.distorted[i];
        sum += e * e;
        ++count;
    }
    ASSERT_GT(count, 1000u);
    EXPECT_NEAR(std::sqrt(sum / static_cast<double>(count)), 20.0, 1.5);
}
