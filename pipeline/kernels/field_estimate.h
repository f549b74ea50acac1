// The field as a regression: the smooth field f that minimises
//     Σ w (f − g)² + λ ∫ (f_xx² + f_yy² + f_zz² + 2 f_xy² + 2 f_xz² + 2 f_yz²) dV
// for a measurement g with inverse noise variances w (0 where nothing was measured) and the
// second derivatives taken in millimetres, so that voxels of any shape describe the same field.
// Its only null space is the affine fields: where w is 0 the minimiser continues the field as
// smoothly as it can, with no fill rule of its own.
//
// λ is chosen by the discrepancy principle against the noise model: the median of w (f − g)²
// over the measured voxels is the median of χ² with one degree of freedom. A measurement that
// is noisier than its structure is then smoothed more, a clean one hardly at all, and outliers
// (a voxel a cycle off) move the median little.
#ifndef ONDRIFT_PIPELINE_KERNELS_FIELD_ESTIMATE_H
#define ONDRIFT_PIPELINE_KERNELS_FIELD_ESTIMATE_H

#include <span>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/field_noise.h"
#include "pipeline/kernels/thin_plate.h"

namespace ondrift {

/// What estimateSmoothField found.
struct FieldEstimate {
    double lambda = 0;         ///< the roughness weight chosen (in w's units · mm)
    double discrepancy = 0;    ///< median w (f − g)² over its target (1 when met)
    int levels = 0;            ///< grids from the finest to the coarsest
    int finestIterations = 0;  ///< solver passes on the finest grid (1 above the tuned sizes)
    long long measured = 0;    ///< voxels with w > 0
};

/// Writes into `f` the minimiser above for the measurement `g` and the weights `w` on the grid
/// `d` with voxel sizes `h` (mm). It solves coarse to fine (grids halved along the axes of the
/// finest spacing, each taking the coarser one's solution and λ as its start), with conjugate
/// gradients preconditioned by the diagonal, and refines λ on each grid. False, touching
/// nothing, when the lengths do not fit, a spacing is not positive or no w is positive. `f` may
/// be the memory of `g`. `noiseShare` scales the misfit the criterion asks for: above 1 the field
/// is smoother than the noise alone calls for and leaves the sharper structure to its residual.
/// The share the field map's estimate asks for: twice the noise's variance left in the residual,
/// so that the smooth field takes the broad field and what is sharper than its smoothness (at
/// the edge of the head, beside air) is given back from the residual (residual_restoration.h).
inline constexpr double kSmoothFieldNoiseShare = 2.0;

bool estimateSmoothField(Dims d, const Spacing& h, std::span<const double> g,
                         std::span<const double> w, std::span<double> f, FieldEstimate& result,
                         double noiseShare = 1);

}  // namespace ondrift

#endif
