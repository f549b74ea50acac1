// Quality-guided unwrapping of a wrapped phase inside a mask by region growing.
#ifndef ONDRIFT_PIPELINE_KERNELS_REGION_GROWING_H
#define ONDRIFT_PIPELINE_KERNELS_REGION_GROWING_H

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/mask_parts.h"

namespace ondrift {

/// Unwraps `wrapped` (cycles) over the voxels where inside != 0, writing whole-cycle offsets:
/// on return the unwrapped phase of voxel v is wrapped[v] + cycles[v]. On entry `cycles` holds a
/// first guess inside the mask (such as the rounding of a smooth estimate). Where the guess is
/// already consistent (face neighbours within half a cycle of each other), the largest such
/// connected set in each connected part of the mask (face neighbours, no wrap-around) is kept as
/// it is, when it has at least 64 voxels; the rest of that part grows from it. A part without
/// such a core grows from its most reliable voxel. The next voxel taken is always the most
/// reliable one bordering the placed region, and it gets the cycle that puts it within half a
/// cycle of its most reliable placed neighbour. Reliability is low where the wrapped second
/// differences are large (noise, residues, steep lobes), so those voxels are reached last and
/// cannot lead the growth astray. `component` receives the number (from 1) of the part each
/// voxel belongs to, 0 outside the mask: parts with a core first, in storage order of their
/// cores, single voxels without a face neighbour in the mask last, in storage order. Voxels outside
/// the mask keep their `cycles`. `rough`: the marks of roughMarks (consistent_core.h) for the same
/// wrapped phase and mask, or null to make them here. Returns the number of parts, or -1 (touching
/// nothing) when the extents or span lengths do not fit. `reliability`: what voxelReliability gives
/// for the same wrapped phase and mask, or null to work it out here where it is needed.
/// `joinedAxes`: see findConsistentCore. Along the other axes (thick slices) the growth does not
/// lead: a voxel follows a placed neighbour across them only when, with nothing else left to
/// grow, none within its own slice is placed.
int growUnwrapped(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                  std::span<std::int32_t> cycles, std::span<std::int32_t> component,
                  const unsigned char* rough = nullptr, const std::uint16_t* reliability = nullptr,
                  unsigned joinedAxes = kEveryAxis);

/// Grows each speck (mask_parts.h) alone as growUnwrapped grows a part of the mask without a
/// core: from its most reliable voxel (the first in storage order among equals), which keeps
/// the guess 0, always taking next the most reliable voxel that borders the placed ones (the
/// latest queued among equals). Specks must be whole connected parts of the mask whose
/// voxels' `reliability` (voxelReliability) is given. Returns the whole cycles of every voxel
/// in the order of specks.voxels; empty when a speck's voxels are not in storage order.
std::vector<std::int32_t> growSpecks(Dims d, std::span<const double> wrapped,
                                     const std::uint16_t* reliability, const Specks& specks);

/// Per voxel of the mask (other entries unset): what growUnwrapped knows of it before it grows,
/// its reliability and which of its face neighbours lie in the grid and the mask. It needs only
/// the measurement, so it can be made before the first guess exists. The spans must have the
/// grid's voxel count (null otherwise).
std::unique_ptr<std::uint16_t[]> voxelReliability(Dims d, std::span<const double> wrapped,
                                                  std::span<const unsigned char> inside);

/// The wrapped difference a − b reduced into [−0.5, 0.5) cycles.
double wrappedStep(double a, double b);

}  // namespace ondrift

#endif
