// Accuracy of the field estimated from a reverse phase-encoding pair, apart from the command:
// phantom pairs (pile-up, thermal noise, three volumes each way) along every direction and sign,
// on both generators and on thick and oblique grids. For each it prints the field's RMS error
// in Hz in the head's tissue (and the true field's RMS there, for scale), the error reduction of
// the functional series resampled with the estimated shift beside that with the true shift (the
// ideal; the same linear resampling, so their ratio is the estimate's share), the agreement of
// the pair before and after, the levels' steps and the time.
//
//     ondrift_pair_accuracy [--generator analytic|susceptibility] [--only NAME] [--volumes N]
//                           [--diagnose] [--weight W] [--bending-share S] [--bending-mm MM]
//                           [--levels MM,MM,…] [--iterations N] [--cg N] [--flat F]
//                           [--settled VOXELS] [--compressed C] [--dump PREFIX]
//
// The options after --diagnose set the estimate's options (EstimationOptions) for trials;
// --dump writes per variant PREFIX<variant>.raw: the true field, the estimate, the two averaged
// images, the tissue mask and the true series, each one volume of float32.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/base/phase_encoding.h"
#include "cli/pairs/pair_estimation.h"
#include "cli/pairs/roughness.h"
#include "cli/pairs/volume_average.h"
#include "cli/phantom/phantom.h"
#include "cli/phantom/phantom_pair.h"

using namespace ondrift::cli;
namespace pairs = ondrift::pairs;

namespace {

struct Variant {
    const char* name;
    int pe;
    std::array<int, 3> dims;
    std::array<float, 3> voxels;
    double tilt = 0;
};

// The data set's grid (48×48×12 at 4 mm) along j and j−, the accuracy grid along every
// direction (k with enough slices that its lobes stay inside), thick slices and a tilt.
constexpr Variant kVariants[] = {
    {"dataset-j", 3, {48, 48, 12}, {4, 4, 4}},
    {"dataset-j-", 4, {48, 48, 12}, {4, 4, 4}},
    {"i", 1, {64, 64, 24}, {3, 3, 3}},
    {"i-", 2, {64, 64, 24}, {3, 3, 3}},
    {"j", 3, {64, 64, 24}, {3, 3, 3}},
    {"j-", 4, {64, 64, 24}, {3, 3, 3}},
    {"k", 5, {64, 64, 48}, {3, 3, 3}},
    {"k-", 6, {64, 64, 48}, {3, 3, 3}},
    {"j-thick-4mm", 3, {112, 112, 36}, {1.8f, 1.8f, 4.0f}},
    {"j--thick-9mm", 4, {104, 104, 16}, {1.9f, 1.9f, 9.0f}},
    {"i-oblique", 1, {64, 64, 40}, {3, 3, 3}, 18.0},
};

PhantomOptions optionsOf(const Variant& v, Generator generator) {
    PhantomOptions o;
    o.generator = generator;
    o.dims = v.dims;
    o.voxelSize = v.voxels[0];
    if (v.voxels[0] != v.voxels[2] || v.voxels[1] != v.voxels[0]) o.voxelSizes = v.voxels;
    o.tiltDegrees = v.tilt;
    o.peDirection = v.pe;
    o.volumes = 2;
    return o;
}

std::vector<unsigned char> tissueMask(const Phantom& p) {
    const std::size_t n = p.evaluationMask.size();
    std::vector<float> values(p.truth.begin(), p.truth.begin() + static_cast<std::ptrdiff_t>(n));
    const auto k99 = static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(n - 1));
    std::nth_element(values.begin(), values.begin() + k99, values.end());
    const float bright = values[static_cast<std::size_t>(k99)];
    std::vector<unsigned char> mask(n);
    for (std::size_t i = 0; i < n; ++i) mask[i] = p.evaluationMask[i] && p.truth[i] > 0.2f * bright;
    return mask;
}

