// Accuracy of `ondrift correct` on the scanner-like phantom in fourteen variants: every in-plane
// phase-encoding direction and sign, both storage orders, a thin slab, three phase cycles across
// the field of view, functional grids that differ from the field map's, thick slices (1.8×1.8×4
// and 1.9×1.9×9 mm) and oblique grids. `--generator` chooses the phantom's head: the analytic
// field, or the field a susceptibility model of a head produces (cli/phantom_susceptibility.h,
// at `--field-strength` tesla). For each it prints
// the error reduction of the corrected series against its truth and that of the ideal (the
// distorted series resampled with the true shift map), inside the head away from its edge and
// over the whole head (where folds beside the lobes, which no pixel-shift correction undoes,
// bound the ideal). `--forward-model` chooses how the phantom makes the distorted series (exact,
// sampled from the gridded truth, or with intensity pile-up; see ForwardModel in cli/phantom.h);
// `--series-noise` adds thermal noise to the distorted series (PhantomOptions::seriesNoise); the
// table's first line names both.
//
//     ondrift_accuracy_variants [--folder DIR] [--seed N] [--phase-noise RAD] [--series-noise SD]
//                               [--only NAME] [--forward-model exact|sampled|pile-up]
//                               [--generator analytic|susceptibility] [--field-strength T]
//                               [-- ARGS FOR CORRECT]
//
// The inputs and results stay in DIR (default accuracy-variants/), one folder per variant, so
// that other pipelines can be measured on the same files (bench/python_pipeline.py).
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/nifti_file.h"
#include "cli/phantom.h"
#include "cli/phantom_model.h"
#include "cli/phantom_susceptibility.h"

namespace fs = std::filesystem;
using namespace ondrift::cli;

