// `ondrift demo`: correct a synthetic phantom through the plug-in and check the result.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "cli/app/commands.h"
#include "cli/app/correct_command.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/phantom/phantom.h"
#include "cli/phantom/phantom_dataset.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

// The correction must at least divide the error of the distorted series by this. What remains
// comes from the phase noise, the field inside the signal dropouts (where it is not measured),
// and linear interpolation.
constexpr double kExpectedReduction = 4.0;

/// A temporary folder removed at the end, or the user's folder kept.
class DemoFolder {
public:
    explicit DemoFolder(const std::string& requested)
        : keep_(!requested.empty()),
          path_(keep_ ? fs::absolute(requested)
                      : fs::temp_directory_path() / ("ondrift-demo-" + std::to_string(getpid()))) {}
    ~DemoFolder() {
        std::error_code ec;
        if (!keep_) fs::remove_all(path_, ec);
    }
    DemoFolder(const DemoFolder&) = delete;
    DemoFolder& operator=(const DemoFolder&) = delete;
    const fs::path& path() const { return path_; }
    bool kept() const { return keep_; }

private:
    bool keep_;
    fs::path path_;
};

}  // namespace

int runDemo(const DemoOptions& options, Reporter& reporter) {
    if (!options.bidsOut.empty()) {
        std::error_code ec;
        if (fs::exists(options.bidsOut, ec) && !fs::is_empty(options.bidsOut, ec)) {
            throw InputError(options.bidsOut + ": exists and is not empty");
        }
        reporter.step("Writing a phantom BIDS data set of " + std::to_string(options.subjects) +
                      " subjects");
        writePhantomDataset(options.bidsOut, options.subjects);
        std::printf("%s\n", fs::absolute(options.bidsOut).string().c_str());
        return kExitSuccess;
    }
    PhantomOptions po;
    if (options.size == "large") {
        po.dims = {128, 128, 40};
        po.volumes = 12;
        po.voxelSize = 1.8f;
    }
    DemoFolder folder(options.out);
    reporter.step("Making the phantom");
    const Phantom phantom = makePhantom(po);
    const PhantomFiles files = writePhantom(phantom, (folder.path() / "input").string(), &reporter);

    CorrectOptions co;
    co.phase = files.phase;
    co.magnitude = files.magnitude;
    co.epi = files.bold;
    co.out = (folder.path() / "output").string();
    co.plugin = options.plugin;
    // Everything in the demo's folders is generated: a second run replaces the first one's.
    co.overwrite = true;
    co.magnitudeScale = "auto";
    const CorrectResult result = correctSeries(co, reporter);

    const NiftiImage corrected = readNifti(result.correctedNifti.string(), {}, &reporter);
    const double before = relativeError(phantom.distorted, phantom.truth, phantom.evaluationMask);
    const double after = relativeError(corrected.data, phantom.truth, phantom.evaluationMask);
    const double reduction = after > 0 ? before / after : INFINITY;
    const double ideal =
        relativeError(phantom.idealSeries(), phantom.truth, phantom.evaluationMask);
    const double idealReduction = ideal > 0 ? before / ideal : INFINITY;
    // The field where it is measured: inside the head, where the magnitude passes the mask.
    float lo = 0, hi = 0;
    for (std::size_t i = 0; i < phantom.fieldHz.size(); ++i) {
        if (phantom.headMask[i] == 0) continue;
        lo = std::min(lo, phantom.fieldHz[i]);
        hi = std::max(hi, phantom.fieldHz[i]);
    }
    const double cycles = (hi - lo) * phantom.echoTimeDiffMs() / 1000.0;
    const double maxShift = std::max(std::fabs(lo), std::fabs(hi)) / phantom.bandwidthPE();
    const bool pass = reduction >= kExpectedReduction;

    std::printf(
        "ondrift demo (%s): %dx%dx%d voxels, %d volumes; field %.0f to %.0f Hz in the head (%.1f "
        "phase "
        "cycles, %.1f %% of the head wrapped), shifts up to %.1f voxels along %s\n",
        options.size.c_str(), po.dims[0], po.dims[1], po.dims[2], po.volumes, lo, hi, cycles,
        100.0 * phantom.wrappedFraction(), maxShift, bidsDirection(po.peDirection).c_str());
    std::printf("  error of the distorted series: %6.2f %%\n", 100.0 * before);
    std::printf("  error of the corrected series: %6.2f %%\n", 100.0 * after);
    std::printf("  reduction: %.1fx (expected at least %.1fx): %s\n", reduction, kExpectedReduction,
                pass ? "PASS" : "FAIL");
    std::printf(
        "  ideal reduction (resampled with the true shift map): %.1fx; achieved %.0f %% of it\n",
        idealReduction, 100.0 * reduction / idealReduction);
    std::printf(
        "  (relative RMS error against the truth inside the head, away from its edge; "
        "%.1f s)\n",
        result.seconds);
    if (folder.kept()) std::printf("  inputs and results in %s\n", folder.path().string().c_str());
    return pass ? kExitSuccess : kExitFailed;
}

}  // namespace ondrift::cli
