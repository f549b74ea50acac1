#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pipeline/kernels/mask_parts.h"

using ondrift::Dims;

TEST(MaskParts, SpecksArePartsBelowTheSizeConnectedByFacesOnlyWithoutWrapAround) {
    const Dims d{10, 9, 8};
    std::vector<unsigned char> inside(d.voxels(), 0);
    const auto set = [&](int i, int j, int k) { inside[d.index(i, j, k)] = 1; };
    // A part of exactly the size (4 × 4 × 4) is not a speck; one voxel fewer is.
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 4; ++i) set(i, j, k);
    for (int k = 4; k < 8; ++k)
        for (int j = 5; j < 9; ++j)
            for (int i = 6; i < 10; ++i)
                if (!(i == 9 && j == 8 && k == 7)) set(i, j, k);
    // The last voxel of a row and the first of the next are no neighbours, nor are voxels
    // that touch at an edge or a corner only.
    set(9, 6, 1);
    set(0, 7, 1);
    set(6, 0, 6);
    set(7, 1, 6);
    set(8, 2, 7);
    const ondrift::Specks specks = ondrift::findSpecks(d, inside, 64);
    ASSERT_EQ(specks.count(), 6u);
    std::vector<std::size_t> sizes;
    for (std::size_t s = 0; s < specks.count(); ++s)
        sizes.push_back(specks.start[s + 1] - specks.start[s]);
    // In storage order of their first voxels: the two singles of slice 1, the 63-voxel part
    // (from slice 4), the two singles of slice 6, the one of slice 7.
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1, 1, 63, 1, 1, 1}));
    EXPECT_EQ(specks.voxels.front(), d.index(9, 6, 1));
    const std::vector<unsigned char> large = ondrift::withoutSpecks(d, inside, specks);
    for (std::size_t v = 0; v < inside.size(); ++v) {
        const bool speck =
            std::find(specks.voxels.begin(), specks.voxels.end(), v) != specks.voxels.end();
        EXPECT_EQ(large[v], inside[v] != 0 && !speck ? 1 : 0);
    }
    // A mask of nothing but specks stays as it is; a grid that does not fit finds none.
    std::vector<unsigned char> few(d.voxels(), 0);
    few[d.index(2, 2, 2)] = few[d.index(5, 5, 5)] = 1;
    EXPECT_EQ(ondrift::withoutSpecks(d, few, ondrift::findSpecks(d, few, 64)), few);
    EXPECT_EQ(ondrift::findSpecks(Dims{10, 9, 7}, inside, 64).count(), 0u);
}
