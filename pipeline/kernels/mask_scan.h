// Passing over the voxels outside a mask eight at a time: most of a field map's grid lies outside
// the head, and a test per voxel there costs as much as the work inside.
#ifndef ONDRIFT_PIPELINE_KERNELS_MASK_SCAN_H
#define ONDRIFT_PIPELINE_KERNELS_MASK_SCAN_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// Whether the eight mask bytes from `at` on are all 0.
inline bool outsideEight(const unsigned char* at) {
    std::uint64_t eight;
    std::memcpy(&eight, at, sizeof eight);
    return eight == 0;
}

/// `first` advanced in steps of eight while the eight mask bytes from it on lie before `end` and
/// are all 0: every voxel skipped is outside, and the one returned may be too.
inline std::size_t skipOutside(const unsigned char* mask, std::size_t first, std::size_t end) {
    while (first + 8 <= end && outsideEight(mask + first)) first += 8;
    return first;
}

/// Whether the eight mask bytes from `at` on are all other than 0.
inline bool insideEight(const unsigned char* at) {
    std::uint64_t eight;
    std::memcpy(&eight, at, sizeof eight);
    constexpr std::uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
    return ((eight - ones) & ~eight & highs) == 0;  // no byte is 0
}

/// `first` advanced in steps of eight while the eight mask bytes from it on lie before `end` and
/// are all other than 0: every voxel skipped is inside, and the one returned may be too.
inline std::size_t skipInside(const unsigned char* mask, std::size_t first, std::size_t end) {
    while (first + 8 <= end && insideEight(mask + first)) first += 8;
    return first;
}

/// Calls visit(c, x, y, z) for every voxel c = (x, y, z) of the mask in the slices [first, end),
/// in storage order, passing over the voxels outside it eight at a time.
template <typename Visit>
void forEachMaskVoxel(Dims d, const unsigned char* mask, long long first, long long end,
                      Visit&& visit) {
    for (auto z = static_cast<int>(first); z < end; ++z)
        for (int y = 0; y < d.y; ++y) {
            const std::size_t start = d.index(0, y, z);
            for (int x = 0; x < d.x; ++x) {
                x = static_cast<int>(skipOutside(mask + start, static_cast<std::size_t>(x),
                                                 static_cast<std::size_t>(d.x)));
                const std::size_t c = start + static_cast<std::size_t>(x);
                if (x == d.x || mask[c] == 0) continue;
                visit(c, x, y, z);
            }
        }
}

}  // namespace ondrift

#endif
