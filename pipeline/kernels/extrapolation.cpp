#include "pipeline/kernels/extrapolation.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace ondrift {

namespace {

// Filled voxels up to this city-block distance from the mask are averaged once with their
// neighbours; the measured voxels never move.
constexpr std::int32_t kSmoothedBand = 6;

constexpr std::int32_t kUnknown = std::numeric_limits<std::int32_t>::max() / 2;

/// One raster sweep of the city-block distance to the mask. Forward (k, j, i ascending) looks
/// at the lower neighbours, backward at the upper ones; together they give the exact distance.
template <bool Forward>
void sweep(Dims d, std::vector<std::int32_t>& dist) {
    const std::ptrdiff_t sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const int step = Forward ? -1 : 1;  // towards the neighbours already visited
    for (int kk = 0; kk < d.z; ++kk) {
        const int k = Forward ? kk : d.z - 1 - kk;
        for (int jj = 0; jj < d.y; ++jj) {
            const int j = Forward ? jj : d.y - 1 - jj;
            for (int ii = 0; ii < d.x; ++ii) {
                const int i = Forward ? ii : d.x - 1 - ii;
                const std::ptrdiff_t v = i + sy * j + sz * k;
                std::int32_t best = dist[static_cast<std::size_t>(v)];
                if (best == 0) continue;
                auto consider = [&](std::ptrdiff_t w) {
                    const std::int32_t c = dist[static_cast<std::size_t>(w)] + 1;
                    if (c < best) best = c;
                };
                const int ni = i + step, nj = j + step, nk = k + step;
                if (ni >= 0 && ni < d.x) consider(v + step);
                if (nj >= 0 && nj < d.y) consider(v + step * sy);
                if (nk >= 0 && nk < d.z) consider(v + step * sz);
                dist[static_cast<std::size_t>(v)] = best;
            }
        }
    }
}

/// Bits of the face neighbours that lie in the grid (bit 2a: lower along axis a, 2a+1: upper).
std::vector<unsigned char> neighbourBits(Dims d) {
    std::vector<unsigned char> bits(d.voxels());
    std::size_t v = 0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i, ++v) {
                bits[v] = static_cast<unsigned char>((i > 0 ? 1 : 0) | (i + 1 < d.x ? 2 : 0) |
                                                     (j > 0 ? 4 : 0) | (j + 1 < d.y ? 8 : 0) |
                                                     (k > 0 ? 16 : 0) | (k + 1 < d.z ? 32 : 0));
            }
    return bits;
}

}  // namespace

bool extrapolateOutsideMask(Dims d, std::span<double> field,
                            std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (field.size() != n || inside.size() != n) return false;
    std::vector<std::int32_t> dist(n);
    std::size_t known = 0;
    for (std::size_t v = 0; v < n; ++v) {
        dist[v] = inside[v] != 0 ? 0 : kUnknown;
        known += inside[v] != 0 ? 1 : 0;
    }
    if (known == 0) return false;
    if (known == n) return true;
    sweep<true>(d, dist);
    sweep<false>(d, dist);

    // The outside voxels in order of distance (a counting sort, storage order within a shell).
    std::int32_t far = 0;
    for (const std::int32_t t : dist) far = t > far ? t : far;
    std::vector<std::size_t> start(static_cast<std::size_t>(far) + 2, 0);
    for (const std::int32_t t : dist)
        if (t > 0) ++start[static_cast<std::size_t>(t) + 1];
    for (std::size_t t = 1; t < start.size(); ++t) start[t] += start[t - 1];
    std::vector<std::uint32_t> order(start.back());
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t v = 0; v < n; ++v) {
            if (dist[v] > 0)
                order[fill[static_cast<std::size_t>(dist[v])]++] = static_cast<std::uint32_t>(v);
        }
    }
    const std::vector<unsigned char> bits = neighbourBits(d);
    const std::ptrdiff_t offset[6] = {-1,
                                      1,
                                      -d.x,
                                      d.x,
                                      -static_cast<std::ptrdiff_t>(d.x) * d.y,
                                      static_cast<std::ptrdiff_t>(d.x) * d.y};
    // Each voxel of a shell takes the mean of its neighbours in the shell before: every side
    // counts alike, so the fill does not depend on how the grid is stored.
    for (const std::uint32_t v : order) {
        const std::int32_t previous = dist[v] - 1;
        double sum = 0;
        int count = 0;
        for (int e = 0; e < 6; ++e) {
            if ((bits[v] & (1u << e)) == 0) continue;
            const auto w = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e]);
            if (dist[w] == previous) {
                sum += field[w];
                ++count;
            }
        }
        field[v] = sum / count;  // a voxel at distance t has a neighbour at t − 1
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
            if ((bits[v] & (1u << e)) == 0) continue;
            sum += field[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e])];
            ++count;
        }
        smoothed[s] = sum / count;
    }
    for (std::size_t s = 0; s < bandEnd; ++s) field[order[s]] = smoothed[s];
    return true;
}

}  // namespace ondrift
