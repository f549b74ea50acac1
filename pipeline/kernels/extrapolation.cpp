#include "pipeline/kernels/extrapolation.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "pipeline/kernels/beyond_band.h"
#include "pipeline/kernels/city_block_distances.h"
#include "pipeline/kernels/ordered_ranges.h"
#include "pipeline/kernels/parallel_ranges.h"

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

// The shell fill and the smoothing go in chunks of this many voxels: worth a claim by a worker,
// and several to a shell, so that the workers end a shell about together.
constexpr std::size_t kChunk = 2048;

/// Bits set in six bits, without a library call (the baseline instructions have no count).
constexpr std::uint8_t kBitCount[64] = {
    0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5, 2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6};

/// The outside voxels within the band in order of distance (storage order within a shell).
/// Each keeps which of its face neighbours lie in the grid (low byte; bit 2a: lower along axis
/// a, 2a + 1: upper) and which of those lie in the shell before (high byte): found here, in
/// storage order, the fill need not look at distances in its scattered order.
struct ShellOrder {
    std::vector<std::size_t> start;  ///< shell t holds the entries [start[t], start[t + 1])
    // Written by the workers, each its own entries, without a serial pass to clear them first.
    std::unique_ptr<std::uint32_t[]> voxel;
    std::unique_ptr<std::uint16_t[]> bits;
};

/// Face neighbours of voxel v, in the order of the bits.
struct Steps {
    std::ptrdiff_t offset[6];
    explicit Steps(Dims d)
        : offset{-1,
                 1,
                 -d.x,
                 d.x,
                 -static_cast<std::ptrdiff_t>(d.x) * d.y,
                 static_cast<std::ptrdiff_t>(d.x) * d.y} {}
    std::size_t operator()(std::uint32_t v, int e) const {
        return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + offset[e]);
    }
};

/// Rows [jFirst, jEnd) of slice k: each band voxel of shell t goes to entry fill[t]++ of the
/// order, and each voxel beyond the band gets its forward source. Plain pointers in and out,
/// which the compiler keeps in registers across the loop.
template <typename Dist>
void orderRows(Dims d, const Dist* dist, std::uint32_t* source, std::int32_t band, int k,
               int jFirst, int jEnd, std::size_t* fill, std::uint32_t* voxel, std::uint16_t* bits) {
    const Steps step(d);
    for (int j = jFirst; j < jEnd; ++j) {
        const unsigned rowBits = (j > 0 ? 4u : 0u) | (j + 1 < d.y ? 8u : 0u) | (k > 0 ? 16u : 0u) |
                                 (k + 1 < d.z ? 32u : 0u);
        auto v = static_cast<std::uint32_t>(d.index(0, j, k));
        for (int i = 0; i < d.x; ++i, ++v) {
            const std::int32_t t = dist[v];
            if (t > band) {
                source[v] = carriedForward(d, dist, source, band, v, t, i, j, k);
                continue;
            }
            if (t == 0) continue;
            const unsigned grid = rowBits | (i > 0 ? 1u : 0u) | (i + 1 < d.x ? 2u : 0u);
            unsigned before = 0;
            for (int e = 0; e < 6; ++e) {
                if ((grid & (1u << e)) == 0) continue;
                if (dist[step(v, e)] == t - 1) before |= 1u << e;
            }
            const std::size_t s = fill[t]++;
            voxel[s] = v;
            bits[s] = static_cast<std::uint16_t>(grid | before << 8);
        }
    }
}

