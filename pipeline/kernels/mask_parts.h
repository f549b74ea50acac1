// The connected parts of a mask that are too small to be a head's: specks of noise above the
// threshold, mostly.
#ifndef ONDRIFT_PIPELINE_KERNELS_MASK_PARTS_H
#define ONDRIFT_PIPELINE_KERNELS_MASK_PARTS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// The face-connected parts of a mask with fewer than `below` voxels, in storage order of
/// their first voxels: speck s holds voxels[start[s]] … voxels[start[s + 1] − 1].
struct Specks {
    std::vector<std::uint32_t> voxels;
    std::vector<std::uint32_t> start{0};
    std::size_t count() const { return start.size() - 1; }
};

/// Finds the specks of `inside` (no wrap-around at the grid's faces). Nothing when the span's
/// length is not the grid's voxel count or the grid has more voxels than 32 bits number.
Specks findSpecks(Dims d, std::span<const unsigned char> inside, std::size_t below);

/// `inside` without its specks; `inside` as it is when nothing else would be left (or the span
/// does not fit the grid).
std::vector<unsigned char> withoutSpecks(Dims d, std::span<const unsigned char> inside,
                                         const Specks& specks);

}  // namespace ondrift

#endif
