#include "pipeline/kernels/region_growing.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "pipeline/kernels/consistent_core.h"
#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/whole_numbers.h"

namespace ondrift {

namespace {

// Voxels are queued by reliability in this many buckets, so that taking the best one is a
// constant-time step rather than a heap operation.
constexpr int kBuckets = 256;

/// Per voxel of the mask, in one 16-bit word so that looking at a neighbour costs one load: its
/// reliability bucket (bits 0-7), which of its six face neighbours lie in the grid and in the
/// mask (bits 8-13; bit 8 + 2a: lower along axis a, 8 + 2a + 1: upper), and whether the growth
/// has queued (bit 14) or placed (bit 15) it. A voxel of a kept core is placed from the start;
/// only its bucket is filled in (bit 8 then marks it as known), and only where the growth
/// borders it. Entries outside the mask are never read and stay unset.
constexpr unsigned kQueued = 1u << 14, kPlaced = 1u << 15, kBucketKnown = 1u << 8;

struct Grid {
    Dims d;
    std::ptrdiff_t offset[6];
    std::span<const double> w;
    std::span<const unsigned char> inside;
};

Grid gridOf(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside) {
    Grid g{d, {}, wrapped, inside};
    const std::ptrdiff_t stride[3] = {1, d.x, static_cast<std::ptrdiff_t>(d.x) * d.y};
    for (int a = 0; a < 3; ++a) {
        g.offset[2 * a] = -stride[a];
        g.offset[2 * a + 1] = stride[a];
    }
    return g;
}

/// Reliability is 1 / (1 + 8 · summed absolute wrapped second differences along the axes that
/// have both neighbours in the mask): noise, residues and steep lobes make it low. Returns the
/// bucket with the links in bits 8-13.
unsigned bucketAndLinks(const Grid& g, int i, int j, int k, std::size_t v) {
    const int c[3] = {i, j, k};
    const int extent[3] = {g.d.x, g.d.y, g.d.z};
    unsigned links = 0;
    double sum = 0;
    for (int a = 0; a < 3; ++a) {
        const auto lo = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[2 * a]);
        const auto hi =
            static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[2 * a + 1]);
        const bool hasLo = c[a] > 0 && g.inside[lo];
        const bool hasHi = c[a] + 1 < extent[a] && g.inside[hi];
        links |= (hasLo ? 1u : 0u) << (2 * a);
        links |= (hasHi ? 1u : 0u) << (2 * a + 1);
        if (hasLo && hasHi) {
            sum += std::fabs(wrappedStep(g.w[hi], g.w[v]) - wrappedStep(g.w[v], g.w[lo]));
        }
    }
    const double r = 1.0 / (1.0 + 8.0 * sum);
    const auto bucket = static_cast<unsigned>(static_cast<int>(r * (kBuckets - 1) + 0.5));
    return bucket | links << 8;
}

}  // namespace

std::unique_ptr<std::uint16_t[]> voxelReliability(Dims d, std::span<const double> wrapped,
                                                  std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return nullptr;
    const std::size_t n = d.voxels();
    if (wrapped.size() != n || inside.size() != n) return nullptr;
    const Grid g = gridOf(d, wrapped, inside);
    auto known = std::make_unique_for_overwrite<std::uint16_t[]>(n);
    const unsigned char* const in = inside.data();
    std::uint16_t* const out = known.get();
    shareOut(d.z, static_cast<std::size_t>(d.x) * d.y,
             [&](unsigned, long long first, long long end) {
                 forEachMaskVoxel(d, in, first, end, [&](std::size_t v, int i, int j, int k) {
                     out[v] = static_cast<std::uint16_t>(bucketAndLinks(g, i, j, k, v));
                 });
             });
    return known;
}

