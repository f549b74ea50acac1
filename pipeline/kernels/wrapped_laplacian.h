// Wrapped finite differences of a phase in radians, with circular neighbours on every axis.
#ifndef ONDRIFT_PIPELINE_KERNELS_WRAPPED_LAPLACIAN_H
#define ONDRIFT_PIPELINE_KERNELS_WRAPPED_LAPLACIAN_H

#include <span>

#include "pipeline/kernels/dims.h"

namespace ondrift {

enum class Axis { X, Y, Z };

/// g = f(p) − f(successor of p along the axis), wrapped into [−π, π), plus 2π: every value
/// lies in [π, 3π). The successor of the last index is index 0. Spans hold d.voxels() values.
void wrappedForwardDifference(Dims d, std::span<const double> f, Axis axis, std::span<double> g);

/// out(p) += g(p) − g(predecessor of p along the axis); the predecessor of index 0 is the last.
void addBackwardDifference(Dims d, std::span<const double> g, Axis axis, std::span<double> out);

}  // namespace ondrift

#endif
