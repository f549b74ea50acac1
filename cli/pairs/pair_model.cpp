#include "cli/pairs/pair_model.h"

#include <algorithm>
#include <cmath>

namespace ondrift::pairs {

namespace {

std::size_t strideOf(const Grid& g, int axis) {
    std::size_t s = 1;
    for (int a = 0; a < axis; ++a) s *= static_cast<std::size_t>(g.dims[a]);
    return s;
}

struct Sample {
    double value;
    double slope;
};

// Catmull-Rom along a line: its slope is continuous, so the Gauss-Newton steps do not jump as
// they would on the kinks of linear interpolation. Beyond the ends the edge value holds.
Sample sampleLine(const double* line, std::size_t stride, int n, double t) {
    bool outside = false;
    // Written so that a position that is not a number ends at the first voxel, never in a cast.
    if (!(t > 0)) {
        t = 0;
        outside = true;
    } else if (t >= n - 1) {
        t = n - 1;
        outside = true;
    }
    const int i = std::min(static_cast<int>(t), std::max(n - 2, 0));
    const double u = t - i;
    auto at = [&](int k) {
        return line[static_cast<std::size_t>(std::clamp(k, 0, n - 1)) * stride];
    };
    const double p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
    const double c1 = p2 - p0;
    const double c2 = 2 * p0 - 5 * p1 + 4 * p2 - p3;
    const double c3 = 3 * (p1 - p2) + p3 - p0;
    Sample s;
    s.value = p1 + 0.5 * u * (c1 + u * (c2 + u * c3));
    s.slope = outside ? 0.0 : 0.5 * c1 + u * (c2 + 1.5 * u * c3);
    return s;
}

/// Calls visit(index, residual, g, h, iNext, iPrev) for every voxel.
template <typename Visit>
void forEachResidual(const LevelPair& p, std::span<const double> f, Visit&& visit) {
    const Lines lines(p.grid, p.axis);
    const int n = lines.length;
    const std::size_t s = lines.stride;
    // Block by block in the order of memory (see forEachStencil): along k the lines lie a
    // plane apart, and line by line every sample would miss the cache.
    for (std::size_t o = 0; o < lines.count / s; ++o) {
        for (int y = 0; y < n; ++y) {
            const std::size_t up = y + 1 < n ? s : 0;
            const std::size_t down = y > 0 ? s : 0;
            for (std::size_t k = 0; k < s; ++k) {
                const std::size_t base = o * static_cast<std::size_t>(n) * s + k;
                const std::size_t i = base + static_cast<std::size_t>(y) * s;
                const std::size_t ip = i + up, im = i - down;
                const double d = 0.5 * (f[ip] - f[im]);
                const double sa = p.plusPerHz * f[i], da = p.plusPerHz * d;
                const double sb = p.minusPerHz * f[i], db = p.minusPerHz * d;
                const Sample va = sampleLine(p.plus.data() + base, s, n, y + sa);
                const Sample vb = sampleLine(p.minus.data() + base, s, n, y - sb);
                const double w = p.weight.empty() ? 1.0 : p.weight[i];
                const double r = w * (va.value * (1 + da) - vb.value * (1 - db));
                const double g =
                    w * (p.plusPerHz * va.slope * (1 + da) + p.minusPerHz * vb.slope * (1 - db));
                const double h = w * 0.5 * (p.plusPerHz * va.value + p.minusPerHz * vb.value);
                visit(i, r, g, h, ip, im, va.value * (1 + da), vb.value * (1 - db));
            }
        }
    }
}

}  // namespace

Lines::Lines(const Grid& g, int axis)
    : count(g.voxels() / static_cast<std::size_t>(std::max(g.dims[axis], 1))),
      stride(strideOf(g, axis)),
      length(g.dims[axis]) {}

void reweight(LevelPair& pair, std::span<const double> field, double compressed) {
    const std::size_t n = pair.grid.voxels();
    pair.weight.assign(n, 1.0);
    const Lines lines(pair.grid, pair.axis);
    const int len = lines.length;
    for (std::size_t l = 0; l < lines.count; ++l) {
        const std::size_t base = lines.base(l);
        for (int y = 0; y < len; ++y) {
            const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
            const double ta = y + pair.plusPerHz * field[i];
            const double tb = y - pair.minusPerHz * field[i];
            // Down to nothing over the last voxel before the edge, so that the weight follows
            // the field without a jump.
            const double inside = std::min({ta, len - 1 - ta, tb, len - 1 - tb});
            pair.weight[i] = std::isfinite(inside) ? std::clamp(inside, 0.0, 1.0) : 0.0;
            if (compressed > 0) {
                const std::size_t ip =
                    base + static_cast<std::size_t>(std::min(y + 1, len - 1)) * lines.stride;
                const std::size_t im =
                    base + static_cast<std::size_t>(std::max(y - 1, 0)) * lines.stride;
                const double d = 0.5 * (field[ip] - field[im]);
                const double c = std::min(1 + pair.plusPerHz * d, 1 - pair.minusPerHz * d);
                pair.weight[i] *= std::clamp(c / compressed, 0.0, 1.0);
            }
        }
    }
}

void unwarpPair(const LevelPair& pair, std::span<const double> field, std::span<double> plus,
                std::span<double> minus) {
    forEachResidual(
        pair, field,
        [&](std::size_t i, double, double, double, std::size_t, std::size_t, double a, double b) {
            plus[i] = a;
            minus[i] = b;
        });
}

double pairMisfit(const LevelPair& pair, std::span<const double> field) {
    double sum = 0;
    forEachResidual(pair, field,
                    [&](std::size_t, double r, double, double, std::size_t, std::size_t, double,
                        double) { sum += r * r; });
    return 0.5 * sum;
}

void linearise(const LevelPair& pair, std::span<const double> field, Linearisation& out) {
    const std::size_t n = pair.grid.voxels();
    out.residual.resize(n);
    out.g.resize(n);
    out.h.resize(n);
    double sum = 0;
    forEachResidual(
        pair, field,
        [&](std::size_t i, double r, double g, double h, std::size_t, std::size_t, double, double) {
            out.residual[i] = r;
            out.g[i] = g;
            out.h[i] = h;
            sum += r * r;
        });
    out.misfit = 0.5 * sum;
}

namespace {

// In the order of memory: each step along the axis takes a whole contiguous block (a row or a
// plane) of `stride` voxels, rather than one scattered line after another.
template <typename Visit>
void forEachStencil(const LevelPair& p, Visit&& visit) {
    const Lines lines(p.grid, p.axis);
    const auto n = static_cast<std::size_t>(lines.length);
    const std::size_t s = lines.stride;
    const std::size_t outer = lines.count / s;
    for (std::size_t o = 0; o < outer; ++o) {
        for (std::size_t y = 0; y < n; ++y) {
            const std::size_t row = (o * n + y) * s;
            const std::size_t up = y + 1 < n ? s : 0;
            const std::size_t down = y > 0 ? s : 0;
            for (std::size_t k = row; k < row + s; ++k) visit(k, k + up, k - down);
        }
    }
}

}  // namespace

void applyJacobian(const Linearisation& lin, const LevelPair& pair, std::span<const double> v,
                   std::span<double> u) {
    forEachStencil(pair, [&](std::size_t i, std::size_t ip, std::size_t im) {
        u[i] = lin.g[i] * v[i] + lin.h[i] * (v[ip] - v[im]);
    });
}

void applyJacobianTransposed(const Linearisation& lin, const LevelPair& pair,
                             std::span<const double> u, std::span<double> w) {
    std::fill(w.begin(), w.end(), 0.0);
    forEachStencil(pair, [&](std::size_t i, std::size_t ip, std::size_t im) {
        w[i] += lin.g[i] * u[i];
        w[ip] += lin.h[i] * u[i];
        w[im] -= lin.h[i] * u[i];
    });
}

void jacobianDiagonal(const Linearisation& lin, const LevelPair& pair, std::span<double> diag) {
    std::fill(diag.begin(), diag.end(), 0.0);
    forEachStencil(pair, [&](std::size_t i, std::size_t ip, std::size_t im) {
        // Coefficients of one residual, merged where a clamped neighbour is the voxel itself.
        double ci = lin.g[i], cp = lin.h[i], cm = -lin.h[i];
        if (ip == i) {
            ci += cp;
            cp = 0;
        }
        if (im == i) {
            ci += cm;
            cm = 0;
        }
        diag[i] += ci * ci;
        diag[ip] += cp * cp;
        diag[im] += cm * cm;
    });
}

}  // namespace ondrift::pairs
