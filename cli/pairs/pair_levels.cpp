#include "cli/pairs/pair_levels.h"

#include <algorithm>
#include <cmath>

namespace ondrift::pairs {

Factors levelFactors(const Grid& g, double mm) {
    Factors f{1, 1, 1};
    for (int a = 0; a < 3; ++a) {
        if (!(mm > 0) || !(g.voxelMm[a] > 0)) continue;
        const int wanted = static_cast<int>(std::lround(mm / g.voxelMm[a]));
        f[a] = std::clamp(wanted, 1, std::max(1, g.dims[a] / 4));
    }
    return f;
}

Grid coarsen(const Grid& g, const Factors& f) {
    Grid c;
    for (int a = 0; a < 3; ++a) {
        c.dims[a] = (g.dims[a] + f[a] - 1) / f[a];
        c.voxelMm[a] = g.voxelMm[a] * f[a];
    }
    return c;
}

std::vector<double> blockAverage(std::span<const float> image, const Grid& fine, const Factors& f) {
    const Grid c = coarsen(fine, f);
    std::vector<double> sum(c.voxels(), 0.0);
    std::vector<int> count(c.voxels(), 0);
    const int nx = fine.dims[0], ny = fine.dims[1], nz = fine.dims[2];
    for (int z = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            const std::size_t row = (static_cast<std::size_t>(z) * ny + y) * nx;
            const std::size_t crow =
                (static_cast<std::size_t>(z / f[2]) * c.dims[1] + y / f[1]) * c.dims[0];
            for (int x = 0; x < nx; ++x) {
                sum[crow + x / f[0]] += image[row + x];
                ++count[crow + x / f[0]];
            }
        }
    }
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] /= std::max(count[i], 1);
    return sum;
}

namespace {

struct Tap {
    int lo, hi;
    double w;  ///< weight of hi
};

// Along one axis: where the centre of voxel x of the level `to` lies between the block centres
// of the level `from`.
std::vector<Tap> taps(int imageDim, int from, int to) {
    const int fineDim = (imageDim + to - 1) / to;
    const int coarseDim = (imageDim + from - 1) / from;
    std::vector<Tap> t(static_cast<std::size_t>(fineDim));
    for (int x = 0; x < fineDim; ++x) {
        const double pos = (x + 0.5) * to - 0.5;  // in image voxels
        double c = (pos + 0.5) / from - 0.5;      // in blocks of `from`
        c = std::clamp(c, 0.0, static_cast<double>(coarseDim - 1));
        const int lo = std::min(static_cast<int>(c), std::max(coarseDim - 2, 0));
        const int hi = std::min(lo + 1, coarseDim - 1);
        t[static_cast<std::size_t>(x)] = {lo, hi, c - lo};
    }
    return t;
}

}  // namespace

std::vector<double> carryField(std::span<const double> field, const Grid& image,
                               const Factors& from, const Factors& to) {
    const Grid cg = coarsen(image, from);
    const Grid fg = coarsen(image, to);
    const auto tx = taps(image.dims[0], from[0], to[0]);
    const auto ty = taps(image.dims[1], from[1], to[1]);
    const auto tz = taps(image.dims[2], from[2], to[2]);
    const std::size_t cnx = static_cast<std::size_t>(cg.dims[0]);
    const std::size_t cnxy = cnx * static_cast<std::size_t>(cg.dims[1]);
    std::vector<double> out(fg.voxels());
    std::size_t i = 0;
    for (const Tap& z : tz) {
        for (const Tap& y : ty) {
            for (const Tap& x : tx) {
                auto at = [&](int xx, int yy, int zz) {
                    return field[static_cast<std::size_t>(zz) * cnxy +
                                 static_cast<std::size_t>(yy) * cnx + static_cast<std::size_t>(xx)];
                };
                auto alongX = [&](int yy, int zz) {
                    return (1 - x.w) * at(x.lo, yy, zz) + x.w * at(x.hi, yy, zz);
                };
                auto alongY = [&](int zz) {
                    return (1 - y.w) * alongX(y.lo, zz) + y.w * alongX(y.hi, zz);
                };
                out[i++] = (1 - z.w) * alongY(z.lo) + z.w * alongY(z.hi);
            }
        }
    }
    return out;
}

}  // namespace ondrift::pairs
