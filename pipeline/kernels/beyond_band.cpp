#include "pipeline/kernels/beyond_band.h"

#include <algorithm>

#include "pipeline/kernels/ordered_ranges.h"

namespace ondrift {

namespace {

/// Whether neighbour w is one shell nearer than t and has its final value.
template <typename Dist>
bool ready(const Dist* dist, const std::uint32_t* source, std::int32_t band, std::size_t w,
           std::int32_t t) {
    const std::int32_t tw = dist[w];
    return tw == t - 1 && (tw <= band || source[w] == kFinal);
}

/// The backward sweep over rows [jFirst, jEnd) of slice k, from the last voxel to the first;
/// the voxels it cannot fill go to `missed`. Plain pointers in and out, which the compiler
/// keeps in registers across the loop.
template <typename Dist>
void carryBackward(Dims d, double* field, const Dist* dist, std::uint32_t* source,
                   std::int32_t band, int k, int jFirst, int jEnd,
                   std::vector<std::uint32_t>& missed) {
    const auto sy = static_cast<std::size_t>(d.x), sz = sy * static_cast<std::size_t>(d.y);
    for (int j = jEnd - 1; j >= jFirst; --j) {
        const std::size_t row = d.index(0, j, k);
        for (int i = d.x - 1; i >= 0; --i) {
            const std::size_t v = row + static_cast<std::size_t>(i);
            const std::int32_t t = dist[v];
            if (t <= band) continue;
            std::size_t from = v;
            if (i + 1 < d.x && ready(dist, source, band, v + 1, t)) {
                from = v + 1;
            } else if (j + 1 < d.y && ready(dist, source, band, v + sy, t)) {
                from = v + sy;
            } else if (k + 1 < d.z && ready(dist, source, band, v + sz, t)) {
                from = v + sz;
            }
            const std::uint32_t forward = source[v];
            if (from != v) {
                field[v] =
                    forward != kNotReached ? 0.5 * (field[forward] + field[from]) : field[from];
            } else if (forward != kNotReached) {
                field[v] = field[forward];
            } else {
                missed.push_back(static_cast<std::uint32_t>(v));
                continue;
            }
            source[v] = kFinal;
        }
    }
}

}  // namespace

template <typename Dist>
void carryBeyondBand(Dims d, std::span<double> field, const Dist* dist, std::uint32_t* source,
                     std::int32_t band, const std::vector<int>& rows) {
    const auto blocks = static_cast<unsigned>(rows.size() - 1);
    std::vector<std::vector<std::uint32_t>> missedInBlock(blocks);
    // A row reads the row above it, so the block of the highest rows leads the pipeline.
    forEachPipelined(blocks, d.z, [&](unsigned worker, long long step) {
        const unsigned b = blocks - 1 - worker;
        carryBackward(d, field.data(), dist, source, band, d.z - 1 - static_cast<int>(step),
                      rows[b], rows[b + 1], missedInBlock[b]);
    });
    // In order of distance every nearer neighbour of a missed voxel has its value first (and
    // within a distance in the backward sweep's order, whichever block found them).
    std::vector<std::uint32_t> missed;
    for (const std::vector<std::uint32_t>& found : missedInBlock)
        missed.insert(missed.end(), found.begin(), found.end());
    std::sort(missed.begin(), missed.end(), [&](std::uint32_t a, std::uint32_t b) {
        return dist[a] != dist[b] ? dist[a] < dist[b] : a > b;
    });
    const int extent[3] = {d.x, d.y, d.z};
    const std::size_t stride[3] = {1, static_cast<std::size_t>(d.x),
                                   static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y)};
    for (const std::uint32_t v : missed) {
        const int c[3] = {
            static_cast<int>(v % static_cast<std::size_t>(d.x)),
            static_cast<int>(v / static_cast<std::size_t>(d.x) % static_cast<std::size_t>(d.y)),
            static_cast<int>(v / stride[2])};
        for (int e = 0; e < 6; ++e) {
            const int a = e / 2;
            const bool lower = e % 2 == 0;
            if (lower ? c[a] == 0 : c[a] + 1 == extent[a]) continue;
            const std::size_t w = lower ? v - stride[a] : v + stride[a];
            if (!ready(dist, source, band, w, dist[v])) continue;
            field[v] = field[w];
            source[v] = kFinal;
            break;
        }
    }
}

template void carryBeyondBand<std::int16_t>(Dims, std::span<double>, const std::int16_t*,
                                            std::uint32_t*, std::int32_t, const std::vector<int>&);
template void carryBeyondBand<std::int32_t>(Dims, std::span<double>, const std::int32_t*,
                                            std::uint32_t*, std::int32_t, const std::vector<int>&);

}  // namespace ondrift
