// Disjoint sets over voxel numbers, as the labelling of connected parts uses them.
#ifndef ONDRIFT_PIPELINE_KERNELS_UNION_FIND_H
#define ONDRIFT_PIPELINE_KERNELS_UNION_FIND_H

#include <cstdint>

namespace ondrift {

/// The root of x's set; every voxel passed on the way is made to point two steps up (path
/// halving), so that later finds along the same chain are short.
inline std::uint32_t findRoot(std::uint32_t* parent, std::uint32_t x) {
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

}  // namespace ondrift

#endif
