// Full-multigrid solver for (A + diag(a)) u = b on a grid with circular boundaries.
//
// A is the membrane-energy operator: a seven-point stencil with one weight per axis plus a
// constant diagonal term. The hierarchy halves the grid down to 1×1×1; right-hand side and
// diagonal are carried down by quadratic B-spline resampling, and the solution is refined from
// the coarsest grid upwards with V-cycles smoothed by red-black Gauss-Seidel.
//
// Every function works on memory the caller supplies; nothing here allocates. Fields are
// x-fastest arrays of one double per voxel.
#ifndef ONDRIFT_PIPELINE_KERNELS_MULTIGRID_H
#define ONDRIFT_PIPELINE_KERNELS_MULTIGRID_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Operator parameters: axis weights (reciprocal spacings), membrane weight, extra diagonal.
struct LevelParams {
    double s0 = 1.0;
    double s1 = 1.0;
    double s2 = 1.0;
    double lambda = 1.0;
    double mu = 0.0;
};

/// Most levels the hierarchy can have; fifteen halvings bring an extent of 32768 to 1.
inline constexpr int kMaxGridLevels = 16;
/// Largest extent per axis the solver accepts.
inline constexpr int kMaxGridExtent = 32768;

/// The grid hierarchy: level 0 is the caller's grid, the last level is 1×1×1.
struct GridLevels {
    int count = 0;
    std::array<Dims, kMaxGridLevels> dims{};
    std::array<LevelParams, kMaxGridLevels> params{};
};

/// Builds the hierarchy for `d` and the parameters of every level. False (count 0) when an
/// extent is below 1 or above kMaxGridExtent.
bool buildGridLevels(Dims d, const LevelParams& param, GridLevels& levels);

/// Doubles of scratch fmg_solve needs for `d`; -1 when the extents are refused.
std::int64_t fmg_scratch_size(Dims d);

/// Solves the system; u receives the solution (its content on entry is never read), a and b
/// are only read. Returns false, touching nothing, when the extents are refused or a span is
/// shorter than the grid (scratch: shorter than fmg_scratch_size).
bool fmg_solve(Dims d, std::span<const double> a, std::span<const double> b,
               const LevelParams& param, int c, int nit, std::span<double> u,
               std::span<double> scratch);

/// 2·nit red-black Gauss-Seidel half-sweeps on u, in place (even coordinate sums first).
void relax(Dims d, const double* a, const double* b, const LevelParams& param, int nit, double* u);

/// r = A·u + a∘u.
void apply_system(Dims d, const double* a, const LevelParams& param, const double* u, double* r);

/// r = A·u, the stencil alone.
void Ltlf_me(Dims d, const double* u, const LevelParams& param, double* r);

/// r[v] += a[v]·u[v].
void add_product(Dims d, const double* a, const double* u, double* r);

/// Doubles of work area `resize` needs from `in` to `out` extents.
std::size_t resizeWorkSize(Dims in, Dims out);

/// Resamples a volume to other extents (restriction and prolongation); `work` holds at least
/// resizeWorkSize(in, out) doubles.
void resize(Dims in, const double* f, Dims out, double* g, double* work);

/// Resamples one x-y slice to the output's x and y extents (z ignored); `work` holds
/// in.x·out.y doubles.
void resized_plane(Dims in, const double* f, Dims out, double* g, double* work);

/// Quadratic B-spline weight.
double bspline2_weight(double x);

void zero_values(std::size_t n, double* x);
/// Copies x into y.
void copy_values(std::size_t n, const double* x, double* y);
/// Adds y into x.
void add_values(std::size_t n, double* x, const double* y);

}  // namespace ondrift

#endif
