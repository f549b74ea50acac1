#include "cli/report/volume.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

namespace ondrift::cli {

namespace {

// The inverse of an affine whose last row is (0, 0, 0, 1); false when it is singular.
bool invertAffine(const Affine& a, Affine& inverse) {
    const double m00 = a[0], m01 = a[1], m02 = a[2], m10 = a[4], m11 = a[5], m12 = a[6], m20 = a[8],
                 m21 = a[9], m22 = a[10];
    const double c00 = m11 * m22 - m12 * m21, c01 = m02 * m21 - m01 * m22,
                 c02 = m01 * m12 - m02 * m11;
    const double det = m00 * c00 + m10 * c01 + m20 * c02;
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) return false;
    const double r[9] = {c00 / det,
                         c01 / det,
                         c02 / det,
                         (m12 * m20 - m10 * m22) / det,
                         (m00 * m22 - m02 * m20) / det,
                         (m02 * m10 - m00 * m12) / det,
                         (m10 * m21 - m11 * m20) / det,
                         (m01 * m20 - m00 * m21) / det,
                         (m00 * m11 - m01 * m10) / det};
    inverse = Affine{};
    for (int row = 0; row < 3; ++row) {
        double t = 0;
        for (int c = 0; c < 3; ++c) {
            inverse[static_cast<std::size_t>(4 * row + c)] = r[3 * row + c];
            t -= r[3 * row + c] * a[static_cast<std::size_t>(4 * c + 3)];
        }
        inverse[static_cast<std::size_t>(4 * row + 3)] = t;
    }
    inverse[15] = 1;
    return true;
}

}  // namespace

bool Volume::sameGrid(const Volume& other) const {
    if (dims != other.dims) return false;
    for (std::size_t i = 0; i < 12; ++i) {
        if (std::fabs(affine[i] - other.affine[i]) > 1e-3) return false;
    }
    return true;
}

Volume gridOf(const NiftiGeometry& geometry) {
    Volume v;
    v.dims = {geometry.nx(), geometry.ny(), geometry.nz()};
    v.voxelSize = geometry.voxelSize();
    v.affine = geometry.affine();
    return v;
}

Volume firstVolume(const NiftiGeometry& geometry, std::span<const float> series) {
    Volume v = gridOf(geometry);
    const std::size_t n = v.voxels();
    if (n == 0 || series.size() < n) return v;
    v.values.assign(series.begin(), series.begin() + static_cast<std::ptrdiff_t>(n));
    return v;
}

std::vector<float> meanOfVolumes(std::span<const float> series, std::size_t voxels) {
    const std::size_t volumes = voxels > 0 ? series.size() / voxels : 0;
    if (volumes == 0) return {};
    std::vector<double> sum(voxels, 0.0);
    std::vector<float> mean(voxels);
    // Every voxel's sum runs over the volumes in order on one thread, so the mean is the plain
    // loop's whatever the number of threads; the threads share out the voxels.
    const auto range = [&](std::size_t first, std::size_t end) {
        for (std::size_t t = 0; t < volumes; ++t) {
            const float* s = series.data() + t * voxels;
            for (std::size_t i = first; i < end; ++i) sum[i] += s[i];
        }
        for (std::size_t i = first; i < end; ++i) {
            mean[i] = static_cast<float>(sum[i] / static_cast<double>(volumes));
        }
    };
    constexpr std::size_t kWorthAThread = std::size_t{1} << 20;
    const std::size_t threads = series.size() < kWorthAThread
                                    ? 1
                                    : std::clamp<std::size_t>(std::thread::hardware_concurrency(),
                                                              1, std::min<std::size_t>(8, voxels));
    {
        std::vector<std::jthread> workers;
        for (std::size_t w = 1; w < threads; ++w) {
            workers.emplace_back(range, voxels * w / threads, voxels * (w + 1) / threads);
        }
        range(0, voxels / threads);
    }
    return mean;
}

Volume meanVolume(const NiftiGeometry& geometry, std::span<const float> series) {
    Volume v = gridOf(geometry);
    const std::size_t n = v.voxels();
    if (n == 0 || series.size() < n) return v;
    v.values = meanOfVolumes(series, n);
    return v;
}

Volume resampleTo(const Volume& source, const Volume& grid) {
    Volume out = grid;
    out.values.assign(grid.voxels(), 0.0f);
    if (source.empty()) return out;
    if (source.sameGrid(grid)) {
        out.values = source.values;
        return out;
    }
    Affine toSource;
    if (!invertAffine(source.affine, toSource)) return out;
    // Grid voxel → source voxel in one matrix (rows 0…2 of inverse(source) · grid).
    double m[12];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 4; ++c) {
            double s = 0;
            for (int k = 0; k < 4; ++k) {
                s += toSource[static_cast<std::size_t>(4 * r + k)] *
                     grid.affine[static_cast<std::size_t>(4 * k + c)];
            }
            m[4 * r + c] = s;
        }
    }
    const auto& d = source.dims;
    for (int z = 0; z < grid.dims[2]; ++z) {
        for (int y = 0; y < grid.dims[1]; ++y) {
            for (int x = 0; x < grid.dims[0]; ++x) {
                double p[3];
                for (int r = 0; r < 3; ++r) {
                    p[r] = m[4 * r] * x + m[4 * r + 1] * y + m[4 * r + 2] * z + m[4 * r + 3];
                }
                int i0[3];
                double f[3];
                bool inside = true;
                for (int a = 0; a < 3 && inside; ++a) {
                    // A single-voxel axis is sampled within half a voxel of its centre.
                    if (d[a] == 1) {
                        inside = std::fabs(p[a]) <= 0.5;
                        i0[a] = 0;
                        f[a] = 0;
                        continue;
                    }
                    inside = p[a] >= 0 && p[a] <= d[a] - 1;
                    if (!inside) break;
                    i0[a] = std::min(static_cast<int>(std::floor(p[a])), d[a] - 2);
                    f[a] = p[a] - i0[a];
                }
                if (!inside) continue;
                double v = 0;
                for (int corner = 0; corner < 8; ++corner) {
                    double w = 1;
                    int c[3];
                    for (int a = 0; a < 3; ++a) {
                        const int up = (corner >> a) & 1;
                        c[a] = std::min(i0[a] + up, d[a] - 1);
                        w *= up ? f[a] : 1 - f[a];
                    }
                    if (w != 0) v += w * source.at(c[0], c[1], c[2]);
                }
                out.values[out.index(x, y, z)] = static_cast<float>(v);
            }
        }
    }
    return out;
}

