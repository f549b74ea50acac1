#include "pipeline/kernels/region_growing.h"

#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "pipeline/kernels/whole_numbers.h"

namespace ondrift {

namespace {

// Voxels are queued by reliability in this many buckets, so that taking the best one is a
// constant-time step rather than a heap operation.
constexpr int kBuckets = 256;

/// Per voxel of the mask, in one 16-bit word so that looking at a neighbour costs one load: its
/// reliability bucket (bits 0-7), which of its six face neighbours lie in the grid and in the
/// mask (bits 8-13; bit 8 + 2a: lower along axis a, 8 + 2a + 1: upper), and whether the growth
/// has queued (bit 14) or placed (bit 15) it. Entries outside the mask are never read and stay
/// unset.
struct Graph {
    std::unique_ptr<std::uint16_t[]> meta;
    std::ptrdiff_t offset[6];
};

/// Reliability is 1 / (1 + 8 · summed absolute wrapped second differences along the axes that
/// have both neighbours in the mask): noise, residues and steep lobes make it low. Also clears
/// `component` and counts the mask voxels per bucket.
Graph buildGraph(Dims d, std::span<const double> w, std::span<const unsigned char> inside,
                 std::span<std::int32_t> component, std::size_t (&perBucket)[kBuckets]) {
    Graph g;
    g.meta = std::make_unique_for_overwrite<std::uint16_t[]>(w.size());
    const std::ptrdiff_t stride[3] = {1, d.x, static_cast<std::ptrdiff_t>(d.x) * d.y};
    for (int a = 0; a < 3; ++a) {
        g.offset[2 * a] = -stride[a];
        g.offset[2 * a + 1] = stride[a];
    }
    const int extent[3] = {d.x, d.y, d.z};
    std::size_t v = 0;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i, ++v) {
                component[v] = 0;
                if (inside[v] == 0) continue;
                const int c[3] = {i, j, k};
                unsigned links = 0;
                double sum = 0;
                for (int a = 0; a < 3; ++a) {
                    const bool hasLo = c[a] > 0 && inside[v - static_cast<std::size_t>(stride[a])];
                    const bool hasHi =
                        c[a] + 1 < extent[a] && inside[v + static_cast<std::size_t>(stride[a])];
                    links |= (hasLo ? 1u : 0u) << (2 * a);
                    links |= (hasHi ? 1u : 0u) << (2 * a + 1);
                    if (hasLo && hasHi) {
                        const double lo = w[v - static_cast<std::size_t>(stride[a])];
                        const double hi = w[v + static_cast<std::size_t>(stride[a])];
                        sum += std::fabs(wrappedStep(hi, w[v]) - wrappedStep(w[v], lo));
                    }
                }
                const double r = 1.0 / (1.0 + 8.0 * sum);
                const auto bucket =
                    static_cast<unsigned>(static_cast<int>(r * (kBuckets - 1) + 0.5));
                ++perBucket[bucket];
                g.meta[v] = static_cast<std::uint16_t>(bucket | links << 8);
            }
    return g;
}

}  // namespace

double wrappedStep(double a, double b) {
    const double t = a - b + 0.5;
    return t - floorOf(t) - 0.5;
}

int growUnwrapped(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                  std::span<std::int32_t> cycles, std::span<std::int32_t> component) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (n > 0x7FFFFFFFu || wrapped.size() != n || inside.size() != n || cycles.size() != n ||
        component.size() != n) {
        return -1;
    }
    std::size_t perBucket[kBuckets] = {};
    const Graph g = buildGraph(d, wrapped, inside, component, perBucket);
    std::uint16_t* const meta = g.meta.get();
    const auto bucketOf = [&](std::size_t v) { return static_cast<int>(meta[v] & 0xFFu); };
    constexpr unsigned kQueued = 1u << 14, kPlaced = 1u << 15;

    // Seeds in order of reliability (a stable counting sort, best first, so the result is
    // deterministic): the best voxel not yet reached starts the next part.
    std::vector<std::uint32_t> order;
    {
        std::vector<std::size_t> count(kBuckets + 1, 0);
        for (int b = 0; b < kBuckets; ++b)
            count[static_cast<std::size_t>(kBuckets - b)] = perBucket[b];
        for (int k = 0; k < kBuckets; ++k) count[k + 1] += count[k];
        order.resize(count[kBuckets]);
        for (std::size_t v = 0; v < n; ++v) {
            if (inside[v] == 0) continue;
            order[count[static_cast<std::size_t>(kBuckets - 1 - bucketOf(v))]++] =
                static_cast<std::uint32_t>(v);
        }
    }

    // Voxels wait in buckets by their reliability; each enters once (marked while queued).
    // When taken, a voxel follows its most reliable neighbour already placed.
    std::vector<std::vector<std::uint32_t>> buckets(kBuckets);
    int top = -1;  // the best bucket that may hold voxels
    auto discover = [&](std::size_t v) {
        const unsigned links = (meta[v] >> 8) & 63u;
        for (int e = 0; e < 6; ++e) {
            if ((links & (1u << e)) == 0) continue;
            const auto w = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
            if ((meta[w] & (kQueued | kPlaced)) != 0) continue;
            meta[w] = static_cast<std::uint16_t>(meta[w] | kQueued);
            const int b = bucketOf(w);
            buckets[static_cast<std::size_t>(b)].push_back(static_cast<std::uint32_t>(w));
            if (b > top) top = b;
        }
    };
    int parts = 0;
    for (const std::uint32_t seed : order) {
        if ((meta[seed] & (kQueued | kPlaced)) != 0) continue;
        ++parts;
        component[seed] = parts;
        meta[seed] = static_cast<std::uint16_t>(meta[seed] | kPlaced);
        discover(seed);
        while (top >= 0) {
            auto& bucket = buckets[static_cast<std::size_t>(top)];
            if (bucket.empty()) {
                --top;
                continue;
            }
            const std::size_t v = bucket.back();
            bucket.pop_back();
            // One look at each neighbour: a placed one may be the one to follow, an unseen one
            // is queued (after the choice, as it is never placed yet).
            std::size_t from = v;
            int best = -1;
            const unsigned links = (meta[v] >> 8) & 63u;
            for (int e = 0; e < 6; ++e) {
                if ((links & (1u << e)) == 0) continue;
                const auto w =
                    static_cast<std::size_t>(static_cast<std::ptrdiff_t>(v) + g.offset[e]);
                const unsigned m = meta[w];
                const int b = static_cast<int>(m & 0xFFu);
                if ((m & kPlaced) != 0) {
                    if (b > best) {
                        best = b;
                        from = w;
                    }
                } else if ((m & kQueued) == 0) {
                    meta[w] = static_cast<std::uint16_t>(m | kQueued);
                    buckets[static_cast<std::size_t>(b)].push_back(static_cast<std::uint32_t>(w));
                    if (b > top) top = b;
                }
            }
            component[v] = parts;
            meta[v] = static_cast<std::uint16_t>(meta[v] | kPlaced);
            const double target =
                wrapped[from] + cycles[from] + wrappedStep(wrapped[v], wrapped[from]);
            cycles[v] = cycleCount(target - wrapped[v]);
        }
    }
    return parts;
}

}  // namespace ondrift
