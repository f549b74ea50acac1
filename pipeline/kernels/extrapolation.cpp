#include "pipeline/kernels/extrapolation.h"

#include <cstddef>
#include <vector>

namespace ondrift {

namespace {

// Passes of neighbour averaging over the filled region. A few are enough to take the corners
// off the shells; the measured voxels never move.
constexpr int kRelaxPasses = 4;

struct Grid {
    Dims d;
    std::ptrdiff_t sx = 1, sy = 0, sz = 0;

    explicit Grid(Dims dims)
        : d(dims), sy(dims.x), sz(static_cast<std::ptrdiff_t>(dims.x) * dims.y) {}

    /// Calls f(neighbour index) for each face neighbour of (i, j, k) inside the grid.
    template <typename F>
    void forNeighbours(std::size_t v, int i, int j, int k, F&& f) const {
        const auto p = static_cast<std::ptrdiff_t>(v);
        if (i > 0) f(static_cast<std::size_t>(p - sx));
        if (i + 1 < d.x) f(static_cast<std::size_t>(p + sx));
        if (j > 0) f(static_cast<std::size_t>(p - sy));
        if (j + 1 < d.y) f(static_cast<std::size_t>(p + sy));
        if (k > 0) f(static_cast<std::size_t>(p - sz));
        if (k + 1 < d.z) f(static_cast<std::size_t>(p + sz));
    }
    void coords(std::size_t v, int& i, int& j, int& k) const {
        i = static_cast<int>(v % static_cast<std::size_t>(d.x));
        j = static_cast<int>((v / static_cast<std::size_t>(d.x)) % static_cast<std::size_t>(d.y));
        k = static_cast<int>(v / static_cast<std::size_t>(sz));
    }
};

}  // namespace

bool extrapolateOutsideMask(Dims d, std::span<double> field,
                            std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (field.size() != n || inside.size() != n) return false;
    // 0: unknown, 1: measured, 2: filled in an earlier shell, 3: in the current shell.
    std::vector<unsigned char> state(n);
    std::size_t known = 0;
    for (std::size_t v = 0; v < n; ++v) {
        state[v] = inside[v] != 0 ? 1 : 0;
        known += state[v];
    }
    if (known == 0) return false;
    if (known == n) return true;

    const Grid g(d);
    std::vector<std::size_t> shell, next, filled;
    // The first shell: outside voxels with a measured face neighbour.
    for (int k = 0, v = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j)
            for (int i = 0; i < d.x; ++i, ++v) {
                const auto u = static_cast<std::size_t>(v);
                if (state[u] != 0) continue;
                bool touches = false;
                g.forNeighbours(u, i, j, k, [&](std::size_t w) { touches |= state[w] == 1; });
                if (touches) {
                    state[u] = 3;
                    shell.push_back(u);
                }
            }
    std::vector<double> values;
    while (!shell.empty()) {
        values.assign(shell.size(), 0.0);
        for (std::size_t s = 0; s < shell.size(); ++s) {
            int i, j, k;
            g.coords(shell[s], i, j, k);
            double sum = 0;
            int count = 0;
            g.forNeighbours(shell[s], i, j, k, [&](std::size_t w) {
                if (state[w] == 1 || state[w] == 2) {
                    sum += field[w];
                    ++count;
                }
            });
            values[s] = sum / count;  // every shell voxel touches the previous shell
        }
        next.clear();
        for (std::size_t s = 0; s < shell.size(); ++s) {
            field[shell[s]] = values[s];
            state[shell[s]] = 2;
            filled.push_back(shell[s]);
        }
        for (const std::size_t u : shell) {
            int i, j, k;
            g.coords(u, i, j, k);
            g.forNeighbours(u, i, j, k, [&](std::size_t w) {
                if (state[w] == 0) {
                    state[w] = 3;
                    next.push_back(w);
                }
            });
        }
        shell.swap(next);
    }

    // Jacobi passes over the filled voxels: each takes the mean of all its face neighbours.
    values.resize(filled.size());
    for (int pass = 0; pass < kRelaxPasses; ++pass) {
        for (std::size_t s = 0; s < filled.size(); ++s) {
            int i, j, k;
            g.coords(filled[s], i, j, k);
            double sum = 0;
            int count = 0;
            g.forNeighbours(filled[s], i, j, k, [&](std::size_t w) {
                sum += field[w];
                ++count;
            });
            values[s] = count > 0 ? sum / count : field[filled[s]];
        }
        for (std::size_t s = 0; s < filled.size(); ++s) field[filled[s]] = values[s];
    }
    return true;
}

}  // namespace ondrift
