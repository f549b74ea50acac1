#include "pipeline/kernels/city_block_distances.h"

#include <algorithm>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// row[i] = min(row[i], before[i] + 1) along a row, in blocks of a fixed length that the
/// compiler turns into vector instructions (the rows never overlap).
template <typename Dist>
void nearerRow(Dist* __restrict row, const Dist* __restrict before, std::size_t length) {
    constexpr std::size_t kBlock = 16;
    std::size_t i = 0;
    for (; i + kBlock <= length; i += kBlock) {
        for (std::size_t q = 0; q < kBlock; ++q) {
            const Dist a = row[i + q], b = static_cast<Dist>(before[i + q] + 1);
            row[i + q] = a < b ? a : b;
        }
    }
    for (; i < length; ++i) {
        const Dist a = row[i], b = static_cast<Dist>(before[i] + 1);
        row[i] = a < b ? a : b;
    }
}

/// The voxels inside among `length`, in blocks of a fixed length, which the compiler turns into
/// vector instructions.
std::size_t insideOf(const unsigned char* in, std::size_t length) {
    constexpr std::size_t kBlock = 16;
    std::size_t known = 0, i = 0;
    for (; i + kBlock <= length; i += kBlock) {
        unsigned block = 0;
        for (std::size_t q = 0; q < kBlock; ++q) block += in[i + q] != 0 ? 1u : 0u;
        known += block;
    }
    for (; i < length; ++i) known += in[i] != 0 ? 1 : 0;
    return known;
}

/// Slice k's distances within the slice: along each row to the nearest voxel inside (unknown
/// where the row has none), then down and up the columns. Returns the voxels inside. Along the
/// rows only the position of the last voxel inside is carried from voxel to voxel, which keeps
/// the chain of dependent instructions short.
template <typename Dist>
std::size_t withinSlice(Dims d, const unsigned char* inside, Dist* dist, int k) {
    constexpr std::int32_t unknown = kUnknownDistance<Dist>;
    const auto x = static_cast<std::size_t>(d.x);
    Dist* const slice = dist + d.index(0, 0, k);
    const unsigned char* const in = inside + d.index(0, 0, k);
    std::size_t known = 0;
    for (int j = 0; j < d.y; ++j) {
        Dist* const row = slice + x * static_cast<std::size_t>(j);
        const unsigned char* const rowIn = in + x * static_cast<std::size_t>(j);
        const std::size_t inRow = insideOf(rowIn, x);
        known += inRow;
        if (inRow == 0) {  // rows beside the head: no chain of comparisons to run through
            std::fill(row, row + x, static_cast<Dist>(unknown));
            continue;
        }
        // Positions in 64 bits: a row of the longest extent stays clear of overflow.
        std::int64_t last = -std::int64_t{unknown};  // i - last >= unknown until a voxel inside
        for (std::int64_t i = 0; i < d.x; ++i) {
            last = rowIn[i] != 0 ? i : last;
            row[i] = static_cast<Dist>(std::min<std::int64_t>(i - last, unknown));
        }
        std::int64_t next = std::int64_t{d.x} + unknown;
        for (std::int64_t i = d.x - 1; i >= 0; --i) {
            next = rowIn[i] != 0 ? i : next;
            row[i] = static_cast<Dist>(std::min<std::int64_t>(row[i], next - i));
        }
    }
    for (int j = 1; j < d.y; ++j)
        nearerRow(slice + x * static_cast<std::size_t>(j), slice + x * (j - 1u), x);
    for (int j = d.y - 2; j >= 0; --j)
        nearerRow(slice + x * static_cast<std::size_t>(j), slice + x * (j + 1u), x);
    return known;
}

/// Counts the voxels of `segment` (final distances) at each distance from 1 to `counted` into
/// `shells` (the mask itself is not counted); returns the largest distance.
template <typename Dist>
std::int32_t countShells(const Dist* segment, std::size_t length, std::int32_t counted,
                         std::size_t* shells) {
    for (std::size_t v = 0; v < length; ++v) {
        const auto t = static_cast<std::uint32_t>(segment[v]);
        if (t - 1u < static_cast<std::uint32_t>(counted)) ++shells[t];
    }
    // In blocks of a fixed length, which the compiler turns into vector instructions.
    constexpr std::size_t kBlock = 16;
    Dist far = 0;
    std::size_t v = 0;
    for (; v + kBlock <= length; v += kBlock)
        for (std::size_t q = 0; q < kBlock; ++q) far = std::max(far, segment[v + q]);
    for (; v < length; ++v) far = std::max(far, segment[v]);
    return far;
}

}  // namespace

template <typename Dist>
std::size_t cityBlockDistances(Dims d, const unsigned char* inside, Dist* dist, unsigned blocks,
                               std::int32_t counted, ShellTally& tally) {
    const auto sliceVoxels = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    const auto known = static_cast<std::size_t>(
        countOverRanges(d.z, sliceVoxels, [&](long long first, long long end) {
            long long inSlices = 0;
            for (auto k = static_cast<int>(first); k < end; ++k)
                inSlices += static_cast<long long>(withinSlice(d, inside, dist, k));
            return inSlices;
        }));
    if (known == 0 || known == d.voxels()) return known;

    // Up and down the grid's z columns, a block of rows each, which is contiguous in a slice.
    const auto n = static_cast<unsigned>(std::clamp<long long>(blocks, 1, d.y));
    tally.counted = counted;
    tally.rows.resize(n + 1);
    for (unsigned b = 0; b <= n; ++b)
        tally.rows[b] = static_cast<int>(static_cast<long long>(d.y) * b / n);
    const auto perSlice = static_cast<std::size_t>(counted + 1);
    tally.counts.assign(static_cast<std::size_t>(d.z) * n * perSlice, 0);
    std::vector<std::int32_t> far(n, 0);
    forEachRange(n, n, [&](unsigned, long long b, long long) {
        std::int32_t blockFar = 0;
        const auto x = static_cast<std::size_t>(d.x);
        const std::size_t first = x * static_cast<std::size_t>(tally.rows[b]);
        const std::size_t length = x * static_cast<std::size_t>(tally.rows[b + 1]) - first;
        Dist* const column = dist + first;
        const auto slice = [&](int k) {
            return column + sliceVoxels * static_cast<std::size_t>(k);
        };
        for (int k = 1; k < d.z; ++k) nearerRow(slice(k), slice(k - 1), length);
        const auto count = [&](int k) {
            std::size_t* const shells =
                &tally.counts[(static_cast<std::size_t>(k) * n + static_cast<std::size_t>(b)) *
                              perSlice];
            blockFar = std::max(blockFar, countShells(slice(k), length, counted, shells));
        };
        count(d.z - 1);
        for (int k = d.z - 2; k >= 0; --k) {
            nearerRow(slice(k), slice(k + 1), length);
            count(k);
        }
        far[static_cast<std::size_t>(b)] = blockFar;
    });
    tally.far = *std::max_element(far.begin(), far.end());
    return known;
}

template std::size_t cityBlockDistances<std::int16_t>(Dims, const unsigned char*, std::int16_t*,
                                                      unsigned, std::int32_t, ShellTally&);
template std::size_t cityBlockDistances<std::int32_t>(Dims, const unsigned char*, std::int32_t*,
                                                      unsigned, std::int32_t, ShellTally&);

}  // namespace ondrift
