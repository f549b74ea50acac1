#include "pipeline/kernels/outward_fill.h"

#include <cstddef>
#include <vector>

namespace ondrift {

bool fillOutward(Dims d, std::span<double> field, std::span<const unsigned char> inside) {
    const std::size_t n = d.voxels();
    std::vector<unsigned char> known(inside.begin(), inside.begin() + static_cast<long>(n));
    std::vector<std::size_t> layer;
    std::vector<std::size_t> next;
    std::vector<double> values;
    std::vector<unsigned char> queued(n, 0);
    const std::size_t sx = 1, sy = static_cast<std::size_t>(d.x),
                      sz = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    bool any = false;

    // Calls f(neighbour index) for each face neighbour of voxel (x, y, z) at index v.
    auto forNeighbours = [&](std::size_t v, int x, int y, int z, auto&& f) {
        if (x > 0) f(v - sx);
        if (x < d.x - 1) f(v + sx);
        if (y > 0) f(v - sy);
        if (y < d.y - 1) f(v + sy);
        if (z > 0) f(v - sz);
        if (z < d.z - 1) f(v + sz);
    };
    auto coordinates = [&](std::size_t v, int& x, int& y, int& z) {
        x = static_cast<int>(v % sy);
        y = static_cast<int>((v / sy) % static_cast<std::size_t>(d.y));
        z = static_cast<int>(v / sz);
    };

    for (std::size_t v = 0; v < n; ++v) {
        if (!known[v]) continue;
        any = true;
        int x, y, z;
        coordinates(v, x, y, z);
        forNeighbours(v, x, y, z, [&](std::size_t u) {
            if (!known[u] && !queued[u]) {
                queued[u] = 1;
                layer.push_back(u);
            }
        });
    }
    if (!any) return false;

    while (!layer.empty()) {
        // Values of a whole layer come from the voxels known before it, so the result does not
        // depend on the order within the layer.
        values.assign(layer.size(), 0.0);
        for (std::size_t q = 0; q < layer.size(); ++q) {
            int x, y, z;
            coordinates(layer[q], x, y, z);
            double sum = 0.0;
            int count = 0;
            forNeighbours(layer[q], x, y, z, [&](std::size_t u) {
                if (known[u]) {
                    sum += field[u];
                    ++count;
                }
            });
            values[q] = sum / count;
        }
        next.clear();
        for (std::size_t q = 0; q < layer.size(); ++q) {
            field[layer[q]] = values[q];
            known[layer[q]] = 1;
        }
        for (const std::size_t v : layer) {
            int x, y, z;
            coordinates(v, x, y, z);
            forNeighbours(v, x, y, z, [&](std::size_t u) {
                if (!known[u] && !queued[u]) {
                    queued[u] = 1;
                    next.push_back(u);
                }
            });
        }
        layer.swap(next);
    }
    return true;
}

}  // namespace ondrift
