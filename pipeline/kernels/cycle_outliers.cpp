#include "pipeline/kernels/cycle_outliers.h"

#include <algorithm>
#include <cmath>
#include <vector>

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

/// worthExamining for the voxels of one row of the mask with finite values, 1 to x - 2 (the
/// ends have a side without neighbour), written without branches so that it runs at the speed
/// of the memory. `near` and `nearIn` are the rows before and after along y and z; where there
/// is none, the row itself stands in, which is never steep.
void examineRow(const double* u, const unsigned char* in, const double* const near[4],
                const unsigned char* const nearIn[4], int length, unsigned char* look) {
    const double *ym = near[0], *yp = near[1], *zm = near[2], *zp = near[3];
    const unsigned char *inYm = nearIn[0], *inYp = nearIn[1], *inZm = nearIn[2], *inZp = nearIn[3];
    for (int x = 1; x + 1 < length; ++x) {
        const double v = u[x];
        const bool outside = (in[x - 1] == 0) | (in[x + 1] == 0) | (inYm[x] == 0) | (inYp[x] == 0) |
                             (inZm[x] == 0) | (inZp[x] == 0);
        const bool steep = (std::fabs(u[x - 1] - v) > 0.5) | (std::fabs(u[x + 1] - v) > 0.5) |
                           (std::fabs(ym[x] - v) > 0.5) | (std::fabs(yp[x] - v) > 0.5) |
                           (std::fabs(zm[x] - v) > 0.5) | (std::fabs(zp[x] - v) > 0.5);
        look[x] = static_cast<unsigned char>((in[x] != 0) & (v - v == 0.0) & (outside | steep));
    }
}

}  // namespace

long long alignCycleOutliers(Dims d, std::span<double> unwrapped,
                             std::span<const unsigned char> inside) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (unwrapped.size() != n || inside.size() != n) return -1;
    long long moved = 0;
    double around[26];
    const std::size_t row = static_cast<std::size_t>(d.x), plane = row * d.y;
    const std::size_t rows = static_cast<std::size_t>(d.y) * static_cast<std::size_t>(d.z);
    std::vector<unsigned char> look(n), rowLooks(rows);
    for (int sweep = 0; sweep < kSweeps; ++sweep) {
        // Which voxels are worth examining as the sweep starts, found on every core, and which
        // rows hold any. The sweep itself runs in storage order, each move seen by the voxels
        // after it; a move can make only its later face neighbours worth examining, so those
        // are marked as it happens, and every mark is checked again when the sweep reaches it.
        shareOut(d.z, plane, [&](unsigned, long long first, long long end) {
            for (auto z = static_cast<int>(first); z < end; ++z)
                for (int y = 0; y < d.y; ++y) {
                    const std::size_t c = d.index(0, y, z), r = c / row;
                    const unsigned char* in = inside.data() + c;
                    rowLooks[r] = 0;
                    if (std::all_of(in, in + d.x, [](unsigned char v) { return v == 0; })) {
                        std::fill_n(look.data() + c, d.x, 0);
                        continue;
                    }
                    const std::ptrdiff_t offset[4] = {
                        y > 0 ? -static_cast<std::ptrdiff_t>(row) : 0,
                        y + 1 < d.y ? static_cast<std::ptrdiff_t>(row) : 0,
                        z > 0 ? -static_cast<std::ptrdiff_t>(plane) : 0,
                        z + 1 < d.z ? static_cast<std::ptrdiff_t>(plane) : 0};
                    const double* near[4];
                    const unsigned char* nearIn[4];
                    for (int q = 0; q < 4; ++q) {
                        near[q] = unwrapped.data() + c + offset[q];
                        nearIn[q] = in + offset[q];
                    }
                    examineRow(unwrapped.data() + c, in, near, nearIn, d.x, look.data() + c);
                    for (const int x : {0, d.x - 1})
                        look[c + static_cast<std::size_t>(x)] =
                            inside[c + x] != 0 && std::isfinite(unwrapped[c + x]) &&
                            worthExamining(d, unwrapped, inside, x, y, z);
                    rowLooks[r] = std::any_of(look.data() + c, look.data() + c + d.x,
                                              [](unsigned char v) { return v != 0; });
                }
        });
        long long movedNow = 0;
        for (int z = 0; z < d.z; ++z)
            for (int y = 0; y < d.y; ++y) {
                const std::size_t r =
                    static_cast<std::size_t>(y) + static_cast<std::size_t>(z) * d.y;
                if (rowLooks[r] == 0) continue;
                for (int x = 0; x < d.x; ++x) {
                    const std::size_t c = d.index(x, y, z);
                    if (look[c] == 0) continue;
                    if (!worthExamining(d, unwrapped, inside, x, y, z)) continue;
                    // The median moves the voxel only when some neighbour lies more than half
                    // a cycle away; the usual voxel at the rim of the mask has none.
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
                    const auto mark = [&](std::size_t q) {
                        if (inside[q] != 0 && std::isfinite(unwrapped[q])) {
                            look[q] = 1;
                            rowLooks[q / row] = 1;
                        }
                    };
                    if (x + 1 < d.x) mark(c + 1);
                    if (y + 1 < d.y) mark(c + row);
                    if (z + 1 < d.z) mark(c + plane);
                }
            }
        moved += movedNow;
        if (movedNow == 0) break;
    }
    return moved;
}

}  // namespace ondrift
