#include "pipeline/kernels/extrapolation.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace ondrift {

namespace {

// Filled voxels up to this city-block distance from the mask are averaged once with their
// neighbours; the measured voxels never move.
constexpr std::int32_t kSmoothedBand = 6;

// Up to this city-block distance from the mask the fill goes shell by shell; beyond it two
// raster sweeps carry the outermost shell's values outward. Displaced voxels of the head read
// the field mostly in the mask's holes (signal dropout) and within a few voxels of its edge;
// the band covers the smoothed shells and the shell after them, which the smoothing reads.
constexpr std::int32_t kExactBand = 8;
static_assert(kExactBand > kSmoothedBand);

/// Beyond every real distance, with room to add one.
template <typename Dist>
constexpr std::int32_t kUnknown = std::numeric_limits<Dist>::max() / 2;

/// row[i] = min(row[i], before[i] + 1) along a row, in blocks of a fixed length that the
/// compiler turns into vector instructions (the rows never overlap).
template <typename Dist>
void nearerRow(Dist* __restrict row, const Dist* __restrict before, int length) {
    constexpr int kBlock = 16;
    int i = 0;
    for (; i + kBlock <= length; i += kBlock) {
        for (int q = 0; q < kBlock; ++q) {
            const Dist a = row[i + q], b = static_cast<Dist>(before[i + q] + 1);
            row[i + q] = a < b ? a : b;
        }
    }
    for (; i < length; ++i) {
        const Dist a = row[i], b = static_cast<Dist>(before[i] + 1);
        row[i] = a < b ? a : b;
    }
}

/// Distance 0 inside the mask, unknown elsewhere; returns the voxels inside. In blocks of a
/// fixed length, which the compiler turns into vector instructions.
template <typename Dist>
std::size_t startDistances(Dist* __restrict dist, const unsigned char* __restrict inside,
                           std::size_t n) {
    constexpr std::size_t kBlock = 16;
    std::size_t known = 0, v = 0;
    for (; v + kBlock <= n; v += kBlock) {
        unsigned block = 0;
        for (std::size_t q = 0; q < kBlock; ++q) {
            const bool in = inside[v + q] != 0;
            dist[v + q] = static_cast<Dist>(in ? 0 : kUnknown<Dist>);
            block += in ? 1u : 0u;
        }
        known += block;
    }
    for (; v < n; ++v) {
        const bool in = inside[v] != 0;
        dist[v] = static_cast<Dist>(in ? 0 : kUnknown<Dist>);
        known += in ? 1 : 0;
    }
    return known;
}

/// One raster sweep of the city-block distance to the mask. Forward (k, j, i ascending) looks
/// at the lower neighbours, backward at the upper ones; together they give the exact distance.
/// Returns the largest distance after the sweep; with `shells`, also counts the voxels at each
/// distance up to kExactBand (the backward sweep gives the final distances).
template <bool Forward, typename Dist>
std::int32_t sweep(Dims d, Dist* dist, std::size_t* shells = nullptr) {
    const std::ptrdiff_t sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const std::ptrdiff_t step = Forward ? -1 : 1;  // towards the neighbours already visited
    std::int32_t far = 0;
    for (int kk = 0; kk < d.z; ++kk) {
        const int k = Forward ? kk : d.z - 1 - kk;
        const bool hasK = Forward ? k > 0 : k + 1 < d.z;
        for (int jj = 0; jj < d.y; ++jj) {
            const int j = Forward ? jj : d.y - 1 - jj;
            const bool hasJ = Forward ? j > 0 : j + 1 < d.y;
            Dist* row = dist + sy * j + sz * k;
            // Beyond the grid counts as unknown. The rows before are final, so their part is
            // taken for the whole row at once; then along the row, with the voxel just visited
            // carried in a register.
            if (hasJ) nearerRow(row, row + step * sy, d.x);
            if (hasK) nearerRow(row, row + step * sz, d.x);
            std::int32_t previous = kUnknown<Dist>;
            for (int ii = 0; ii < d.x; ++ii) {
                const int i = Forward ? ii : d.x - 1 - ii;
                std::int32_t best = row[i];
                if (previous + 1 < best) best = previous + 1;
                row[i] = static_cast<Dist>(best);
                previous = best;
                if (best > far) far = best;
                if (shells != nullptr && best <= kExactBand) ++shells[best];
            }
        }
    }
    return far;
}

// Beyond the band, per voxel: the band voxel whose value the forward sweep carried to it, or
// one of these two marks.
constexpr std::uint32_t kNotReached = 0xFFFFFFFFu, kFinal = 0xFFFFFFFEu;

/// The forward sweep beyond the band, for voxel v at distance t > band (lower neighbours only,
/// in storage order, so it runs within the pass that orders the band): the band voxel whose
/// value a lower neighbour one shell nearer carries, lower x first, then y, then z.
template <typename Dist>
std::uint32_t carriedForward(Dims d, const Dist* dist, const std::uint32_t* source,
                             std::int32_t band, std::size_t v, std::int32_t t, int i, int j,
                             int k) {
    const std::size_t lower[3] = {1, static_cast<std::size_t>(d.x),
                                  static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y)};
    const bool has[3] = {i > 0, j > 0, k > 0};
    for (int a = 0; a < 3; ++a) {
        if (!has[a]) continue;
        const std::size_t w = v - lower[a];
        const std::int32_t tw = dist[w];
        if (tw != t - 1) continue;
        if (tw <= band) return static_cast<std::uint32_t>(w);
        if (source[w] != kNotReached) return source[w];
    }
    return kNotReached;
}

