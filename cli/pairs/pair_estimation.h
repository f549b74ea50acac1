// The field that best explains a reverse phase-encoding pair: least squares on the pair model
// (pair_model.h) plus a roughness penalty in mm, solved coarse to fine with Levenberg-Marquardt
// steps whose normal equations are solved by preconditioned conjugate gradients.
#ifndef ONDRIFT_CLI_PAIRS_PAIR_ESTIMATION_H
#define ONDRIFT_CLI_PAIRS_PAIR_ESTIMATION_H

#include <span>
#include <string>
#include <vector>

#include "cli/pairs/pair_model.h"

namespace ondrift::pairs {

/// One volume per direction on a shared grid, x fastest.
struct PairImages {
    Grid grid;
    int axis = 1;                  ///< phase-encoding axis, 0…2
    std::span<const float> plus;   ///< taken along the axis' positive direction
    std::span<const float> minus;  ///< taken along its negative direction
    double plusVoxelsPerHz = 0;    ///< 1 / bandwidth per pixel of `plus`
    double minusVoxelsPerHz = 0;
};

struct EstimationOptions {
    /// Weight of the roughness Σ|∇f|² ((Hz/mm)²) against the squared difference of the two
    /// images, scaled so that their bright tissue is about 1.
    double roughnessWeight = 1e-4;
    /// The share of the roughness that is bending (second differences over a length in mm)
    /// rather than slope: bending leaves the shim's gradients free and the lobes rounded.
    double bendingShare = 0.9;
    double bendingLengthMm = 10.0;
    /// Voxel sizes of the levels, coarse to fine; each axis is averaged over the whole number of
    /// voxels nearest it. The image's own grid always ends the list.
    std::vector<double> levelsMm{16.0, 8.0, 4.0};
    int maxIterations = 30;  ///< Levenberg-Marquardt steps per level
    /// Converged: the largest step's shift below `stepToleranceVoxels`, or the objective
    /// lowered by less than `flatObjective` (a share) in a step whose RMS shift over the field of
    /// view is below `settledVoxels`.
    double stepToleranceVoxels = 0.01;
    double flatObjective = 1e-3;
    double settledVoxels = 0.02;
    int maxConjugateGradients = 60;
    /// Residuals weigh less where either image is compressed to below this share of its length
    /// (linearly, to nothing at a fold), and nothing where an image position leaves the field
    /// of view; the weights follow the field after every accepted step.
    double compressedBelow = 0.5;
};

struct LevelReport {
    Grid grid;
    int iterations = 0;
    double misfitStart = 0;  ///< ½ Σ r² + ½ λ roughness, at the start of the level
    double misfitEnd = 0;
    bool converged = false;
};

/// How well the two images agree inside the head: the RMS of their difference relative to the
/// RMS of their mean, and their correlation. Before and after are measured in one head, where the
/// mean of either the images as given or as corrected holds signal, so that neither figure
/// leaves out voxels the other counts.
struct Agreement {
    double relativeDifference = 0;
    double correlation = 0;
};

struct PairEstimate {
    std::vector<float> fieldHz;  ///< on the pair's grid
    bool converged = false;
    std::string problem;  ///< why the estimate cannot be used ("" when it can)
    std::vector<LevelReport> levels;
    Agreement before;  ///< of the images as given
    Agreement after;   ///< of the images brought back through the estimated field
    std::vector<float> plusCorrected;
    std::vector<float> minusCorrected;
};

/// The images' shares of the work are checked (sizes, finite values, positive κ); a problem
/// there, a field that does not settle, values that are not finite, or a field that leaves the
/// pair agreeing no better than as given end with `problem` set.
PairEstimate estimateField(const PairImages& images, const EstimationOptions& options = {});

/// The agreement of two images inside `mask` (one byte per voxel).
Agreement agreement(std::span<const float> a, std::span<const float> b,
                    std::span<const unsigned char> mask);

}  // namespace ondrift::pairs

#endif
