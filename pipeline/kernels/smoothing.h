// The 3×3 slice kernels of the smoothing step.
#ifndef ONDRIFT_PIPELINE_KERNELS_SMOOTHING_H
#define ONDRIFT_PIPELINE_KERNELS_SMOOTHING_H

#include <array>
#include <span>

namespace ondrift {

/// Nine single-precision weights; the weight for column offset i and row offset j is k[3·i + j].
using KernelWeights = std::array<float, 9>;

/// The id of the "Smooth" kernel, the only one the pipeline uses.
inline constexpr int kSmoothKernel = 2;

/// Fills `weights` for the kernel id; false (weights all 0) for an unknown id. The "Smooth"
/// weights are 0.11111111f each, so they sum to 1.0000000074505806, not 1: results depend on it.
bool makeKernel(int kernelId, KernelWeights& weights);

/// "Smooth" for id 2, "unknown" otherwise.
const char* kernelName(int kernelId);

/// Convolves one slice of nx·ny values (x fastest) into `out` with the 3×3 window centred on each
/// voxel: out(x, y) = Σ_j Σ_i k[3·i + j] · in(x + 1 − i, y + 1 − j), j outer and i inner, each
/// 0…2, the float weight widened to double, positions outside the slice counting as 0 and the
/// weights not renormalised there. `in` and `out` must not overlap.
void convolveSlice(std::span<const double> in, std::span<double> out, int nx, int ny,
                   const KernelWeights& weights);

}  // namespace ondrift

#endif
