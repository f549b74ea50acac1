// The part of a first guess of whole cycles that region growing keeps as it is.
#ifndef ONDRIFT_PIPELINE_KERNELS_CONSISTENT_CORE_H
#define ONDRIFT_PIPELINE_KERNELS_CONSISTENT_CORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// A consistent part smaller than this is no evidence that the first guess is right there: the
/// part of the mask it lies in grows from its most reliable voxel instead.
inline constexpr std::size_t kSmallestCore = 64;

struct ConsistentCore {
    /// Per voxel of the mask (other entries unset): its consistent part, numbered from 0 in
    /// storage order of the parts' first voxels.
    std::unique_ptr<std::uint32_t[]> label;
    /// Per consistent part: the number (from 1) of the connected part of the mask it is the
    /// core of, or 0 when it is grown instead.
    std::vector<int> part;
    /// Per consistent part: the whole cycles to add to its guess.
    std::vector<std::int32_t> shift;
    int parts = 0;  ///< connected parts of the mask that have a core
};

/// The consistent parts of the guess (wrapped + cycles, inside the mask): calm voxels (wrapped
/// steps to every face neighbour in the mask below a quarter cycle) joined with the calm
/// neighbours whose guessed phase lies within half a cycle. Large parts that a seam of whole
/// cycles separates are joined at the shift most loose neighbour pairs across the seam agree
/// on, strongest seams first; per connected part of the mask the largest joined set with at
/// least 64 voxels is its core, its largest consistent part keeping its guessed level. The
/// spans must have the grid's voxel count (checked by the caller), at most 2^31 - 1.
/// `rough`: the marks of roughMarks for the same wrapped phase and mask, or null to make them
/// here. `joinedAxes`: the axes (bit 0 x, bit 1 y, bit 2 z) along which calm neighbours join
/// directly; along the others every neighbour pair is loose, so that parts meet there only at
/// the shift most of their pairs agree on.
ConsistentCore findConsistentCore(Dims d, std::span<const double> wrapped,
                                  std::span<const unsigned char> inside,
                                  std::span<const std::int32_t> cycles,
                                  const unsigned char* rough = nullptr,
                                  unsigned joinedAxes = kEveryAxis);

/// Per voxel of the mask (other entries unset): 1 where the wrapped step to a face neighbour in
/// the mask reaches a quarter cycle, else 0. It needs only the measurement, so it can be made
/// before the first guess exists, on `workers` threads (1: the calling thread alone). The spans
/// must have the grid's voxel count.
std::unique_ptr<unsigned char[]> roughMarks(Dims d, std::span<const double> wrapped,
                                            std::span<const unsigned char> inside,
                                            unsigned workers);

}  // namespace ondrift

#endif
