// Transfers between the field estimate's grids, one axis at a time: each output voxel gathers
// its own weighted sum, so that slabs of slices can run on every core with the same result.
#ifndef ONDRIFT_PIPELINE_KERNELS_GRID_TRANSFER_H
#define ONDRIFT_PIPELINE_KERNELS_GRID_TRANSFER_H

#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// One axis of a transfer between grids: output index o is the sum of weight · input[index]
/// over its entries [start[o], start[o + 1]).
struct AxisTransfer {
    std::vector<int> start, index;
    std::vector<double> weight;
};

/// Trilinear interpolation of a fine axis from a coarse one whose cells are pairs of it (the
/// identity when the axis was not halved), or with `transpose` its adjoint, the restriction.
AxisTransfer axisTransfer(int fineExtent, int coarseExtent, bool halved, bool transpose);

/// y = the transfer of x along `axis`; x on grid `in`, y on `in` with that axis's extent made
/// the transfer's output extent. With `add` (along x only) y += it, as if added in a pass of
/// its own.
void transferAlong(Dims in, int axis, const AxisTransfer& t, const double* x, double* y, bool add);

}  // namespace ondrift

#endif
