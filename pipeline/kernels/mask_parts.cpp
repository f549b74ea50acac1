#include "pipeline/kernels/mask_parts.h"

#include "pipeline/kernels/face_neighbours.h"

namespace ondrift {

Specks findSpecks(Dims d, std::span<const unsigned char> inside, std::size_t below) {
    Specks specks;
    const std::size_t n = d.voxels();
    if (d.x < 1 || d.y < 1 || d.z < 1 || inside.size() != n || n > 0xFFFFFFFFu) return specks;
    std::vector<unsigned char> open(inside.begin(), inside.end());  // in the mask, not yet seen
    std::vector<std::uint32_t> part, stack;
    const std::size_t row = static_cast<std::size_t>(d.x), plane = row * d.y;
    for (std::size_t v = 0; v < n; ++v) {
        if (open[v] == 0) continue;
        open[v] = 0;
        part.clear();
        stack.assign(1, static_cast<std::uint32_t>(v));
        // The whole part is walked (its voxels are marked seen), but only a speck's are kept.
        while (!stack.empty()) {
            const std::size_t c = stack.back();
            stack.pop_back();
            if (part.size() < below) part.push_back(static_cast<std::uint32_t>(c));
            const int x = static_cast<int>(c % row), y = static_cast<int>(c / row % d.y),
                      z = static_cast<int>(c / plane);
            visitFaces(d, c, x, y, z, [&](int, std::size_t q, bool exists) {
                if (exists && open[q] != 0) {
                    open[q] = 0;
                    stack.push_back(static_cast<std::uint32_t>(q));
                }
            });
        }
        if (part.size() >= below) continue;
        specks.voxels.insert(specks.voxels.end(), part.begin(), part.end());
        specks.start.push_back(static_cast<std::uint32_t>(specks.voxels.size()));
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