Volume slabOf(const Volume& volume, int axis, int index) {
    Volume slab = volume;
    slab.values.clear();
    if (axis < 0 || axis > 2) return slab;
    const int fixed = std::clamp(index, 0, std::max(volume.dims[axis] - 1, 0));
    slab.dims[static_cast<std::size_t>(axis)] = std::min(volume.dims[axis], 1);
    for (int r = 0; r < 3; ++r) {
        const auto row = static_cast<std::size_t>(4 * r);
        slab.affine[row + 3] += slab.affine[row + static_cast<std::size_t>(axis)] * fixed;
    }
    if (volume.empty() || slab.voxels() == 0) return slab;
    slab.values.resize(slab.voxels());
    std::size_t i = 0;
    for (int z = 0; z < slab.dims[2]; ++z) {
        for (int y = 0; y < slab.dims[1]; ++y) {
            int c[3] = {0, y, z};
            c[axis] = axis == 0 ? fixed : c[axis] + fixed;
            const float* row = volume.values.data() + volume.index(c[0], c[1], c[2]);
            if (axis == 0) {
                slab.values[i++] = *row;
            } else {
                std::copy(row, row + slab.dims[0],
                          slab.values.begin() + static_cast<std::ptrdiff_t>(i));
                i += static_cast<std::size_t>(slab.dims[0]);
            }
        }
    }
    return slab;
}

std::size_t replaceNonFinite(std::vector<float>& values) {
    std::size_t n = 0;
    for (float& v : values) {
        if (!std::isfinite(v)) {
            v = 0;
            ++n;
        }
    }
    return n;
}

float percentileOf(std::span<const float> values, double fraction) {
    return percentilesOf(values, {fraction})[0];
}

namespace {

// Finite floats as unsigned keys in the same order (negative values reversed below the
// positive ones), so that their leading bits can sort them into buckets.
std::uint32_t orderKey(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return (u & 0x80000000u) != 0 ? ~u : u | 0x80000000u;
}

}  // namespace

std::vector<float> percentilesOf(std::span<const float> values, std::vector<double> fractions) {
    std::vector<float> result(fractions.size(), 0.0f);
    if (fractions.empty()) return result;
    // The nearest-rank element is found without sorting or copying every value: one pass counts
    // the values per bucket of their leading 16 bits, a second gathers only the buckets that hold
    // a wanted rank, and the element is selected there. The same element as a selection over all
    // values, for a fraction of the time on a whole volume.
    constexpr int kShift = 16;
    std::vector<std::uint32_t> counts(std::size_t{1} << (32 - kShift), 0);
    std::size_t finite = 0;
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        ++counts[orderKey(v) >> kShift];
        ++finite;
    }
    if (finite == 0) return result;
    // Each wanted rank's bucket and its rank inside the bucket.
    struct Wanted {
        std::size_t bucket, rank;
    };
    std::vector<Wanted> wanted(fractions.size());
    std::vector<std::pair<std::size_t, std::size_t>> order;  // (rank, index of fraction)
    for (std::size_t i = 0; i < fractions.size(); ++i) {
        const double clamped = std::clamp(fractions[i], 0.0, 1.0);
        order.emplace_back(
            static_cast<std::size_t>(clamped * static_cast<double>(finite - 1) + 0.5), i);
    }
    std::sort(order.begin(), order.end());
    std::size_t bucket = 0, below = 0;
    for (const auto& [rank, i] : order) {
        while (below + counts[bucket] <= rank) below += counts[bucket++];
        wanted[i] = {bucket, rank - below};
    }
    // The wanted buckets get a slot (counted from 1) in the table of counts, the others 0.
    std::vector<std::size_t> sizes;
    std::vector<std::uint32_t> slotOf(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        std::size_t s = 0;
        while (s < i && wanted[s].bucket != wanted[i].bucket) ++s;
        if (s == i) {
            sizes.push_back(counts[wanted[i].bucket]);
            slotOf[i] = static_cast<std::uint32_t>(sizes.size());
        } else {
            slotOf[i] = slotOf[s];
        }
    }
    std::fill(counts.begin(), counts.end(), 0u);
    for (std::size_t i = 0; i < wanted.size(); ++i) counts[wanted[i].bucket] = slotOf[i];
    std::vector<std::vector<float>> members(sizes.size());
    for (std::size_t m = 0; m < sizes.size(); ++m) members[m].reserve(sizes[m]);
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        const std::uint32_t slot = counts[orderKey(v) >> kShift];
        if (slot != 0) members[slot - 1].push_back(v);
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        std::vector<float>& m = members[slotOf[i] - 1];
        const auto at = m.begin() + static_cast<std::ptrdiff_t>(wanted[i].rank);
        std::nth_element(m.begin(), at, m.end());
        result[i] = *at;
    }
    return result;
}

}  // namespace ondrift::cli