/// Orders the band's voxels and, with `source`, runs the forward sweep beyond the band. Each
/// block of rows writes its voxels of a shell where the block's count in the tally puts them,
/// so the order is the plain counting sort's; the forward sweep reads the block before in the
/// same slice, so the blocks run as a pipeline when there is anything beyond the band.
template <typename Dist>
ShellOrder orderShells(Dims d, const Dist* dist, const ShellTally& tally, std::int32_t band,
                       std::uint32_t* source) {
    ShellOrder order;
    const auto shells = static_cast<std::size_t>(band) + 1;
    order.start.assign(shells + 1, 0);
    for (std::int32_t t = 1; t <= band; ++t)
        for (int k = 0; k < d.z; ++k)
            for (std::size_t b = 0; b < tally.blocks(); ++b)
                order.start[static_cast<std::size_t>(t) + 1] += tally.at(k, b, t);
    for (std::size_t t = 1; t < order.start.size(); ++t) order.start[t] += order.start[t - 1];
    order.voxel = std::make_unique_for_overwrite<std::uint32_t[]>(order.start.back());
    order.bits = std::make_unique_for_overwrite<std::uint16_t[]>(order.start.back());
    // Where each block's voxels of each shell begin in each slice.
    const std::size_t blocks = tally.blocks();
    std::vector<std::size_t> at(static_cast<std::size_t>(d.z) * blocks * shells);
    for (std::size_t t = 1; t < shells; ++t) {
        std::size_t next = order.start[t];
        for (std::size_t kb = 0; kb < static_cast<std::size_t>(d.z) * blocks; ++kb) {
            at[kb * shells + t] = next;
            next +=
                tally.at(static_cast<int>(kb / blocks), kb % blocks, static_cast<std::int32_t>(t));
        }
    }
    const auto slab = [&](unsigned b, long long k) {
        orderRows(d, dist, source, band, static_cast<int>(k), tally.rows[b], tally.rows[b + 1],
                  &at[(static_cast<std::size_t>(k) * blocks + b) * shells], order.voxel.get(),
                  order.bits.get());
    };
    const auto workers = static_cast<unsigned>(blocks);
    if (tally.far > band) {
        forEachPipelined(workers, d.z, slab);
    } else {
        forEachRange(workers, workers, [&](unsigned, long long b, long long) {
            for (int k = 0; k < d.z; ++k) slab(static_cast<unsigned>(b), k);
        });
    }
    return order;
}

/// Entries [first, end) of one shell: each voxel takes the mean of its neighbours in the shell
/// before, summed lowest bit first. Every side counts alike, so the fill does not depend on how
/// the grid is stored.
void fillEntries(const Steps& step, double* field, const std::uint32_t* voxel,
                 const std::uint16_t* bits, std::size_t first, std::size_t end) {
    for (std::size_t s = first; s < end; ++s) {
        const std::uint32_t v = voxel[s];
        unsigned before = bits[s] >> 8u;
        const int count = kBitCount[before];  // >= 1: the shell before is adjacent
        double sum = 0;
        while (before != 0) {
            const int e = std::countr_zero(before);
            before &= before - 1;
            sum += field[step(v, e)];
        }
        field[v] = sum / count;
    }
}

/// Entries [first, end): the mean of every face neighbour in the grid, into `smoothed`.
void smoothEntries(const Steps& step, const double* field, const std::uint32_t* voxel,
                   const std::uint16_t* bits, std::size_t first, std::size_t end,
                   double* smoothed) {
    for (std::size_t s = first; s < end; ++s) {
        const std::uint32_t v = voxel[s];
        const unsigned grid = bits[s] & 0x3Fu;
        double sum = 0;
        for (int e = 0; e < 6; ++e)
            if ((grid & (1u << e)) != 0) sum += field[step(v, e)];
        smoothed[s] = sum / kBitCount[grid];
    }
}

/// Where the fill takes each voxel from, with distances stored as `Dist`, which must hold
/// every distance in the grid.
template <typename Dist>
struct Geometry {
    std::unique_ptr<Dist[]> dist;
    ShellTally tally;
    std::size_t known = 0;  ///< voxels inside
    std::int32_t band = 0;
    std::unique_ptr<std::uint32_t[]> source;  ///< beyond the band, see carriedForward
    ShellOrder order;
};

template <typename Dist>
Geometry<Dist> makeGeometry(Dims d, const unsigned char* inside, unsigned workers) {
    const std::size_t n = d.voxels();
    Geometry<Dist> g;
    g.dist = std::make_unique_for_overwrite<Dist[]>(n);
    g.known = cityBlockDistances(d, inside, g.dist.get(), workers, kExactBand, g.tally);
    if (g.known == 0 || g.known == n) return g;
    const std::int32_t far = g.tally.far;
    g.band = far < kExactBand ? far : kExactBand;
    g.source = std::make_unique_for_overwrite<std::uint32_t[]>(far > g.band ? n : 0);
    g.order = orderShells(d, g.dist.get(), g.tally, g.band, g.source.get());
    return g;
}

