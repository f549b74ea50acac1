#include "pipeline/kernels/cycle_outliers.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

#include "pipeline/kernels/face_neighbours.h"
#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

constexpr int kSweeps = 2;
constexpr int kFewestNeighbours = 6;

/// Whether a face neighbour lies outside the mask or more than half a cycle away: only such
/// voxels can be outliers, which spares the median everywhere else.
bool worthExamining(Dims d, std::span<const double> u, std::span<const unsigned char> in, int x,
                    int y, int z) {
    const std::size_t c = d.index(x, y, z);
    const double v = u[c];
    // A pair of noisy voxels can touch the head only by edges and corners, each being the
    // other's only face neighbour in the mask.
    auto steep = [&](std::size_t q) { return in[q] == 0 || std::fabs(u[q] - v) > 0.5; };
    return (x > 0 && steep(c - 1)) || (x + 1 < d.x && steep(c + 1)) ||
           (y > 0 && steep(c - static_cast<std::size_t>(d.x))) ||
           (y + 1 < d.y && steep(c + static_cast<std::size_t>(d.x))) ||
           (z > 0 && steep(c - static_cast<std::size_t>(d.x) * d.y)) ||
           (z + 1 < d.z && steep(c + static_cast<std::size_t>(d.x) * d.y));
}

/// Whether the median can move voxel c: some mask neighbour among the 26 lies more than half a
/// cycle from it, and it has enough of them. How many it has never changes with the moves, so
/// a noise speck in the background, with few, is passed over for good.
bool movable(Dims d, std::span<const double> u, std::span<const unsigned char> in, int x, int y,
             int z) {
    const std::size_t c = d.index(x, y, z);
    const double v = u[c];
    int count = 0;
    bool far = false;
    for (int k = std::max(z - 1, 0); k <= std::min(z + 1, d.z - 1); ++k)
        for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
            for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i) {
                const std::size_t q = d.index(i, j, k);
                if (q != c && in[q] != 0 && std::isfinite(u[q])) {
                    ++count;
                    far |= std::fabs(u[q] - v) > 0.5;
                }
            }
    return far && count >= kFewestNeighbours;
}

/// Whether voxel c = (x, y, z) of the grid is one the sweep may move as the field stands: in the
/// mask, finite, examined and movable. It depends on the voxel and its 26 neighbours alone.
inline bool candidate(Dims d, const double* field, const unsigned char* mask,
                      const unsigned char* counts, std::size_t c, int x, int y, int z) {
    if (mask[c] == 0 || !std::isfinite(field[c])) return false;
    if (counts != nullptr && counts[c] < kFewestNeighbours) return false;
    // worthExamining without a branch per face: a face beyond the grid is the voxel itself, in
    // the mask and no step away.
    bool steep = false;
    visitFaces(d, c, x, y, z, [&](int, std::size_t q, bool) {
        steep |= (mask[q] == 0) | (std::fabs(field[q] - field[c]) > 0.5);
    });
    return steep && movable(d, {field, d.voxels()}, {mask, d.voxels()}, x, y, z);
}

/// The candidates in storage order, found slice by slice on every core.
std::vector<std::size_t> candidates(Dims d, std::span<const double> u,
                                    std::span<const unsigned char> in,
                                    const unsigned char* counts) {
    const std::size_t plane = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    const double* const field = u.data();
    const unsigned char* const mask = in.data();
    return collectOverRanges<std::size_t>(
        d.z, plane, [&](long long first, long long end, std::vector<std::size_t>& found) {
            forEachMaskVoxel(d, mask, first, end, [&](std::size_t c, int x, int y, int z) {
                if (candidate(d, field, mask, counts, c, x, y, z)) found.push_back(c);
            });
        });
}

/// The candidates after the voxels `moved` moved, from those before: only a moved voxel and its
/// 26 neighbours can have changed, so they are looked at again and the rest kept, which spares
/// a pass over the grid.
std::vector<std::size_t> candidatesAfter(Dims d, std::span<const double> u,
                                         std::span<const unsigned char> in,
                                         const unsigned char* counts,
                                         const std::vector<std::size_t>& before,
                                         const std::vector<std::size_t>& moved) {
    const std::size_t plane = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    std::vector<std::size_t> near;
    for (const std::size_t c : moved) {
        const int x = static_cast<int>(c % static_cast<std::size_t>(d.x));
        const int y =
            static_cast<int>(c / static_cast<std::size_t>(d.x) % static_cast<std::size_t>(d.y));
        const int z = static_cast<int>(c / plane);
        for (int k = std::max(z - 1, 0); k <= std::min(z + 1, d.z - 1); ++k)
            for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
                for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i)
                    near.push_back(d.index(i, j, k));
    }
    std::sort(near.begin(), near.end());
    near.erase(std::unique(near.begin(), near.end()), near.end());
    std::vector<std::size_t> after;
    after.reserve(before.size() + near.size());
    auto kept = before.begin();
    for (const std::size_t c : near) {
        for (; kept != before.end() && *kept < c; ++kept) after.push_back(*kept);
        if (kept != before.end() && *kept == c) ++kept;
        const int x = static_cast<int>(c % static_cast<std::size_t>(d.x));
        const int y =
            static_cast<int>(c / static_cast<std::size_t>(d.x) % static_cast<std::size_t>(d.y));
        const int z = static_cast<int>(c / plane);
        if (candidate(d, u.data(), in.data(), counts, c, x, y, z)) after.push_back(c);
    }
    after.insert(after.end(), kept, before.end());
    return after;
}

}  // namespace

