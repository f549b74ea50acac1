#include "pipeline/kernels/region_growing.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace ondrift {

namespace {

// Edges are queued by reliability in this many buckets, so that taking the best edge is a
// constant-time step rather than a heap operation.
constexpr int kBuckets = 256;

struct Neighbourhood {
    Dims d;
    std::ptrdiff_t stride[3];

    explicit Neighbourhood(Dims dims)
        : d(dims), stride{1, dims.x, static_cast<std::ptrdiff_t>(dims.x) * dims.y} {}

    /// Calls f(neighbour, axis) for each face neighbour of voxel v (coordinates c) in the grid.
    template <typename F>
    void each(std::size_t v, const std::array<int, 3>& c, F&& f) const {
        const int n[3] = {d.x, d.y, d.z};
        const auto p = static_cast<std::ptrdiff_t>(v);
        for (int a = 0; a < 3; ++a) {
            if (c[a] > 0) f(static_cast<std::size_t>(p - stride[a]), a);
            if (c[a] + 1 < n[a]) f(static_cast<std::size_t>(p + stride[a]), a);
        }
    }
    std::array<int, 3> coords(std::size_t v) const {
        const auto nx = static_cast<std::size_t>(d.x), ny = static_cast<std::size_t>(d.y);
        return {static_cast<int>(v % nx), static_cast<int>((v / nx) % ny),
                static_cast<int>(v / (nx * ny))};
    }
};

/// 1 / (1 + summed absolute wrapped second differences along the axes that have both
/// neighbours inside the mask), in (0, 1].
std::vector<float> reliability(const Neighbourhood& g, std::span<const double> w,
                               std::span<const unsigned char> inside) {
    std::vector<float> r(w.size(), 0.0f);
    for (std::size_t v = 0; v < w.size(); ++v) {
        if (inside[v] == 0) continue;
        const auto c = g.coords(v);
        const int n[3] = {g.d.x, g.d.y, g.d.z};
        double sum = 0;
        for (int a = 0; a < 3; ++a) {
            if (c[a] == 0 || c[a] + 1 == n[a]) continue;
            const std::size_t lo = v - static_cast<std::size_t>(g.stride[a]);
            const std::size_t hi = v + static_cast<std::size_t>(g.stride[a]);
            if (inside[lo] == 0 || inside[hi] == 0) continue;
            sum += std::fabs(wrappedStep(w[hi], w[v]) - wrappedStep(w[v], w[lo]));
        }
        r[v] = static_cast<float>(1.0 / (1.0 + 8.0 * sum));
    }
    return r;
}

struct Edge {
    std::uint32_t from;
    std::uint32_t to;
};

}  // namespace

double wrappedStep(double a, double b) {
    const double t = a - b + 0.5;
    return t - std::floor(t) - 0.5;
}

int growUnwrapped(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                  std::span<double> cycles, std::span<std::int32_t> component) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (n > 0xFFFFFFFFu || wrapped.size() != n || inside.size() != n || cycles.size() != n ||
        component.size() != n) {
        return -1;
    }
    const Neighbourhood g(d);
    const std::vector<float> r = reliability(g, wrapped, inside);
    for (std::size_t v = 0; v < n; ++v) component[v] = 0;

    std::vector<std::vector<Edge>> buckets(kBuckets);
    auto bucketOf = [&](std::size_t a, std::size_t b) {
        // Edge reliability is the sum of the two voxels' reliabilities, in (0, 2].
        const int k = static_cast<int>((r[a] + r[b]) * 0.5f * (kBuckets - 1) + 0.5f);
        return k < 0 ? 0 : (k >= kBuckets ? kBuckets - 1 : k);
    };
    int parts = 0;
    // Seeds in order of reliability: the best voxel not yet reached starts the next part.
    std::vector<std::uint32_t> order;
    order.reserve(n);
    for (std::size_t v = 0; v < n; ++v)
        if (inside[v] != 0) order.push_back(static_cast<std::uint32_t>(v));
    // A stable counting sort by reliability bucket, best first, keeps the result deterministic.
    {
        std::vector<std::size_t> count(kBuckets + 1, 0);
        auto key = [&](std::uint32_t v) {
            return kBuckets - 1 - static_cast<int>(r[v] * (kBuckets - 1) + 0.5f);
        };
        for (std::uint32_t v : order) ++count[static_cast<std::size_t>(key(v)) + 1];
        for (int k = 0; k < kBuckets; ++k) count[k + 1] += count[k];
        std::vector<std::uint32_t> sorted(order.size());
        for (std::uint32_t v : order) sorted[count[static_cast<std::size_t>(key(v))]++] = v;
        order.swap(sorted);
    }

    int top = -1;  // the best bucket that may hold edges
    auto pushEdges = [&](std::size_t v) {
        g.each(v, g.coords(v), [&](std::size_t w, int) {
            if (inside[w] != 0 && component[w] == 0) {
                const int b = bucketOf(v, w);
                buckets[static_cast<std::size_t>(b)].push_back(
                    {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(w)});
                if (b > top) top = b;
            }
        });
    };
    for (const std::uint32_t seed : order) {
        if (component[seed] != 0) continue;
        ++parts;
        component[seed] = parts;
        pushEdges(seed);
        while (top >= 0) {
            auto& bucket = buckets[static_cast<std::size_t>(top)];
            if (bucket.empty()) {
                --top;
                continue;
            }
            const Edge e = bucket.back();
            bucket.pop_back();
            if (component[e.to] != 0) continue;
            component[e.to] = parts;
            const double u = wrapped[e.from] + cycles[e.from];
            const double target = u + wrappedStep(wrapped[e.to], wrapped[e.from]);
            cycles[e.to] = std::nearbyint(target - wrapped[e.to]);
            pushEdges(e.to);
        }
    }
    return parts;
}

}  // namespace ondrift