/// The fill along a geometry, which it uses up (the way beyond the band is marked as it goes).
/// Returns false, touching nothing, when no voxel is inside.
template <typename Dist>
bool fillAlong(Dims d, std::span<double> field, Geometry<Dist>& g, unsigned workers) {
    if (g.known == 0) return false;
    if (g.known == d.voxels()) return true;
    const std::int32_t far = g.tally.far;
    const ShellOrder& order = g.order;

    // Stages: the shells one after another (each reads only the shell before), then one pass
    // of neighbour averaging over the shells near the mask into `smoothed` (from the values
    // before the pass), where the fill leaves its corners and displaced voxels read the field,
    // then the smoothed values back into the field.
    const std::size_t bandEnd =
        order.start[static_cast<std::size_t>(far < kSmoothedBand ? far : kSmoothedBand) + 1];
    const auto smoothed = std::make_unique_for_overwrite<double[]>(bandEnd);
    std::vector<Stage> stages;
    for (std::int32_t t = 1; t <= g.band; ++t)
        stages.push_back({order.start[static_cast<std::size_t>(t)],
                          order.start[static_cast<std::size_t>(t) + 1]});
    const std::size_t smoothing = stages.size();
    stages.push_back({0, bandEnd});
    stages.push_back({0, bandEnd});
    const Steps step(d);
    forEachStage(
        workers, stages, kChunk, [&](std::size_t stage, std::size_t first, std::size_t end) {
            if (stage < smoothing) {
                fillEntries(step, field.data(), order.voxel.get(), order.bits.get(), first, end);
            } else if (stage == smoothing) {
                smoothEntries(step, field.data(), order.voxel.get(), order.bits.get(), first, end,
                              smoothed.get());
            } else {
                for (std::size_t s = first; s < end; ++s) field[order.voxel[s]] = smoothed[s];
            }
        });
    if (far > g.band) carryBeyondBand(d, field, g.dist.get(), g.source.get(), g.band, g.tally.rows);
    return true;
}

unsigned fillWorkers(Dims d) { return rangeWorkers(d.y, static_cast<std::size_t>(d.x) * d.z); }

/// The passes over the distances are what the fill waits on: half the bytes where 16 bits hold
/// every distance (any grid up to some ten thousand voxels along its three axes). Signed 16
/// bits: the baseline vector instructions have their minimum.
bool shortDistances(Dims d) {
    return static_cast<std::int64_t>(d.x) + d.y + d.z < kUnknownDistance<std::int16_t>;
}

/// The grid and span lengths the fill accepts. Voxels are numbered in 32 bits in the shell
/// order (two numbers are marks beyond the band).
bool fillable(Dims d, std::size_t inside) {
    return d.x >= 1 && d.y >= 1 && d.z >= 1 && inside == d.voxels() && d.voxels() <= kFinal;
}

}  // namespace

struct FillGeometry {
    Dims d;
    std::vector<unsigned char> inside;  ///< the mask it was made for
    Geometry<std::int16_t> near;        ///< with short distances
    Geometry<std::int32_t> wide;        ///< otherwise
};

FillPlan planFill(Dims d, std::span<const unsigned char> inside) {
    if (!fillable(d, inside.size())) return {};
    const RangesOnThisThread here;
    auto g = std::make_shared<FillGeometry>();
    g->d = d;
    g->inside.assign(inside.begin(), inside.end());
    if (shortDistances(d)) {
        g->near = makeGeometry<std::int16_t>(d, inside.data(), fillWorkers(d));
    } else {
        g->wide = makeGeometry<std::int32_t>(d, inside.data(), fillWorkers(d));
    }
    return {std::move(g)};
}

bool extrapolateOutsideMask(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                            FillPlan* plan) {
    if (!fillable(d, inside.size()) || field.size() != inside.size()) return false;
    const unsigned workers = fillWorkers(d);
    if (plan != nullptr && plan->geometry != nullptr && plan->geometry->d == d &&
        std::equal(inside.begin(), inside.end(), plan->geometry->inside.begin())) {
        const std::shared_ptr<FillGeometry> used = std::move(plan->geometry);
        return shortDistances(d) ? fillAlong(d, field, used->near, workers)
                                 : fillAlong(d, field, used->wide, workers);
    }
    if (shortDistances(d)) {
        Geometry<std::int16_t> g = makeGeometry<std::int16_t>(d, inside.data(), workers);
        return fillAlong(d, field, g, workers);
    }
    Geometry<std::int32_t> g = makeGeometry<std::int32_t>(d, inside.data(), workers);
    return fillAlong(d, field, g, workers);
}

}  // namespace ondrift
