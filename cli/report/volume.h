// One 3-D image with its place in the world, as the report and the polarity check use it: the
// command's own copy of what the plug-in computed, read once and never handed back.
#ifndef ONDRIFT_CLI_REPORT_VOLUME_H
#define ONDRIFT_CLI_REPORT_VOLUME_H

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

struct Volume {
    std::array<int, 3> dims{0, 0, 0};
    std::array<float, 3> voxelSize{1, 1, 1};
    Affine affine{};  ///< voxel indices → world mm
    std::vector<float> values;

    std::size_t voxels() const {
        return static_cast<std::size_t>(dims[0]) * static_cast<std::size_t>(dims[1]) *
               static_cast<std::size_t>(dims[2]);
    }
    bool empty() const { return values.empty() || values.size() != voxels(); }
    std::size_t index(int x, int y, int z) const {
        return (static_cast<std::size_t>(z) * static_cast<std::size_t>(dims[1]) +
                static_cast<std::size_t>(y)) *
                   static_cast<std::size_t>(dims[0]) +
               static_cast<std::size_t>(x);
    }
    float at(int x, int y, int z) const { return values[index(x, y, z)]; }
    bool sameGrid(const Volume& other) const;
};

/// An empty volume on the grid of `geometry` (no values).
Volume gridOf(const NiftiGeometry& geometry);

/// The first volume of `series` (x fastest) on the grid of `geometry`.
Volume firstVolume(const NiftiGeometry& geometry, std::span<const float> series);

/// The mean over the complete volumes of `series`, `voxels` values each (empty without one).
std::vector<float> meanOfVolumes(std::span<const float> series, std::size_t voxels);

/// The mean over all complete volumes of `series` on the grid of `geometry`; an empty volume
/// when the series holds none.
Volume meanVolume(const NiftiGeometry& geometry, std::span<const float> series);

/// `source` sampled trilinearly at the world positions of the voxels of `grid` (the same
/// geometry the plug-in's mapping relates them through); 0 outside `source`.
Volume resampleTo(const Volume& source, const Volume& grid);

/// The one voxel thick part of `volume` at `index` along `axis` (clamped to the volume), with its
/// place in the world; an empty volume stays empty but gets the slab's grid.
Volume slabOf(const Volume& volume, int axis, int index);

/// Replaces NaN and infinite values by 0; returns how many there were.
std::size_t replaceNonFinite(std::vector<float>& values);

/// The value below which `fraction` of the finite values lie (nearest rank); 0 when none.
float percentileOf(std::span<const float> values, double fraction);

/// Several percentiles of the same values at once (one copy of the values), in the order of
/// `fractions`.
std::vector<float> percentilesOf(std::span<const float> values, std::vector<double> fractions);

}  // namespace ondrift::cli

#endif
