// Quality-guided unwrapping of a wrapped phase inside a mask by region growing.
#ifndef ONDRIFT_PIPELINE_KERNELS_REGION_GROWING_H
#define ONDRIFT_PIPELINE_KERNELS_REGION_GROWING_H

#include <cstdint>
#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Unwraps `wrapped` (cycles) over the voxels where inside != 0, writing whole-cycle offsets:
/// on return the unwrapped phase of voxel v is wrapped[v] + cycles[v]. Each connected part of
/// the mask (face neighbours, no wrap-around) grows from its most reliable voxel; the next
/// voxel taken is always the most reliable one bordering the grown region, and it gets the
/// cycle that puts it within half a cycle of its most reliable neighbour in the region. Reliability
/// is low where the wrapped second differences are large (noise, residues, steep lobes), so
/// those voxels are reached last and cannot lead the growth astray. `component` receives the
/// number (from 1) of the part each voxel belongs to, 0 outside the mask. Voxels outside the
/// mask keep their `cycles`. Returns the number of parts, or -1 (touching nothing) when the
/// extents or span lengths do not fit.
int growUnwrapped(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                  std::span<std::int32_t> cycles, std::span<std::int32_t> component);

/// The wrapped difference a − b reduced into [−0.5, 0.5) cycles.
double wrappedStep(double a, double b);

}  // namespace ondrift

#endif
