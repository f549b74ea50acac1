// The thin-plate roughness of a field on a grid of voxels of any shape: the integral of its
// squared second derivatives in millimetres, as the sum over the grid of squared second
// differences, B = Σ Dᵀ D, with natural boundaries (only stencils inside the grid count).
#ifndef ONDRIFT_PIPELINE_KERNELS_THIN_PLATE_H
#define ONDRIFT_PIPELINE_KERNELS_THIN_PLATE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Voxel sizes along x, y and z in millimetres.
using Spacing = std::array<double, 3>;

/// The extent and the index stride of axis 0 (x), 1 (y) or 2 (z).
int axisExtent(Dims d, int axis);
std::ptrdiff_t axisStride(Dims d, int axis);

/// Calls `visit(index)` for every voxel of the box [lo, hi) of the grid.
template <class Visit>
inline void forBox(Dims d, const std::array<int, 3>& lo, const std::array<int, 3>& hi,
                   Visit visit) {
    for (int k = lo[2]; k < hi[2]; ++k)
        for (int j = lo[1]; j < hi[1]; ++j) {
            const std::size_t row = d.index(0, j, k);
            for (int i = lo[0]; i < hi[0]; ++i) visit(row + static_cast<std::size_t>(i));
        }
}

/// out += scale · B x.
void addThinPlate(Dims d, const Spacing& h, const double* x, double* out, double scale);

/// out = w ∘ x + scale · B x in one pass, as the same sum made in two.
void weightedThinPlate(Dims d, const Spacing& h, const double* w, const double* x, double* out,
                       double scale);

/// out = w ∘ g − (w ∘ x + scale · B x), the residual of that system, in one pass.
void thinPlateResidual(Dims d, const Spacing& h, const double* w, const double* g, const double* x,
                       double* out, double scale);

/// The diagonal of B. A voxel's value depends only on how near it is to the faces, so it is
/// kept as the few kinds of row it has and the kind of every row.
struct ThinPlateDiagonal {
    std::vector<double> rows;          ///< one row of d.x values per kind
    std::vector<std::uint32_t> kinds;  ///< the kind of row j + d.y · k
    std::size_t width = 0;             ///< d.x
    /// The values along row j + d.y · k.
    const double* row(std::size_t index) const { return rows.data() + kinds[index] * width; }
};

/// The diagonal of B on grid d.
void thinPlateDiagonal(Dims d, const Spacing& h, ThinPlateDiagonal& out);

}  // namespace ondrift

#endif