std::vector<std::int32_t> growSpecks(Dims d, std::span<const double> wrapped,
                                     const std::uint16_t* reliability, const Specks& specks) {
    std::vector<std::int32_t> grown(specks.voxels.size(), 0);
    if (reliability == nullptr || wrapped.size() != d.voxels()) return {};
    const Grid g = gridOf(d, wrapped, {});
    // Per voxel of the speck: queued (and when), placed.
    std::vector<int> queuedAt;
    std::vector<char> placed;
    for (std::size_t s = 0; s < specks.count(); ++s) {
        const std::uint32_t* const voxel = specks.voxels.data() + specks.start[s];
        const std::size_t size = specks.start[s + 1] - specks.start[s];
        std::int32_t* const cycles = grown.data() + specks.start[s];
        if (!std::is_sorted(voxel, voxel + size)) return {};
        const auto local = [&](std::size_t w) {
            return static_cast<std::size_t>(std::lower_bound(voxel, voxel + size, w) - voxel);
        };
        const auto bucket = [&](std::size_t a) { return reliability[voxel[a]] & 0xFFu; };
        queuedAt.assign(size, -1);
        placed.assign(size, 0);
        int queued = 0, stamp = 0;
        // Calls visit(b) for each face neighbour b of voxel a in the speck (its slot).
        const auto eachNeighbour = [&](std::size_t a, auto&& visit) {
            const unsigned links = (reliability[voxel[a]] >> 8) & 63u;
            for (int e = 0; e < 6; ++e) {
                if ((links & (1u << e)) == 0) continue;
                const std::size_t b = local(
                    static_cast<std::size_t>(static_cast<std::ptrdiff_t>(voxel[a]) + g.offset[e]));
                if (b < size) visit(b);
            }
        };
        const auto enqueueAround = [&](std::size_t a) {
            eachNeighbour(a, [&](std::size_t b) {
                if (placed[b] == 0 && queuedAt[b] < 0) {
                    queuedAt[b] = stamp++;
                    ++queued;
                }
            });
        };
        std::size_t seed = 0;
        for (std::size_t a = 1; a < size; ++a)
            if (bucket(a) > bucket(seed)) seed = a;
        placed[seed] = 1;
        cycles[seed] = 0;
        enqueueAround(seed);
        while (queued != 0) {
            // The best bucket, the latest queued in it (the growth's buckets are stacks).
            std::size_t v = size;
            for (std::size_t a = 0; a < size; ++a) {
                if (placed[a] != 0 || queuedAt[a] < 0) continue;
                if (v == size || bucket(a) > bucket(v) ||
                    (bucket(a) == bucket(v) && queuedAt[a] > queuedAt[v]))
                    v = a;
            }
            --queued;
            std::size_t from = v;
            int best = -1;
            eachNeighbour(v, [&](std::size_t b) {
                if (placed[b] != 0 && static_cast<int>(bucket(b)) > best) {
                    best = static_cast<int>(bucket(b));
                    from = b;
                }
            });
            enqueueAround(v);
            placed[v] = 1;
            const double target = wrapped[voxel[from]] + cycles[from] +
                                  wrappedStep(wrapped[voxel[v]], wrapped[voxel[from]]);
            cycles[v] = cycleCount(target - wrapped[voxel[v]]);
        }
    }
    return grown;
}

double wrappedStep(double a, double b) {
    const double t = a - b + 0.5;
    return t - floorOf(t) - 0.5;
}

