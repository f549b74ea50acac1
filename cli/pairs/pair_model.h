// The model of a reverse phase-encoding pair on one resolution level: both images brought back
// through the field into a common undistorted frame, where they should agree.
//
// With a field f (Hz) and a shift s = κ·f voxels, the image taken along the positive direction
// shows true position p at p + s(p), the other at p − s(p). Signal is conserved along the
// axis, so the true image is A(p + s)·(1 + ∂s/∂p) and also B(p − s)·(1 − ∂s/∂p); the residual of
// a voxel is the difference of the two.
#ifndef ONDRIFT_CLI_PAIRS_PAIR_MODEL_H
#define ONDRIFT_CLI_PAIRS_PAIR_MODEL_H

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace ondrift::pairs {

struct Grid {
    std::array<int, 3> dims{0, 0, 0};
    std::array<double, 3> voxelMm{1, 1, 1};
    std::size_t voxels() const {
        return static_cast<std::size_t>(dims[0]) * static_cast<std::size_t>(dims[1]) *
               static_cast<std::size_t>(dims[2]);
    }
};

/// The lines along one axis of a grid: line l starts at base(l) and steps by `stride`.
struct Lines {
    std::size_t count = 0;
    std::size_t stride = 1;
    int length = 0;
    Lines(const Grid& g, int axis);
    std::size_t base(std::size_t line) const {
        return line % stride + (line / stride) * stride * static_cast<std::size_t>(length);
    }
};

/// One level: the two images and their shifts per Hz (level voxels) along `axis`.
struct LevelPair {
    Grid grid;
    int axis = 1;
    std::vector<double> plus;   ///< shifted toward the axis' end by a positive field
    std::vector<double> minus;  ///< shifted the other way
    double plusPerHz = 0;       ///< κ of `plus`, voxels per Hz
    double minusPerHz = 0;
    /// Per voxel, the weight of its residual (empty: 1), set by `reweight`.
    std::vector<double> weight;
};

/// Weights the residuals at `field`: 0 where an image position falls beyond the field of view
/// (the edge's value held there is no part of the object), and less where either image is
/// compressed by the field to below `compressed` of its length (0: not at all). There a voxel of
/// the image holds a stretch of the object that its samples no longer resolve, and beside a fold
/// a stretch that the other image shows apart: no field explains both.
void reweight(LevelPair& pair, std::span<const double> field, double compressed);

/// The residuals and their derivatives with respect to the field of one linearisation. The
/// residual of voxel y depends on f(y) (coefficient g) and on f(y+1) − f(y−1) (coefficient h),
/// neighbours clamped at the line's ends.
struct Linearisation {
    std::vector<double> residual;
    std::vector<double> g;
    std::vector<double> h;
    double misfit = 0;  ///< ½ Σ r²
};

/// Both images brought back through `field` (Hz) into the undistorted frame.
void unwarpPair(const LevelPair& pair, std::span<const double> field, std::span<double> plus,
                std::span<double> minus);

/// ½ Σ r² only (for trial steps).
double pairMisfit(const LevelPair& pair, std::span<const double> field);

/// Residuals and derivatives at `field`.
void linearise(const LevelPair& pair, std::span<const double> field, Linearisation& out);

/// u = J·v and w = Jᵀ·u for the linearisation (w overwritten).
void applyJacobian(const Linearisation& lin, const LevelPair& pair, std::span<const double> v,
                   std::span<double> u);
void applyJacobianTransposed(const Linearisation& lin, const LevelPair& pair,
                             std::span<const double> u, std::span<double> w);
/// The diagonal of JᵀJ.
void jacobianDiagonal(const Linearisation& lin, const LevelPair& pair, std::span<double> diag);

}  // namespace ondrift::pairs

#endif
