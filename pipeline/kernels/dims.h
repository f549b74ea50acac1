// Extents of a three-dimensional grid, x fastest.
#ifndef ONDRIFT_PIPELINE_KERNELS_DIMS_H
#define ONDRIFT_PIPELINE_KERNELS_DIMS_H

#include <cstddef>

namespace ondrift {

struct Dims {
    int x = 0;
    int y = 0;
    int z = 0;

    std::size_t voxels() const {
        return static_cast<std::size_t>(x) * static_cast<std::size_t>(y) *
               static_cast<std::size_t>(z);
    }
    std::size_t index(int i, int j, int k) const {
        return static_cast<std::size_t>(i) +
               static_cast<std::size_t>(x) *
                   (static_cast<std::size_t>(j) + static_cast<std::size_t>(y) * k);
    }
    bool operator==(const Dims&) const = default;
};

/// The axes x, y and z as bits 0, 1 and 2 of a set.
inline constexpr unsigned kEveryAxis = 7;

}  // namespace ondrift

#endif
