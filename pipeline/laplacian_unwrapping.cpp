#include "pipeline/laplacian_unwrapping.h"

#include <cstddef>
#include <cstdio>
#include <utility>
#include <vector>

#include "binding/host_parameters.h"
#include "binding/log.h"
#include "image/fmr_writer.h"
#include "image/helper_tools.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/multigrid.h"
#include "pipeline/kernels/wrapped_laplacian.h"
#include "pipeline/mask.h"
#include "pipeline/step_errors.h"

namespace ondrift {

namespace {

// The solver's system: unit axis and membrane weights, no extra diagonal, and a small uniform
// diagonal field that makes the otherwise singular periodic Laplacian invertible.
constexpr LevelParams kSolverParams{1.0, 1.0, 1.0, 1.0, 0.0};
constexpr double kSolverDiagonal = 0.0001;
constexpr double kMaskValue = 1.0;

bool usable(const Image& image) {
    return image.isValid() && holdsFirstVolume(image) && image.getDimX() >= 1 &&
           image.getDimY() >= 1 && image.getDimZ() >= 1;
}

// A new image with the source's header and all values 0.0.
Image zeroLike(const Image& source) {
    Image image;
    source.copyHeaderTo(image);
    image.setData(std::vector<double>(static_cast<std::size_t>(image.getNrOfVoxels()), 0.0));
    return image;
}

Image failedImage() {
    Image image;
    image.setStatus(Failed);
    return image;
}

std::span<const double> firstVolume(const Image& image) { return volumeValues(image, 0); }
std::span<double> firstVolume(Image& image) { return volumeValues(image, 0); }

}  // namespace

Image unwrapPhaseMultigrid(const Image& phase, const Image& magnitude, bool maskLaplacian,
                           int nrOfVCycles, int nrOfIterations, std::string* error) {
    if (!phase.isValid()) {
        if (error != nullptr) *error = "The phase image is not valid: nothing was unwrapped.";
        return failedImage();
    }
    return unwrapLaplacian(phase, magnitude, maskLaplacian, nrOfVCycles, nrOfIterations, error);
}

Image wrappedGradient(const Image& image, int direction) {
    if (!usable(image)) {
        Image result;
        image.copyHeaderTo(result);
        logText("Unvalid image.");
        result.setStatus(Failed);
        return result;
    }
    Image result = zeroLike(image);
    Axis axis = Axis::X;
    switch (direction) {
        case kGradientX:
            logText("X direction...");
            axis = Axis::X;
            break;
        case kGradientY:
            logText("Y direction...");
            axis = Axis::Y;
            break;
        case kGradientZ:
            logText("Z direction...");
            axis = Axis::Z;
            break;
        default:
            logText("Unknown gradient direction.");
            result.setStatus(Failed);
            return result;
    }
    wrappedForwardDifference(volumeDims(image), firstVolume(image), axis, firstVolume(result));
    return result;
}

Image wrappedLaplacian(const Image& gx, const Image& gy, const Image& gz) {
    const Dims d = volumeDims(gx);
    if (!usable(gx) || !usable(gy) || !usable(gz) || volumeDims(gy) != d || volumeDims(gz) != d) {
        Image result;
        gx.copyHeaderTo(result);
        logText("Unvalid image.");
        result.setStatus(Failed);
        return result;
    }
    Image result = zeroLike(gx);
    logText("Add 2nd difference for X...");
    addBackwardDifference(d, firstVolume(gx), Axis::X, firstVolume(result));
    logText("Add 2nd difference for Y...");
    addBackwardDifference(d, firstVolume(gy), Axis::Y, firstVolume(result));
    logText("Add 2nd difference for Z...");
    addBackwardDifference(d, firstVolume(gz), Axis::Z, firstVolume(result));
    return result;
}

Image qualityMask(const Image& magnitude) {
    return createMask(magnitude, kMagnitudeThreshold, kMaskValue);
}

bool multiplyByMask(Image& image, const Image& mask) {
    if (!image.isValid() || !mask.isValid() || image.getNrOfVoxels() != mask.getNrOfVoxels()) {
        return false;
    }
    const std::span<double> values = allValues(image);
    const std::span<const double> weights = allValues(mask);
    if (values.size() != weights.size()) return false;
    for (std::size_t v = 0; v < values.size(); ++v) values[v] *= weights[v];
    return true;
}

bool removeMean(Image& image) {
    if (!image.isValid() || !holdsAllVoxels(image)) return false;
    const double mean = image.getMean();
    for (double& v : allValues(image)) v -= mean;
    return true;
}

bool matchMean(const Image& reference, Image& image) {
    if (!reference.isValid() || !image.isValid() || !holdsAllVoxels(reference) ||
        !holdsAllVoxels(image)) {
        return false;
    }
    const float shift = reference.getMean() - image.getMean();
    const double offset = shift;
    for (double& v : allValues(image)) v += offset;
    return true;
}

Image solveMultigrid(const Image& laplacian, int nrOfVCycles, int nrOfIterations,
                     std::string* error) {
    Image result;
    laplacian.copyHeaderTo(result);
    result.setNrOfVolumes(1);
    const Dims d = volumeDims(laplacian);
    const std::int64_t scratchSize = fmg_scratch_size(d);
    if (scratchSize < 0 || !holdsFirstVolume(laplacian)) {
        result.setStatus(Failed);
        reportStepError(error,
                        formatMessage("The multigrid solver cannot solve on a grid of %d x %d x %d "
                                      "voxels: every extent must lie between 1 and %d.",
                                      d.x, d.y, d.z, kMaxGridExtent));
        return result;
    }
    // The diagonal field and the scratch live only for the solve; the solution becomes the
    // result's data.
    const std::vector<double> diagonal(d.voxels(), kSolverDiagonal);
    std::vector<double> solution(d.voxels(), 0.0);
    std::vector<double> scratch(static_cast<std::size_t>(scratchSize));
    logText("Resize...");
    fmg_solve(d, diagonal, firstVolume(laplacian), kSolverParams, nrOfVCycles, nrOfIterations,
              solution, scratch);
    result.setData(std::move(solution));
    return result;
}

Image unwrapLaplacian(const Image& phase, const Image& magnitude, bool maskLaplacian,
                      int nrOfVCycles, int nrOfIterations, std::string* error) {
    logText("Compute x, y and z gradients...");
    Image laplacian;
    {
        const Image gx = wrappedGradient(phase, kGradientX);
        const Image gy = wrappedGradient(phase, kGradientY);
        const Image gz = wrappedGradient(phase, kGradientZ);
        if (!gx.isValid() || !gy.isValid() || !gz.isValid()) {
            reportStepError(error, "Data invalid.");
            return failedImage();
        }
        logText("Get Laplacian...");
        laplacian = wrappedLaplacian(gx, gy, gz);
    }
    if (!laplacian.isValid()) {
        reportStepError(error, "Data invalid.");
        return failedImage();
    }

    if (maskLaplacian) {
        logText("Compute and apply quality mask...");
        const Image mask = qualityMask(magnitude);
        // A mask of another grid leaves the Laplacian unmasked.
        multiplyByMask(laplacian, mask);
    }
    logText(laplacian.statisticsText("laplacian"));

    logText("Remove mean...");
    removeMean(laplacian);
    logText(laplacian.statisticsText("laplacian, mean removed"));

    logText("Solve...");
    Image result = solveMultigrid(laplacian, nrOfVCycles, nrOfIterations, error);
    laplacian = Image{};
    if (!result.isValid()) return result;

    logText("Apply smoothing...");
    if (!matchMean(phase, result)) {
        result.setStatus(Failed);
        reportStepError(error, "Smoothing did not work.");
        return result;
    }

    char suffix[100];
    std::snprintf(suffix, sizeof suffix, "%s%i%s%i%s", "_unwrapped", nrOfVCycles, "vcyc",
                  nrOfIterations, "its_smoothed");
    const helperTools tools;
    const std::string name =
        tools.baseName(tools.addSuffix(result.getName(), suffix), false, false);
    logText(name);
    if (!saveAsFMR(result, name)) {
        result.setStatus(Failed);
        reportStepError(
            error, formatMessage("The unwrapped phase could not be saved as %s.", name.c_str()));
    }
    result.setName(name);
    return result;
}

}  // namespace ondrift
