#include "pipeline/kernels/extrapolation.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace ondrift {

namespace {

// Filled voxels up to this city-block distance from the mask are averaged once with their
// neighbours; the measured voxels never move.
constexpr std::int32_t kSmoothedBand = 6;

/// Beyond every real distance, with room to add one.
template <typename Dist>
constexpr std::int32_t kUnknown = std::numeric_limits<Dist>::max() / 2;

/// One raster sweep of the city-block distance to the mask. Forward (k, j, i ascending) looks
/// at the lower neighbours, backward at the upper ones; together they give the exact distance.
/// Returns the largest distance after the sweep.
template <bool Forward, typename Dist>
std::int32_t sweep(Dims d, std::vector<Dist>& dist) {
    const std::ptrdiff_t sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const std::ptrdiff_t step = Forward ? -1 : 1;  // towards the neighbours already visited
    std::int32_t far = 0;
    for (int kk = 0; kk < d.z; ++kk) {
        const int k = Forward ? kk : d.z - 1 - kk;
        const bool hasK = Forward ? k > 0 : k + 1 < d.z;
        for (int jj = 0; jj < d.y; ++jj) {
            const int j = Forward ? jj : d.y - 1 - jj;
            const bool hasJ = Forward ? j > 0 : j + 1 < d.y;
            Dist* row = dist.data() + sy * j + sz * k;
            // Beyond the grid counts as unknown; along the row the voxel just visited is
            // carried in a register.
            const Dist* rowJ = hasJ ? row + step * sy : nullptr;
            const Dist* rowK = hasK ? row + step * sz : nullptr;
            std::int32_t previous = kUnknown<Dist>;
            for (int ii = 0; ii < d.x; ++ii) {
                const int i = Forward ? ii : d.x - 1 - ii;
                std::int32_t best = row[i];
                if (previous + 1 < best) best = previous + 1;
                if (rowJ != nullptr && rowJ[i] + 1 < best) best = rowJ[i] + 1;
                if (rowK != nullptr && rowK[i] + 1 < best) best = rowK[i] + 1;
                row[i] = static_cast<Dist>(best);
                previous = best;
                if (best > far) far = best;
            }
        }
    }
    return far;
}

/// The fill with distances stored as `Dist`, which must hold every distance in the grid.
template <typename Dist>
void fillOutside(Dims d, std::span<double> field, std::span<const unsigned char> inside) {
    const std::size_t n = d.voxels();
    std::vector<Dist> dist(n);
    for (std::size_t v = 0; v < n; ++v)
        dist[v] = static_cast<Dist>(inside[v] != 0 ? 0 : kUnknown<Dist>);
    sweep<true>(d, dist);
    const std::int32_t far = sweep<false>(d, dist);

    // The outside voxels in order of distance (a counting sort, storage order within a shell).
    // Each keeps which of its face neighbours lie in the grid (low byte; bit 2a: lower along
    // axis a, 2a + 1: upper) and which of those lie in the shell before (high byte): found here,
    // in storage order, the fill need not look at distances in its scattered order.
    std::vector<std::size_t> start(static_cast<std::size_t>(far) + 2, 0);
    for (const Dist t : dist) ++start[static_cast<std::size_t>(t) + 1];
    start[1] = 0;  // the mask itself is not filled
    for (std::size_t t = 1; t < start.size(); ++t) start[t] += start[t - 1];
    std::vector<std::uint32_t> order(start.back());
    std::vector<std::uint16_t> bits(start.back());
    const std::ptrdiff_t offset[6] = {-1,
                                      1,
                                      -d.x,
                                      d.x,
                                      -static_cast<std::ptrdiff_t>(d.x) * d.y,
                                      static_cast<std::ptrdiff_t>(d.x) * d.y};
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        std::size_t v = 0;
        for (int k = 0; k < d.z; ++k)
            for (int j = 0; j < d.y; ++j) {
                const unsigned rowBits = (j > 0 ? 4u : 0u) | (j + 1 < d.y ? 8u : 0u) |
                                         (k > 0 ? 16u : 0u) | (k + 1 < d.z ? 32u : 0u);
                for (int i = 0; i < d.x; ++i, ++v) {
                    const std::int32_t t = dist[v];
                    if (t == 0) continue;
                    const unsigned grid = rowBits | (i > 0 ? 1u : 0u) | (i + 1 < d.x ? 2u : 0u);
                    unsigned before = 0;
                    for (int e = 0; e < 6; ++e) {
                        if ((grid & (1u << e)) == 0) continue;
                        const auto w =
                            static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e]);
                        if (dist[w] == t - 1) before |= 1u << e;
                    }
                    const std::size_t s = fill[static_cast<std::size_t>(t)]++;
                    order[s] = static_cast<std::uint32_t>(v);
                    bits[s] = static_cast<std::uint16_t>(grid | before << 8);
                }
            }
    }
    // Each voxel of a shell takes the mean of its neighbours in the shell before: every side
    // counts alike, so the fill does not depend on how the grid is stored.
    for (std::size_t s = 0; s < order.size(); ++s) {
        const std::uint32_t v = order[s];
        // Only the neighbours in the shell before, lowest bit first (the order of the sum).
        unsigned before = bits[s] >> 8u;
        const int count = std::popcount(before);  // >= 1: the shell before is adjacent
        double sum = 0;
        while (before != 0) {
            const int e = std::countr_zero(before);
            before &= before - 1;
            sum += field[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e])];
        }
        field[v] = sum / count;
    }
    // One pass of neighbour averaging over the shells near the mask (from the values before
    // the pass), where the fill leaves its corners and displaced voxels read the field.
    const std::size_t bandEnd =
        start[static_cast<std::size_t>(far < kSmoothedBand ? far : kSmoothedBand) + 1];
    std::vector<double> smoothed(bandEnd);
    for (std::size_t s = 0; s < bandEnd; ++s) {
        const std::uint32_t v = order[s];
        double sum = 0;
        int count = 0;
        for (int e = 0; e < 6; ++e) {
            if ((bits[s] & (1u << e)) == 0) continue;
            sum += field[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e])];
            ++count;
        }
        smoothed[s] = sum / count;
    }
    for (std::size_t s = 0; s < bandEnd; ++s) field[order[s]] = smoothed[s];
}

}  // namespace

bool extrapolateOutsideMask(Dims d, std::span<double> field,
                            std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    // Voxels are numbered in 32 bits in the shell order.
    if (field.size() != n || inside.size() != n || n > 0xFFFFFFFFu) return false;
    std::size_t known = 0;
    for (std::size_t v = 0; v < n; ++v) known += inside[v] != 0 ? 1 : 0;
    if (known == 0) return false;
    if (known == n) return true;
    // The passes over the distances are what the fill waits on: half the bytes where 16 bits
    // hold every distance (any grid up to some ten thousand voxels along its three axes).
    if (static_cast<std::int64_t>(d.x) + d.y + d.z < kUnknown<std::uint16_t>) {
        fillOutside<std::uint16_t>(d, field, inside);
    } else {
        fillOutside<std::int32_t>(d, field, inside);
    }
    return true;
}

}  // namespace ondrift
