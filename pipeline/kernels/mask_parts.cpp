#include "pipeline/kernels/mask_parts.h"

#include <memory>

#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/union_find.h"

namespace ondrift {

Specks findSpecks(Dims d, std::span<const unsigned char> inside, std::size_t below) {
    Specks specks;
    const std::size_t n = d.voxels();
    if (d.x < 1 || d.y < 1 || d.z < 1 || inside.size() != n || n > 0xFFFFFFFFu) return specks;
    // Parts joined in storage order, each voxel with its lower face neighbours in the mask; the
    // lower root wins, so every parent precedes its voxel, and one more pass in storage order
    // numbers the parts by their first voxels. Sequential passes, where a flood fill would jump.
    const auto label = std::make_unique_for_overwrite<std::uint32_t[]>(n);
    const unsigned char* const in = inside.data();
    const std::size_t row = static_cast<std::size_t>(d.x), plane = row * d.y;
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j) {
            const std::size_t first = k * plane + j * row, end = first + row;
            for (std::size_t v = first; v < end; ++v) {
                v = skipOutside(in, v, end);
                if (v == end || in[v] == 0) continue;
                auto root = static_cast<std::uint32_t>(v);
                const std::size_t lower[3] = {v > first ? v - 1 : v, j > 0 ? v - row : v,
                                              k > 0 ? v - plane : v};
                for (const std::size_t w : lower) {
                    if (w == v || in[w] == 0) continue;
                    const std::uint32_t r = findRoot(label.get(), static_cast<std::uint32_t>(w));
                    if (r < root) {
                        if (root != v) label[root] = r;
                        root = r;
                    } else if (r > root) {
                        label[r] = root;
                    }
                }
                label[v] = root;
            }
        }
    std::vector<std::uint32_t> size;
    for (std::size_t v = 0; v < n; ++v) {
        v = skipOutside(in, v, n);
        if (v == n || in[v] == 0) continue;
        const std::uint32_t p = label[v];
        label[v] = p == v ? static_cast<std::uint32_t>(size.size()) : label[p];
        if (p == v) size.push_back(0);
        ++size[label[v]];
    }
    // The specks' places in the list, then their voxels in storage order.
    std::vector<std::uint32_t> at(size.size(), 0xFFFFFFFFu);
    std::size_t total = 0;
    for (std::size_t p = 0; p < size.size(); ++p) {
        if (size[p] >= below) continue;
        at[p] = static_cast<std::uint32_t>(total);
        total += size[p];
        specks.start.push_back(static_cast<std::uint32_t>(total));
    }
    specks.voxels.resize(total);
    for (std::size_t v = 0; v < n && total != 0; ++v) {
        v = skipOutside(in, v, n);
        if (v == n || in[v] == 0) continue;
        const std::uint32_t p = label[v];
        if (at[p] != 0xFFFFFFFFu) specks.voxels[at[p]++] = static_cast<std::uint32_t>(v);
    }
    return specks;
}

std::vector<unsigned char> withoutSpecks(Dims d, std::span<const unsigned char> inside,
                                         const Specks& specks) {
    std::vector<unsigned char> large(inside.begin(), inside.end());
    if (inside.size() != d.voxels()) return large;
    std::size_t inMask = 0;
    for (const unsigned char c : inside) inMask += c != 0 ? 1 : 0;
    if (specks.voxels.size() >= inMask) return large;
    for (const std::uint32_t c : specks.voxels) large[c] = 0;
    return large;
}

}  // namespace ondrift