int growUnwrapped(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                  std::span<std::int32_t> cycles, std::span<std::int32_t> component,
                  const unsigned char* rough, const std::uint16_t* reliability,
                  unsigned joinedAxes) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (n > 0x7FFFFFFFu || wrapped.size() != n || inside.size() != n || cycles.size() != n ||
        component.size() != n) {
        return -1;
    }
    const Grid g = gridOf(d, wrapped, inside);
    const ConsistentCore cores = findConsistentCore(d, wrapped, inside, cycles, rough, joinedAxes);
    int parts = cores.parts;
    const std::uint32_t* const label = cores.label.get();

    // The kept cores are placed as they are; every other voxel of the mask gets its
    // reliability and waits for the growth.
    const auto meta = std::make_unique_for_overwrite<std::uint16_t[]>(n);
    // Slice by slice on every core, the waiting voxels listed in storage order.
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    // Plain pointers: the list's growth is a call, after which spans would be loaded again.
    const unsigned char* const in = inside.data();
    std::int32_t* const number = component.data();
    std::int32_t* const cycle = cycles.data();
    const int* const corePart = cores.part.data();
    const std::int32_t* const coreShift = cores.shift.data();
    std::uint16_t* const state = meta.get();
    const std::vector<std::uint32_t> rest = collectOverRanges<std::uint32_t>(
        d.z, plane, [&](long long first, long long end, std::vector<std::uint32_t>& waiting) {
            for (auto k = static_cast<int>(first); k < end; ++k)
                for (int j = 0; j < d.y; ++j) {
                    const std::size_t row = d.index(0, j, k);
                    for (int i = 0; i < d.x; ++i) {
                        const std::size_t v = row + static_cast<std::size_t>(i);
                        if (i + 8 <= d.x && outsideEight(in + v)) {
                            std::fill_n(number + v, 8, 0);
                            i += 7;
                            continue;
                        }
                        number[v] = 0;
                        if (in[v] == 0) continue;
                        const std::uint32_t l = label[v];
                        const int part = corePart[l];
                        if (part != 0) {
                            state[v] = static_cast<std::uint16_t>(kPlaced);
                            number[v] = part;
                            cycle[v] += coreShift[l];
                            continue;
                        }
                        state[v] = reliability != nullptr
                                       ? reliability[v]
                                       : static_cast<std::uint16_t>(bucketAndLinks(g, i, j, k, v));
                        waiting.push_back(static_cast<std::uint32_t>(v));
                    }
                }
        });
    const auto bucketOf = [&](std::size_t v) { return static_cast<int>(meta[v] & 0xFFu); };
    // A voxel without a face neighbour in the mask (a speck of noise, mostly) is a part of its
    // own that keeps its guess; such voxels are numbered after the growth, in storage order,
    // rather than visited among the seeds in the order of their reliability.
    const auto alone = [&](std::size_t v) { return (meta[v] & (63u << 8)) == 0; };
    std::size_t perBucket[kBuckets] = {};
    std::size_t single = 0;
    for (const std::uint32_t v : rest) {
        if (alone(v)) {
            ++single;
            continue;
        }
        ++perBucket[bucketOf(v)];
    }

    // Voxels wait in buckets by their reliability; each enters once (marked while queued).
    // When taken, a voxel follows its most reliable neighbour already placed.
    std::vector<std::vector<std::uint32_t>> buckets(kBuckets);
    int top = -1;  // the best bucket that may hold voxels
    // Queued and not yet taken: when none are left the growth stops at once instead of passing
    // down the empty buckets, which for each of many small specks (whose voxels, without
    // second differences, are all most reliable) would cost the whole bucket range.
    std::size_t queued = 0;
    const auto enqueue = [&](std::size_t w) {
        meta[w] = static_cast<std::uint16_t>(meta[w] | kQueued);
        const int b = bucketOf(w);
        buckets[static_cast<std::size_t>(b)].push_back(static_cast<std::uint32_t>(w));
        ++queued;
        if (b > top) top = b;
    };
    // The growth starts at every voxel bordering a core; the cores' voxels it may follow
    // there get their reliability now.
    for (const std::uint32_t v : rest) {
        const unsigned links = (meta[v] >> 8) & 63u;
        bool borders = false;
        for (int e = 0; e < 6; ++e) {
            if ((links & (1u << e)) == 0) continue;
            const auto w = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
            if ((meta[w] & kPlaced) == 0) continue;
            borders = true;
            if ((meta[w] & kBucketKnown) != 0) continue;
            unsigned known = 0;
            if (reliability != nullptr) {
                known = reliability[w];
            } else {
                const int i = static_cast<int>(w % static_cast<std::size_t>(d.x));
                const int j = static_cast<int>(w / static_cast<std::size_t>(d.x) %
                                               static_cast<std::size_t>(d.y));
                const int k = static_cast<int>(w / plane);
                known = bucketAndLinks(g, i, j, k, w);
            }
            meta[w] = static_cast<std::uint16_t>(kPlaced | kBucketKnown | (known & 0xFFu));
        }
        if (borders) enqueue(v);
    }
    // Along a thick axis a calm-looking step may hide whole cycles (the field changes more
    // between slices than the sampling can tell), so a voxel reached only that way waits until
    // the growth within its slice reaches it, and follows a neighbour across slices only when
    // nothing within its slice is placed once every other voxel has been.
    const bool everyAxis = (joinedAxes & kEveryAxis) == kEveryAxis;
    const auto joined = [&](int e) { return (joinedAxes & (1u << (e / 2))) != 0; };
    std::vector<unsigned char> waits;  // 1: taken and set aside; 2: may follow any axis
    std::vector<std::uint32_t> setAside;
    if (!everyAxis) waits.assign(n, 0);
    const auto grow = [&] {
        while (queued != 0) {
            auto& bucket = buckets[static_cast<std::size_t>(top)];
            if (bucket.empty()) {
                --top;
                continue;
            }
            const std::size_t v = bucket.back();
            bucket.pop_back();
            --queued;
            if ((meta[v] & kPlaced) != 0) continue;  // queued again from within its slice
            // One look at each neighbour: a placed one may be the one to follow, an unseen one
            // is queued (after the choice, as it is never placed yet).
            std::size_t from = v;
            int best = -1;
            const unsigned links = (meta[v] >> 8) & 63u;
            if (!everyAxis && waits[v] != 2) {
                bool within = false;
                for (int e = 0; e < 6; ++e) {
                    if ((links & (1u << e)) == 0 || !joined(e)) continue;
                    const auto w =
                        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
                    within = within || (meta[w] & kPlaced) != 0;
                }
                if (!within) {
                    waits[v] = 1;
                    setAside.push_back(static_cast<std::uint32_t>(v));
                    continue;
                }
            }
            for (int e = 0; e < 6; ++e) {
                if ((links & (1u << e)) == 0) continue;
                const auto w =
                    static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
                const unsigned m = meta[w];
                if ((m & kPlaced) != 0) {
                    if (static_cast<int>(m & 0xFFu) > best &&
                        (everyAxis || joined(e) || waits[v] == 2)) {
                        best = static_cast<int>(m & 0xFFu);
                        from = w;
                    }
                } else if ((m & kQueued) == 0) {
                    enqueue(w);
                } else if (!everyAxis && waits[w] == 1 && joined(e)) {
                    waits[w] = 0;
                    enqueue(w);
                }
            }
            if (from == v) {  // only across slices after all
                for (int e = 0; e < 6; ++e) {
                    if ((links & (1u << e)) == 0) continue;
                    const auto w =
                        static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
                    const unsigned m = meta[w];
                    if ((m & kPlaced) != 0 && static_cast<int>(m & 0xFFu) > best) {
                        best = static_cast<int>(m & 0xFFu);
                        from = w;
                    }
                }
            }
            component[v] = component[from];
            meta[v] = static_cast<std::uint16_t>(meta[v] | kPlaced);
            const double target =
                wrapped[from] + cycles[from] + wrappedStep(wrapped[v], wrapped[from]);
            cycles[v] = cycleCount(target - wrapped[v]);
        }
        top = -1;
    };
    // Grows until nothing is queued, then lets the voxels set aside follow across slices.
    const auto growAll = [&] {
        grow();
        while (!setAside.empty()) {
            std::vector<std::uint32_t> late;
            late.swap(setAside);
            for (const std::uint32_t v : late)
                if ((meta[v] & kPlaced) == 0 && waits[v] == 1) {
                    waits[v] = 2;
                    enqueue(v);
                }
            grow();
        }
    };
    growAll();

    // Parts of the mask without a core start from their most reliable voxel not yet reached
    // (a stable counting sort, best first, so the result is deterministic).
    std::vector<std::uint32_t> order;
    {
        std::vector<std::size_t> count(kBuckets + 1, 0);
        for (int b = 0; b < kBuckets; ++b)
            count[static_cast<std::size_t>(kBuckets - b)] = perBucket[b];
        for (int k = 0; k < kBuckets; ++k) count[k + 1] += count[k];
        order.resize(count[kBuckets]);
        for (const std::uint32_t v : rest)
            if (!alone(v)) order[count[static_cast<std::size_t>(kBuckets - 1 - bucketOf(v))]++] = v;
    }
    for (const std::uint32_t seed : order) {
        if ((meta[seed] & (kQueued | kPlaced)) != 0) continue;
        component[seed] = ++parts;
        meta[seed] = static_cast<std::uint16_t>(meta[seed] | kPlaced);
        const unsigned links = (meta[seed] >> 8) & 63u;
        for (int e = 0; e < 6; ++e) {
            if ((links & (1u << e)) == 0) continue;
            const auto w =
                static_cast<std::size_t>(static_cast<std::ptrdiff_t>(seed) + g.offset[e]);
            if ((meta[w] & (kQueued | kPlaced)) == 0) enqueue(w);
        }
        growAll();
    }
    if (single != 0)
        for (const std::uint32_t v : rest)
            if (alone(v)) component[v] = ++parts;
    return parts;
}

}  // namespace ondrift
