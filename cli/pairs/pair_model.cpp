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
    for (std::size_t l = 0; l < lines.count; ++l) {
        const std::size_t base = lines.base(l);
        const double* a = p.plus.data() + base;
        const double* b = p.minus.data() + base;
        for (int y = 0; y < n; ++y) {
            const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
            const std::size_t ip =
                base + static_cast<std::size_t>(std::min(y + 1, n - 1)) * lines.stride;
            const std::size_t im =
                base + static_cast<std::size_t>(std::max(y - 1, 0)) * lines.stride;
            const double d = 0.5 * (f[ip] - f[im]);
            const double sa = p.plusPerHz * f[i], da = p.plusPerHz * d;
            const double sb = p.minusPerHz * f[i], db = p.minusPerHz * d;
            const Sample va = sampleLine(a, lines.stride, n, y + sa);
            const Sample vb = sampleLine(b, lines.stride, n, y - sb);
            const double r = va.value * (1 + da) - vb.value * (1 - db);
            const double g = p.plusPerHz * va.slope * (1 + da) + p.minusPerHz * vb.slope * (1 - db);
            const double h = 0.5 * (p.plusPerHz * va.value + p.minusPerHz * vb.value);
            visit(i, r, g, h, ip, im, va.value * (1 + da), vb.value * (1 - db));
        }
    }
}

}  // namespace

Lines::Lines(const Grid& g, int axis)
    : count(g.voxels() / static_cast<std::size_t>(std::max(g.dims[axis], 1))),
      stride(strideOf(g, axis)),
      length(g.dims[axis]) {}

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

template <typename Visit>
void forEachStencil(const LevelPair& p, Visit&& visit) {
    const Lines lines(p.grid, p.axis);
    const int n = lines.length;
    for (std::size_t l = 0; l < lines.count; ++l) {
        const std::size_t base = lines.base(l);
        for (int y = 0; y < n; ++y) {
            const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
            const std::size_t ip =
                base + static_cast<std::size_t>(std::min(y + 1, n - 1)) * lines.stride;
            const std::size_t im =
                base + static_cast<std::size_t>(std::max(y - 1, 0)) * lines.stride;
            visit(i, ip, im);
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

namespace {

template <typename Visit>
void forEachNeighbourPair(const Grid& g, Visit&& visit) {
    for (int axis = 0; axis < 3; ++axis) {
        if (g.dims[axis] < 2) continue;
        const double w = 1.0 / (g.voxelMm[axis] * g.voxelMm[axis]);
        const Lines lines(g, axis);
        for (std::size_t l = 0; l < lines.count; ++l) {
            const std::size_t base = lines.base(l);
            for (int y = 0; y + 1 < lines.length; ++y) {
                const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
                visit(i, i + lines.stride, w);
            }
        }
    }
}

template <typename Visit>
void forEachNeighbourTriple(const Grid& g, Visit&& visit) {
    for (int axis = 0; axis < 3; ++axis) {
        if (g.dims[axis] < 3) continue;
        const double h2 = g.voxelMm[axis] * g.voxelMm[axis];
        const double w = 1.0 / (h2 * h2);
        const Lines lines(g, axis);
        for (std::size_t l = 0; l < lines.count; ++l) {
            const std::size_t base = lines.base(l);
            for (int y = 1; y + 1 < lines.length; ++y) {
                const std::size_t i = base + static_cast<std::size_t>(y) * lines.stride;
                visit(i - lines.stride, i, i + lines.stride, w);
            }
        }
    }
}

}  // namespace

double roughness(const Grid& g, const Roughness& r, std::span<const double> field) {
    double sum = 0;
    if (r.membrane > 0) {
        forEachNeighbourPair(g, [&](std::size_t i, std::size_t j, double w) {
            const double d = field[i] - field[j];
            sum += r.membrane * w * d * d;
        });
    }
    if (r.bendingMm2 > 0) {
        forEachNeighbourTriple(g, [&](std::size_t a, std::size_t b, std::size_t c, double w) {
            const double d = field[a] - 2 * field[b] + field[c];
            sum += r.bendingMm2 * w * d * d;
        });
    }
    return sum;
}

void applyRoughness(const Grid& g, const Roughness& r, std::span<const double> v,
                    std::span<double> w) {
    std::fill(w.begin(), w.end(), 0.0);
    if (r.membrane > 0) {
        forEachNeighbourPair(g, [&](std::size_t i, std::size_t j, double wt) {
            const double d = r.membrane * wt * (v[i] - v[j]);
            w[i] += d;
            w[j] -= d;
        });
    }
    if (r.bendingMm2 > 0) {
        forEachNeighbourTriple(g, [&](std::size_t a, std::size_t b, std::size_t c, double wt) {
            const double d = r.bendingMm2 * wt * (v[a] - 2 * v[b] + v[c]);
            w[a] += d;
            w[b] -= 2 * d;
            w[c] += d;
        });
    }
}

void roughnessDiagonal(const Grid& g, const Roughness& r, std::span<double> diag) {
    std::fill(diag.begin(), diag.end(), 0.0);
    if (r.membrane > 0) {
        forEachNeighbourPair(g, [&](std::size_t i, std::size_t j, double w) {
            diag[i] += r.membrane * w;
            diag[j] += r.membrane * w;
        });
    }
    if (r.bendingMm2 > 0) {
        forEachNeighbourTriple(g, [&](std::size_t a, std::size_t b, std::size_t c, double w) {
            diag[a] += r.bendingMm2 * w;
            diag[b] += 4 * r.bendingMm2 * w;
            diag[c] += r.bendingMm2 * w;
        });
    }
}

}  // namespace ondrift::pairs
