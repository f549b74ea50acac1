// City-block distances to a mask, with the voxels of the nearest shells counted per slice and
// block of rows, so that the passes after it can place each block's voxels in shell order at
// once instead of counting them one block after another.
#ifndef ONDRIFT_PIPELINE_KERNELS_CITY_BLOCK_DISTANCES_H
#define ONDRIFT_PIPELINE_KERNELS_CITY_BLOCK_DISTANCES_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Beyond every real distance, with room to add one.
template <typename Dist>
inline constexpr std::int32_t kUnknownDistance = std::numeric_limits<Dist>::max() / 2;

/// The grid's rows in consecutive blocks, and how many voxels of each of the nearest shells
/// every block holds in every slice.
struct ShellTally {
    std::int32_t counted = 0;         ///< shells 1 to `counted` are counted
    std::vector<int> rows;            ///< block b holds the rows [rows[b], rows[b + 1])
    std::vector<std::size_t> counts;  ///< see at()
    std::int32_t far = 0;             ///< the largest distance in the grid

    std::size_t blocks() const { return rows.size() - 1; }
    /// The voxels at distance t in block b of slice k.
    std::size_t at(int k, std::size_t b, std::int32_t t) const {
        return counts[(static_cast<std::size_t>(k) * blocks() + b) *
                          static_cast<std::size_t>(counted + 1) +
                      static_cast<std::size_t>(t)];
    }
};

/// Sets dist to every voxel's city-block distance to the nearest voxel where inside != 0 and
/// returns how many voxels are inside. Unless that is none or all of them, fills `tally` for the
/// rows split into `blocks` blocks as forEachRange splits them, and shells 1 to `counted`. Both
/// spans hold d.voxels() values, and the extents add up to less than kUnknownDistance<Dist>.
/// The same distances as two raster sweeps, but as passes along one axis at a time, each of
/// them shared out among threads.
template <typename Dist>
std::size_t cityBlockDistances(Dims d, const unsigned char* inside, Dist* dist, unsigned blocks,
                               std::int32_t counted, ShellTally& tally);

extern template std::size_t cityBlockDistances<std::int16_t>(Dims, const unsigned char*,
                                                             std::int16_t*, unsigned, std::int32_t,
                                                             ShellTally&);
extern template std::size_t cityBlockDistances<std::int32_t>(Dims, const unsigned char*,
                                                             std::int32_t*, unsigned, std::int32_t,
                                                             ShellTally&);

}  // namespace ondrift

#endif