/// Why the estimate is off: the objective at the estimate and at the true field (on the finest
/// level, unweighted), and inside the head the field's error and the pair's disagreement at the
/// true field by the true shift's slope (voxels per voxel): where the truth disagrees, the pair
/// model cannot explain the images (folds, compression, the field of view's edge).
void diagnoseEstimate(const pairs::PairImages& images, const pairs::EstimationOptions& eo,
                      const pairs::PairEstimate& e, const Phantom& bold) {
    const std::size_t n = images.grid.voxels();
    const std::vector<unsigned char> tissue = tissueMask(bold);
    pairs::LevelPair lp;
    lp.grid = images.grid;
    lp.axis = images.axis;
    std::vector<float> mean(n);
    for (std::size_t i = 0; i < n; ++i) mean[i] = 0.5f * (images.plus[i] + images.minus[i]);
    const auto k99 = static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(n - 1));
    std::nth_element(mean.begin(), mean.begin() + k99, mean.end());
    const double bright = mean[static_cast<std::size_t>(k99)];
    for (std::size_t i = 0; i < n; ++i) {
        lp.plus.push_back(images.plus[i] / bright);
        lp.minus.push_back(images.minus[i] / bright);
    }
    lp.plusPerHz = images.plusVoxelsPerHz;
    lp.minusPerHz = images.minusVoxelsPerHz;
    const pairs::Roughness r{1.0 - eo.bendingShare,
                             eo.bendingShare * eo.bendingLengthMm * eo.bendingLengthMm};
    const std::vector<double> est(e.fieldHz.begin(), e.fieldHz.end());
    const std::vector<double> tru(bold.fieldHz.begin(), bold.fieldHz.end());
    for (auto [name, f] : {std::pair{"estimate", &est}, {"truth", &tru}}) {
        std::printf("   at the %-8s misfit %.4g, penalty %.4g\n", name, pairs::pairMisfit(lp, *f),
                    0.5 * eo.roughnessWeight * pairs::roughness(lp.grid, r, *f));
    }
    std::vector<double> ta(n), tb(n);
    pairs::unwarpPair(lp, tru, ta, tb);
    const pairs::Lines lines(lp.grid, lp.axis);
    constexpr double kEdges[] = {0.1, 0.2, 0.4, 0.8, 1e300};
    double bins[5][3] = {};
    for (std::size_t l = 0; l < lines.count; ++l) {
        const std::size_t base = lines.base(l);
        for (int y = 1; y + 1 < lines.length; ++y) {
            const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
            if (!tissue[i]) continue;
            const double slope = 0.5 * images.plusVoxelsPerHz *
                                 std::fabs(tru[i + lines.stride] - tru[i - lines.stride]);
            int k = 0;
            while (slope >= kEdges[k]) ++k;
            bins[k][0] += (est[i] - tru[i]) * (est[i] - tru[i]);
            bins[k][1] += (ta[i] - tb[i]) * (ta[i] - tb[i]);
            bins[k][2] += 1;
        }
    }
    for (int k = 0; k < 5; ++k) {
        if (bins[k][2] == 0) continue;
        std::printf(
            "   slope below %-5.1f %6.0f voxels: error %6.2f Hz, disagreement at truth %.3f\n",
            kEdges[k] > 1e9 ? 99.0 : kEdges[k], bins[k][2], std::sqrt(bins[k][0] / bins[k][2]),
            std::sqrt(bins[k][1] / bins[k][2]));
    }
}

}  // namespace

