// Resampling one EPI volume along the phase-encoding axis by a pixel shift map.
#ifndef ONDRIFT_PIPELINE_KERNELS_UNDISTORTION_H
#define ONDRIFT_PIPELINE_KERNELS_UNDISTORTION_H

#include <span>

#include "binding/host_parameters.h"
#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Gathers one volume: for every voxel (x innermost), with s = shift at the voxel, the source
/// position p on the resampled axis is the voxel's own coordinate + s (codes 1, 3, 5: x, y, z) or
/// − s (codes 2, 4, 6); f = p − floor(p); i0 = floor(p) and i1 = ceil(p), each clamped to the
/// axis; out = (1 − f)·src(i0) + f·src(i1). Positions beyond an end take the end voxel (f still
/// weighs its two copies). No intensity correction. `src`, `shift` and `out` hold d.voxels()
/// values each and `out` must not overlap `src`. For any other direction code `out` is left as it
/// is.
void undistortVolume(std::span<const double> src, std::span<double> out,
                     std::span<const double> shift, Dims d, int direction);

}  // namespace ondrift

#endif
