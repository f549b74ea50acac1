// Phase unwrapping through the Laplacian of the wrapped phase and the full-multigrid solver.
//
// The wrapped differences of the phase are summed into its Laplacian, which (optionally masked
// by the magnitude, and mean-free) is integrated back into a phase field by the solver. All grid
// neighbours wrap around the volume, matching the solver's circular boundaries.
#ifndef ONDRIFT_PIPELINE_LAPLACIAN_UNWRAPPING_H
#define ONDRIFT_PIPELINE_LAPLACIAN_UNWRAPPING_H

#include <string>

#include "image/datahandler.h"

namespace ondrift {

/// Gradient direction codes of wrappedGradient.
inline constexpr int kGradientX = 1;
inline constexpr int kGradientY = 3;
inline constexpr int kGradientZ = 5;

/// Entry of the procedure runner. A phase that is not Valid gives an empty Failed image without
/// a log entry; otherwise the result of unwrapLaplacian. The phase is in radians, one volume.
/// On failure the reason is logged and, when `error` is given, stored there for "ErrorMsg".
Image unwrapPhaseMultigrid(const Image& phase, const Image& magnitude, bool maskLaplacian,
                           int nrOfVCycles, int nrOfIterations, std::string* error = nullptr);

/// Unwraps, shifts the result to the phase's mean and saves it as
/// "<phase name>_unwrapped<c>vcyc<nit>its_smoothed.fmr" (bare file name, which also becomes
/// the result's name). Status Failed when the gradients are invalid ("Data invalid."), the
/// solver refuses the grid, the mean cannot be matched or the project cannot be saved.
Image unwrapLaplacian(const Image& phase, const Image& magnitude, bool maskLaplacian,
                      int nrOfVCycles, int nrOfIterations, std::string* error = nullptr);

/// Wrapped forward differences along x (1), y (3) or z (5), each in [π, 3π). Failed for an
/// image that is not Valid or lacks its voxels ("Unvalid image.") or another code.
Image wrappedGradient(const Image& image, int direction);

/// Sum of the backward differences of the three gradients: the negative discrete Laplacian of
/// a phase that never jumps by π. Failed unless all three are Valid and of one grid.
Image wrappedLaplacian(const Image& gx, const Image& gy, const Image& gz);

/// 1.0 where the magnitude exceeds kMagnitudeThreshold (200), else 0.0.
Image qualityMask(const Image& magnitude);

/// image ∘= mask. False, changing nothing, unless both are Valid with equal voxel counts.
bool multiplyByMask(Image& image, const Image& mask);

/// Subtracts the image's single-precision mean from every voxel. False when not Valid.
bool removeMean(Image& image);

/// Adds mean(reference) − mean(image), formed in single precision, to every voxel of image.
bool matchMean(const Image& reference, Image& image);

/// Solves (A + 0.0001) u = L with unit weights on L's grid. Failed, with the reason logged and
/// stored in `error`, when the grid is outside the solver's limits (1…32768 per axis).
Image solveMultigrid(const Image& laplacian, int nrOfVCycles, int nrOfIterations,
                     std::string* error = nullptr);

}  // namespace ondrift

#endif