int main(int argc, char** argv) {
    Generator generator = Generator::Analytic;
    std::string only;
    int volumes = 3;
    pairs::EstimationOptions eo;
    bool diagnose = false;
    std::string dump;
    double boldNoise = 0;
    ForwardModel boldModel = ForwardModel::Exact;
    // The numeric options: each sets one figure of the estimate or of the functional series.
    const std::map<std::string, int*> wholeOptions{{"--volumes", &volumes},
                                                   {"--iterations", &eo.maxIterations},
                                                   {"--cg", &eo.maxConjugateGradients}};
    const std::map<std::string, double*> realOptions{
        {"--weight", &eo.roughnessWeight},     {"--bending-share", &eo.bendingShare},
        {"--bending-mm", &eo.bendingLengthMm}, {"--settled", &eo.settledVoxels},
        {"--flat", &eo.flatObjective},         {"--compressed", &eo.compressedBelow},
        {"--bold-noise", &boldNoise}};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--generator" && i + 1 < argc) {
            if (!generatorFromName(argv[++i], generator)) {
                std::fprintf(stderr, "unknown generator %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (const auto n = wholeOptions.find(a); n != wholeOptions.end() && i + 1 < argc) {
            *n->second = std::atoi(argv[++i]);
        } else if (const auto r = realOptions.find(a); r != realOptions.end() && i + 1 < argc) {
            *r->second = std::atof(argv[++i]);
        } else if (a == "--levels" && i + 1 < argc) {
            eo.levelsMm.clear();
            for (const char* t = argv[++i]; *t;) {
                char* end = nullptr;
                eo.levelsMm.push_back(std::strtod(t, &end));
                t = *end == ',' ? end + 1 : end;
            }
        } else if (a == "--bold-model" && i + 1 < argc) {
            if (!forwardModelFromName(argv[++i], boldModel)) {
                std::fprintf(stderr, "unknown forward model %s\n", argv[i]);
                return 2;
            }
        } else if (a == "--dump" && i + 1 < argc) {
            dump = argv[++i];
        } else if (a == "--diagnose") {
            diagnose = true;
        } else {
            std::fprintf(stderr,
                         "usage: ondrift_pair_accuracy [--generator analytic|susceptibility] "
                         "[--only NAME] [--volumes N] [--weight W] [--bending-share S] "
                         "[--bending-mm MM] [--iterations N] [--cg N] [--settled VOXELS] "
                         "[--flat SHARE] [--levels MM,MM,...] [--compressed SHARE] "
                         "[--bold-noise SD] [--bold-model exact|sampled|pile-up] [--dump DIR] "
                         "[--diagnose]\n");
            return 2;
        }
    }
    std::printf("generator %s, %d volumes each way\n", generatorName(generator), volumes);
    std::printf("%-14s %9s %9s %8s %8s %6s %13s %13s %s\n", "variant", "fieldRMS", "errorHz",
                "reduce", "ideal", "share", "agree before", "agree after", "steps / time");
    for (const Variant& v : kVariants) {
        if (!only.empty() && only != v.name) continue;
        const PhantomOptions o = optionsOf(v, generator);
        PhantomOptions bo = o;
        bo.seriesNoise = boldNoise;
        bo.forwardModel = boldModel;
        const Phantom bold = makePhantom(bo);
        const int positive = isPositiveDirection(v.pe) ? v.pe : oppositeDirection(v.pe);
        const PhantomPair pair = makePhantomPair(o, positive, volumes);
        const std::size_t n = bold.geometry.voxelsPerVolume();
        const auto a = pairs::averageVolumes(pair.first.distorted, n, volumes);
        const auto b = pairs::averageVolumes(pair.second.distorted, n, volumes);
        pairs::PairImages images;
        images.grid.dims = {bold.geometry.nx(), bold.geometry.ny(), bold.geometry.nz()};
        for (std::size_t k = 0; k < 3; ++k) images.grid.voxelMm[k] = bold.geometry.voxelSize()[k];
        images.axis = directionAxis(v.pe);
        images.plus = a.mean;
        images.minus = b.mean;
        images.plusVoxelsPerHz = 1.0 / pair.first.bandwidthPE();
        images.minusVoxelsPerHz = 1.0 / pair.second.bandwidthPE();
        const auto start = std::chrono::steady_clock::now();
        const pairs::PairEstimate e = pairs::estimateField(images, eo);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (e.fieldHz.size() != n) {
            std::printf("%-14s failed: %s\n", v.name, e.problem.c_str());
            continue;
        }
        // The field matters where there is tissue: inside the head away from its edge, where
        // the undistorted image holds a fifth of its bright signal (not in the sinuses or the
        // ear canals, where no image tells the field).
        const std::vector<unsigned char> tissue = tissueMask(bold);
        double err = 0, ref = 0, count = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!tissue[i]) continue;
            const double d = e.fieldHz[i] - bold.fieldHz[i];
            err += d * d;
            ref += static_cast<double>(bold.fieldHz[i]) * bold.fieldHz[i];
            ++count;
        }
        Phantom estimated = bold;
        const double sign = isPositiveDirection(v.pe) ? 1.0 : -1.0;
        for (std::size_t i = 0; i < n; ++i) {
            estimated.seriesShift[i] = static_cast<float>(sign * e.fieldHz[i] / bold.bandwidthPE());
        }
        const double before = relativeError(bold.distorted, bold.truth, bold.evaluationMask);
        const double after =
            relativeError(estimated.idealSeries(), bold.truth, bold.evaluationMask);
        const double ideal = relativeError(bold.idealSeries(), bold.truth, bold.evaluationMask);
        std::string steps;
        for (const auto& l : e.levels) steps += std::to_string(l.iterations) + " ";
        std::printf("%-14s %9.1f %9.2f %8.2f %8.2f %5.0f%% %6.3f/%5.3f %6.3f/%5.3f %s/ %.1f s%s\n",
                    v.name, std::sqrt(ref / count), std::sqrt(err / count), before / after,
                    before / ideal, 100.0 * (before / after) / (before / ideal),
                    e.before.relativeDifference, e.before.correlation, e.after.relativeDifference,
                    e.after.correlation, steps.c_str(), seconds,
                    e.converged ? "" : " (not converged)");
        std::fflush(stdout);
        if (diagnose) diagnoseEstimate(images, eo, e, bold);
        if (!dump.empty()) {
            std::FILE* out = std::fopen((dump + v.name + ".raw").c_str(), "wb");
            if (out) {
                const std::vector<unsigned char> t = tissueMask(bold);
                std::vector<float> m(t.begin(), t.end());
                for (const float* s :
                     {bold.fieldHz.data(), e.fieldHz.data(), a.mean.data(), b.mean.data(),
                      static_cast<const float*>(m.data()), bold.truth.data()}) {
                    std::fwrite(s, sizeof(float), n, out);
                }
                std::fclose(out);
            }
        }
    }
    return 0;
}