std::unique_ptr<unsigned char[]> maskNeighbourCounts(Dims d,
                                                     std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1 || inside.size() != d.voxels()) return nullptr;
    auto counts = std::make_unique_for_overwrite<unsigned char[]>(inside.size());
    const unsigned char* const in = inside.data();
    unsigned char* const out = counts.get();
    shareOut(d.z, static_cast<std::size_t>(d.x) * d.y,
             [&](unsigned, long long first, long long end) {
                 forEachMaskVoxel(d, in, first, end, [&](std::size_t c, int x, int y, int z) {
                     unsigned count = 0;
                     for (int k = std::max(z - 1, 0); k <= std::min(z + 1, d.z - 1); ++k)
                         for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
                             for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i)
                                 count += in[d.index(i, j, k)] != 0 ? 1u : 0u;
                     out[c] = static_cast<unsigned char>(count - 1);  // not itself
                 });
             });
    return counts;
}

long long alignCycleOutliers(Dims d, std::span<double> unwrapped,
                             std::span<const unsigned char> inside,
                             const unsigned char* neighbourCounts) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (unwrapped.size() != n || inside.size() != n) return -1;
    long long moved = 0;
    double around[26];
    const std::size_t plane = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    std::vector<std::size_t> found, movedBefore;
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
        // The sweep runs in storage order, each voxel seeing the moves made before it. A voxel
        // can move only if it is a candidate as the field stood when the sweep began, or if a
        // neighbour before it in the order moved: those are visited, the rest skipped.
        // Many moves (a mask full of noise) are looked at faster in a pass over the grid.
        found = sweep == 0 || movedBefore.size() > n / 1024
                    ? candidates(d, unwrapped, inside, neighbourCounts)
                    : candidatesAfter(d, unwrapped, inside, neighbourCounts, found, movedBefore);
        movedBefore.clear();
        std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> touched;
        std::size_t next = 0;
        bool any = false;
        std::size_t last = 0;
        long long movedNow = 0;
        while (next < found.size() || !touched.empty()) {
            std::size_t c = next < found.size() ? found[next] : n;
            if (!touched.empty() && touched.top() < c) c = touched.top();
            if (next < found.size() && found[next] == c) ++next;
            while (!touched.empty() && touched.top() == c) touched.pop();
            if (any && c <= last) continue;
            any = true;
            last = c;
            const int x = static_cast<int>(c % static_cast<std::size_t>(d.x));
            const int y =
                static_cast<int>(c / static_cast<std::size_t>(d.x) % static_cast<std::size_t>(d.y));
            const int z = static_cast<int>(c / plane);
            if (inside[c] == 0 || !std::isfinite(unwrapped[c])) continue;
            if (!worthExamining(d, unwrapped, inside, x, y, z)) continue;
            // The median moves the voxel only when some neighbour lies more than half a cycle
            // away; the usual voxel at the rim of the mask has none.
            const double v = unwrapped[c];
            int count = 0;
            bool far = false;
            for (int k = std::max(z - 1, 0); k <= std::min(z + 1, d.z - 1); ++k)
                for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
                    for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i) {
                        const std::size_t q = d.index(i, j, k);
                        if (q != c && inside[q] != 0 && std::isfinite(unwrapped[q])) {
                            around[count++] = unwrapped[q];
                            far |= std::fabs(unwrapped[q] - v) > 0.5;
                        }
                    }
            if (count < kFewestNeighbours || !far) continue;
            double* mid = around + count / 2;
            std::nth_element(around, mid, around + count);
            const double cycles = std::nearbyint(*mid - v);
            if (cycles == 0) continue;
            unwrapped[c] += cycles;
            ++movedNow;
            movedBefore.push_back(c);
            // The neighbours after it in the order now see another field.
            for (int k = z; k <= std::min(z + 1, d.z - 1); ++k)
                for (int j = std::max(y - 1, 0); j <= std::min(y + 1, d.y - 1); ++j)
                    for (int i = std::max(x - 1, 0); i <= std::min(x + 1, d.x - 1); ++i) {
                        const std::size_t q = d.index(i, j, k);
                        if (q > c) touched.push(q);
                    }
        }
        moved += movedNow;
        if (movedNow == 0) break;
    }
    return moved;
}

}  // namespace ondrift