namespace {

struct Variant {
    const char* name;
    int pe;
    bool mirrored;
    double shimCycles;
    std::array<int, 3> dims;
    float voxel;
    std::array<int, 3> epiDims;  ///< 0: the field map's grid
    float epiVoxel;
    double epiTilt;
    std::array<float, 3> voxels{0, 0, 0};  ///< per axis, when given (thick slices)
    double tilt = 0;                       ///< of the field map (and a shared grid), degrees
};

constexpr Variant kVariants[] = {
    {"j", 3, false, 2.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-", 4, false, 2.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"i-mirrored", 1, true, 2.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"i--mirrored", 2, true, 2.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-mirrored", 3, true, 2.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-3-cycles", 3, false, 3.0, {64, 64, 24}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-thin-slab", 3, false, 2.0, {64, 64, 12}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-thin-mirrored", 3, true, 2.0, {64, 64, 12}, 3.0f, {0, 0, 0}, 0, 0},
    {"j-epi-grid", 3, false, 2.0, {72, 72, 28}, 2.7f, {64, 64, 24}, 3.0f, 8.0},
    {"j--epi-grid", 4, true, 2.0, {64, 64, 24}, 3.0f, {80, 80, 30}, 2.4f, 0.0},
    // Thick slices and oblique grids, as scanners deliver them.
    {"j-thick-4mm", 3, false, 2.0, {112, 112, 36}, 1.8f, {0, 0, 0}, 0, 0, {1.8f, 1.8f, 4.0f}},
    {"j--thick-9mm", 4, false, 2.0, {104, 104, 16}, 1.9f, {0, 0, 0}, 0, 0, {1.9f, 1.9f, 9.0f}},
    {"i-oblique", 1, false, 2.0, {64, 64, 40}, 3.0f, {0, 0, 0}, 0, 0, {0, 0, 0}, 18.0},
    {"j-oblique-epi", 3, true, 2.0, {64, 64, 40}, 3.0f, {72, 72, 30}, 2.7f, 14.0},
};

PhantomOptions options(const Variant& v, unsigned seed, double phaseNoise, double seriesNoise,
                       ForwardModel model, const PhantomOptions& base) {
    PhantomOptions o = base;
    o.forwardModel = model;
    o.seriesNoise = seriesNoise;
    if (phaseNoise >= 0) o.phaseNoise = phaseNoise;
    o.dims = v.dims;
    o.voxelSize = v.voxel;
    o.volumes = 2;
    o.peDirection = v.pe;
    o.flipI = v.mirrored;
    o.shimCycles = v.shimCycles;
    o.noiseSeed = seed;
    o.voxelSizes = v.voxels;
    o.tiltDegrees = v.tilt;
    if (v.epiDims[0] > 0) {
        o.epiDims = v.epiDims;
        o.epiVoxelSize = v.epiVoxel;
        o.epiTiltDegrees = v.epiTilt;
        o.epiFlipI = v.mirrored;
    }
    return o;
}

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[0], argv.data());
        std::perror("exec");
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The head on the functional grid: wherever the true signal of the first volume is more than
/// a few percent of the tissue's.
std::vector<unsigned char> wholeHead(const Phantom& p) {
    const std::size_t n = p.seriesGeometry.voxelsPerVolume();
    std::vector<unsigned char> head(n);
    for (std::size_t i = 0; i < n; ++i) head[i] = p.truth[i] > 30.0f ? 1 : 0;
    return head;
}

/// The field map's voxels inside the model's brain (the analytic head has no other) that hold
/// signal: where bench/field_accuracy.py measures the field map.
std::vector<float> brainMask(const Phantom& p) {
    const std::unique_ptr<HeadModel> model = makeHeadModel(p.options);
    const Affine a = p.geometry.affine();
    std::vector<float> mask(p.headMask.size());
    for (int z = 0, i = 0; z < p.geometry.nz(); ++z) {
        for (int y = 0; y < p.geometry.ny(); ++y) {
            for (int x = 0; x < p.geometry.nx(); ++x, ++i) {
                const World w = toWorld(a, x, y, z);
                const auto u = static_cast<std::size_t>(i);
                mask[u] = p.headMask[u] != 0 && model->radius(w.x, w.y, w.z) < 1.0 ? 1.0f : 0.0f;
            }
        }
    }
    return mask;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path folder = "accuracy-variants";
    unsigned seed = 7;
    double phaseNoise = -1;  // the phantom's own
    double seriesNoise = 0;
    std::string only;
    ForwardModel model = ForwardModel::Exact;
    PhantomOptions base;
    std::vector<std::string> extra;
    for (int a = 1; a < argc; ++a) {
        const std::string s = argv[a];
        if (s == "--") {
            for (++a; a < argc; ++a) extra.emplace_back(argv[a]);
        } else if (s == "--folder" && a + 1 < argc) {
            folder = argv[++a];
        } else if (s == "--seed" && a + 1 < argc) {
            seed = static_cast<unsigned>(std::strtoul(argv[++a], nullptr, 10));
        } else if (s == "--phase-noise" && a + 1 < argc) {
            phaseNoise = std::strtod(argv[++a], nullptr);
        } else if (s == "--series-noise" && a + 1 < argc) {
            seriesNoise = std::strtod(argv[++a], nullptr);
        } else if (s == "--only" && a + 1 < argc) {
            only = argv[++a];
        } else if (s == "--forward-model" && a + 1 < argc &&
                   forwardModelFromName(argv[a + 1], model)) {
            ++a;
        } else if (s == "--generator" && a + 1 < argc &&
                   generatorFromName(argv[a + 1], base.generator)) {
            ++a;
        } else if (s == "--field-strength" && a + 1 < argc) {
            base.susceptibility.fieldStrengthT = std::strtod(argv[++a], nullptr);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--folder DIR] [--seed N] [--phase-noise RAD] "
                         "[--series-noise SD] [--only NAME] "
                         "[--forward-model exact|sampled|pile-up] "
                         "[--generator analytic|susceptibility] [--field-strength T] "
                         "[-- ARGS FOR CORRECT]\n",
                         argv[0]);
            return 2;
        }
    }
    const fs::path ondrift = fs::canonical("/proc/self/exe").parent_path() / "ondrift";
    std::printf("generator: %s", generatorName(base.generator));
    if (base.generator == Generator::Susceptibility) {
        std::printf(" at %g T", base.susceptibility.fieldStrengthT);
    }
    std::printf(", forward model: %s, series noise %g\n", forwardModelName(model), seriesNoise);
    std::printf("%-16s %8s | %-28s | %-28s\n", "variant", "wrapped", "inside the head (ideal)",
                "whole head (ideal)");
    int failures = 0;
    for (const Variant& v : kVariants) {
        if (!only.empty() && only != v.name) continue;
        const Phantom p = makePhantom(options(v, seed, phaseNoise, seriesNoise, model, base));
        const fs::path in = folder / v.name / "in", out = folder / v.name / "out";
        fs::remove_all(folder / v.name);
        const PhantomFiles files = writePhantom(p, in.string(), nullptr);
        const std::vector<float> ideal = p.idealSeries();
        writeNifti((in / "ideal.nii.gz").string(), p.seriesGeometry, p.options.volumes, ideal,
                   nullptr);
        writeNifti((in / "evaluation-mask.nii.gz").string(), p.seriesGeometry, 1,
                   std::vector<float>(p.evaluationMask.begin(), p.evaluationMask.end()), nullptr);
        writeNifti((in / "brain-mask.nii.gz").string(), p.geometry, 1, brainMask(p), nullptr);
        std::vector<std::string> args = {
            ondrift.string(), "--quiet",       "correct", "--no-report", "--phase", files.phase,
            "--magnitude",    files.magnitude, "--epi",   files.bold,    "--out",   out.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        if (run(args) != 0) {
            std::printf("%-16s ondrift correct failed\n", v.name);
            ++failures;
            continue;
        }
        const NiftiImage corrected =
            readNifti((out / "sub-phantom_task-rest_bold_undistort.nii.gz").string(), {}, nullptr);
        double achieved[2], best[2];
        const std::vector<unsigned char> head = wholeHead(p);
        const std::vector<unsigned char>* masks[2] = {&p.evaluationMask, &head};
        for (int m = 0; m < 2; ++m) {
            const double before = relativeError(p.distorted, p.truth, *masks[m]);
            achieved[m] = before / relativeError(corrected.data, p.truth, *masks[m]);
            best[m] = before / relativeError(ideal, p.truth, *masks[m]);
        }
        std::printf("%-16s %7.1f%% | x%6.2f (x%6.2f) %4.0f %% | x%6.2f (x%6.2f) %4.0f %%\n", v.name,
                    100.0 * p.wrappedFraction(), achieved[0], best[0],
                    100.0 * achieved[0] / best[0], achieved[1], best[1],
                    100.0 * achieved[1] / best[1]);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