/// The field beyond the band, carried from the band's outer shell by two raster sweeps: each
/// voxel takes the value of a neighbour one shell nearer the mask, the forward sweep from a
/// lower neighbour (see carriedForward), the backward sweep from an upper one, and where both
/// find one it keeps the mean of the two. Only copies and halves, so the sweeps run at the
/// speed of the memory. The first shell beyond the band thus continues the band's own values;
/// farther out the field is constant along the way to the nearest part of the band. Which of
/// several equally near neighbours a sweep takes follows the storage order (lower x first,
/// then y, then z), so beyond the band a mirrored grid gives a fill that differs slightly;
/// within the band the fill is exact and symmetric. The few voxels that neither sweep reaches
/// (every nearer neighbour lower, none of them reached forward) follow in order of distance.
template <typename Dist>
void carryBeyondBand(Dims d, std::span<double> field, const Dist* dist, std::uint32_t* source,
                     std::int32_t band) {
    const std::ptrdiff_t sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    // Whether neighbour w is one shell nearer than t and has its final value.
    const auto ready = [&](std::size_t w, std::int32_t t) {
        const std::int32_t tw = dist[w];
        return tw == t - 1 && (tw <= band || source[w] == kFinal);
    };
    std::vector<std::uint32_t> missed;
    for (int k = d.z - 1; k >= 0; --k) {
        for (int j = d.y - 1; j >= 0; --j) {
            const std::size_t row = d.index(0, j, k);
            for (int i = d.x - 1; i >= 0; --i) {
                const std::size_t v = row + static_cast<std::size_t>(i);
                const std::int32_t t = dist[v];
                if (t <= band) continue;
                std::size_t from = v;
                if (i + 1 < d.x && ready(v + 1, t)) {
                    from = v + 1;
                } else if (j + 1 < d.y && ready(v + static_cast<std::size_t>(sy), t)) {
                    from = v + static_cast<std::size_t>(sy);
                } else if (k + 1 < d.z && ready(v + static_cast<std::size_t>(sz), t)) {
                    from = v + static_cast<std::size_t>(sz);
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
    // In order of distance every nearer neighbour of a missed voxel has its value first.
    std::stable_sort(missed.begin(), missed.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return dist[a] < dist[b]; });
    const int extent[3] = {d.x, d.y, d.z};
    const std::ptrdiff_t stride[3] = {1, sy, sz};
    for (const std::uint32_t v : missed) {
        const int c[3] = {
            static_cast<int>(v % static_cast<std::size_t>(d.x)),
            static_cast<int>(v / static_cast<std::size_t>(d.x) % static_cast<std::size_t>(d.y)),
            static_cast<int>(v / static_cast<std::size_t>(sz))};
        for (int e = 0; e < 6; ++e) {
            const int a = e / 2;
            const bool lower = e % 2 == 0;
            if (lower ? c[a] == 0 : c[a] + 1 == extent[a]) continue;
            const std::size_t w = lower ? v - static_cast<std::size_t>(stride[a])
                                        : v + static_cast<std::size_t>(stride[a]);
            if (!ready(w, dist[v])) continue;
            field[v] = field[w];
            source[v] = kFinal;
            break;
        }
    }
}

/// The fill with distances stored as `Dist`, which must hold every distance in the grid.
/// Returns false, touching nothing, when no voxel is inside.
template <typename Dist>
bool fillOutside(Dims d, std::span<double> field, std::span<const unsigned char> inside) {
    const std::size_t n = d.voxels();
    const auto distances = std::make_unique_for_overwrite<Dist[]>(n);
    Dist* const dist = distances.get();
    const std::size_t known = startDistances(dist, inside.data(), n);
    if (known == 0) return false;
    if (known == n) return true;
    sweep<true>(d, dist);
    std::size_t shells[kExactBand + 1] = {};
    const std::int32_t far = sweep<false>(d, dist, shells);

    // The outside voxels in order of distance (a counting sort, storage order within a shell).
    // Each keeps which of its face neighbours lie in the grid (low byte; bit 2a: lower along
    // axis a, 2a + 1: upper) and which of those lie in the shell before (high byte): found here,
    // in storage order, the fill need not look at distances in its scattered order.
    const std::int32_t band = far < kExactBand ? far : kExactBand;
    std::vector<std::size_t> start(static_cast<std::size_t>(band) + 2, 0);
    for (std::int32_t t = 2; t <= band; ++t) start[static_cast<std::size_t>(t) + 1] = shells[t];
    start[2] = shells[1];  // the mask itself (shell 0) is not filled
    for (std::size_t t = 1; t < start.size(); ++t) start[t] += start[t - 1];
    std::vector<std::uint32_t> order(start.back());
    std::vector<std::uint16_t> bits(start.back());
    const auto source = std::make_unique_for_overwrite<std::uint32_t[]>(far > band ? n : 0);
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
                    if (t > band) {
                        source[v] = carriedForward(d, dist, source.get(), band, v, t, i, j, k);
                        continue;
                    }
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
    if (far > band) carryBeyondBand(d, field, dist, source.get(), band);
    return true;
}

}  // namespace

bool extrapolateOutsideMask(Dims d, std::span<double> field,
                            std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    // Voxels are numbered in 32 bits in the shell order (two numbers are marks beyond the band).
    if (field.size() != n || inside.size() != n || n > kFinal) return false;
    // The passes over the distances are what the fill waits on: half the bytes where 16 bits
    // hold every distance (any grid up to some ten thousand voxels along its three axes).
    // Signed 16 bits: the baseline vector instructions have their minimum.
    if (static_cast<std::int64_t>(d.x) + d.y + d.z < kUnknown<std::int16_t>) {
        return fillOutside<std::int16_t>(d, field, inside);
    }
    return fillOutside<std::int32_t>(d, field, inside);
}

}  // namespace ondrift
