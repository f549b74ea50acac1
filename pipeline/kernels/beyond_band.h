// The fill beyond the band of shells that are filled exactly: two raster sweeps carry the band's
// outer shell outward, each voxel a copy of a nearer neighbour or the mean of two.
#ifndef ONDRIFT_PIPELINE_KERNELS_BEYOND_BAND_H
#define ONDRIFT_PIPELINE_KERNELS_BEYOND_BAND_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

// Beyond the band, per voxel: the band voxel whose value the forward sweep carried to it, or
// one of these two marks.
inline constexpr std::uint32_t kNotReached = 0xFFFFFFFFu, kFinal = 0xFFFFFFFEu;

/// The forward sweep beyond the band, for voxel v = (i, j, k) at distance t > band: the band
/// voxel whose value a lower neighbour one shell nearer carries, lower x first, then y, then z.
/// Reads only lower neighbours, so it runs in storage order (or a pipeline keeping it), within
/// the pass that orders the band.
template <typename Dist>
std::uint32_t carriedForward(Dims d, const Dist* dist, const std::uint32_t* source,
                             std::int32_t band, std::size_t v, std::int32_t t, int i, int j,
                             int k) {
    const std::size_t lower[3] = {1, static_cast<std::size_t>(d.x),
                                  static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y)};
    const bool has[3] = {i > 0, j > 0, k > 0};
    for (int a = 0; a < 3; ++a) {
        if (!has[a]) continue;
        const std::size_t w = v - lower[a];
        const std::int32_t tw = dist[w];
        if (tw != t - 1) continue;
        if (tw <= band) return static_cast<std::uint32_t>(w);
        if (source[w] != kNotReached) return source[w];
    }
    return kNotReached;
}

/// The field beyond the band, carried from the band's outer shell by two raster sweeps: each
/// voxel takes the value of a neighbour one shell nearer the mask, the forward sweep from a
/// lower neighbour (`source`, see carriedForward), the backward sweep from an upper one, and
/// where both find one it keeps the mean of the two. Only copies and halves, so the sweeps run
/// at the speed of the memory. The first shell beyond the band thus continues the band's own
/// values; farther out the field is constant along the way to the nearest part of the band.
/// Which of several equally near neighbours a sweep takes follows the storage order (lower x
/// first, then y, then z), so beyond the band a mirrored grid gives a fill that differs
/// slightly; within the band the fill is exact and symmetric. The few voxels that neither sweep
/// reaches (every nearer neighbour lower, none of them reached forward) follow in order of
/// distance. The backward sweep runs as a pipeline over the blocks of rows [rows[b],
/// rows[b + 1]), one worker each, with the result of the plain sweep.
template <typename Dist>
void carryBeyondBand(Dims d, std::span<double> field, const Dist* dist, std::uint32_t* source,
                     std::int32_t band, const std::vector<int>& rows);

extern template void carryBeyondBand<std::int16_t>(Dims, std::span<double>, const std::int16_t*,
                                                   std::uint32_t*, std::int32_t,
                                                   const std::vector<int>&);
extern template void carryBeyondBand<std::int32_t>(Dims, std::span<double>, const std::int32_t*,
                                                   std::uint32_t*, std::int32_t,
                                                   const std::vector<int>&);

}  // namespace ondrift

#endif
