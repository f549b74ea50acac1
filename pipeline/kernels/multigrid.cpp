#include "pipeline/kernels/multigrid.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ondrift {

namespace {

// Circular neighbours: an axis of extent 1 is its own neighbour on both sides.
inline int lowerOf(int q, int n) { return q == 0 ? n - 1 : q - 1; }
inline int upperOf(int q, int n) { return q == n - 1 ? 0 : q + 1; }

inline std::size_t sz(int v) { return static_cast<std::size_t>(v); }

// One output sample of an axis resampled from nIn to nOut: the three input indices it reads
// and their weights, in the order lower, centre, upper.
struct Sample {
    int lower;
    int centre;
    int upper;
    double w0;
    double w1;
    double w2;
};

inline Sample placeSample(int q, int nIn, int nOut) {
    const double x = (q + 0.5) * (static_cast<double>(nIn) / static_cast<double>(nOut)) - 0.5;
    const int c = static_cast<int>(std::floor(x + 0.5));
    // The weights take the unwrapped neighbour positions; only the indices wrap.
    Sample s;
    s.centre = c;
    s.lower = lowerOf(c, nIn);
    s.upper = upperOf(c, nIn);
    s.w0 = bspline2_weight(static_cast<double>(c - 1) - x);
    s.w1 = bspline2_weight(static_cast<double>(c) - x);
    s.w2 = bspline2_weight(static_cast<double>(c + 1) - x);
    return s;
}

struct Stencil {
    double wc;
    double wx;
    double wy;
    double wz;
};

inline Stencil stencilOf(const LevelParams& p) {
    Stencil s;
    s.wc = p.lambda * (2 * p.s0 * p.s0 + 2 * p.s1 * p.s1 + 2 * p.s2 * p.s2) + p.mu;
    s.wx = -p.lambda * p.s0 * p.s0;
    s.wy = -p.lambda * p.s1 * p.s1;
    s.wz = -p.lambda * p.s2 * p.s2;
    return s;
}

// The row of voxel (·, j, k) and the rows of its four y and z neighbours.
struct RowSet {
    std::size_t row;
    std::size_t zm;
    std::size_t zp;
    std::size_t ym;
    std::size_t yp;
};

inline RowSet rowsOf(Dims d, int j, int k) {
    const int jm = lowerOf(j, d.y);
    const int jp = upperOf(j, d.y);
    const int km = lowerOf(k, d.z);
    const int kp = upperOf(k, d.z);
    return {d.index(0, j, k), d.index(0, j, km), d.index(0, j, kp), d.index(0, jm, k),
            d.index(0, jp, k)};
}

bool extentsAccepted(Dims d) {
    const auto ok = [](int n) { return n >= 1 && n <= kMaxGridExtent; };
    return ok(d.x) && ok(d.y) && ok(d.z);
}

int halved(int n) { return static_cast<int>(std::ceil(n / 2.0)); }

}  // namespace

double bspline2_weight(double x) {
    const double t = std::fabs(x);
    if (t < 0.5) return 0.75 - t * t;
    if (t < 1.5) return 0.5 * (1.5 - t) * (1.5 - t);
    return 0.0;
}

void zero_values(std::size_t n, double* x) { std::fill(x, x + n, 0.0); }

void copy_values(std::size_t n, const double* x, double* y) { std::copy(x, x + n, y); }

void add_values(std::size_t n, double* x, const double* y) {
    for (std::size_t v = 0; v < n; ++v) x[v] += y[v];
}

bool buildGridLevels(Dims d, const LevelParams& param, GridLevels& levels) {
    levels = GridLevels{};
    if (!extentsAccepted(d)) return false;
    levels.dims[0] = d;
    levels.params[0] = param;
    int count = 1;
    for (int l = 1; l < kMaxGridLevels; ++l) {
        const Dims prev = levels.dims[sz(l - 1)];
        const Dims next{halved(prev.x), halved(prev.y), halved(prev.z)};
        levels.dims[sz(l)] = next;
        LevelParams p = param;
        p.s0 = param.s0 * next.x / d.x;
        p.s1 = param.s1 * next.y / d.y;
        p.s2 = param.s2 * next.z / d.z;
        levels.params[sz(l)] = p;
        count = l + 1;
        if (next.x < 2 && next.y < 2 && next.z < 2) break;
    }
    levels.count = count;
    return true;
}

std::int64_t fmg_scratch_size(Dims d) {
    GridLevels levels;
    if (!buildGridLevels(d, LevelParams{}, levels)) return -1;
    const Dims d0 = levels.dims[0];
    const Dims d1 = levels.dims[1];
    const auto m0 = static_cast<std::int64_t>(d0.voxels());
    const std::int64_t w = 3 * std::int64_t{d0.x} * d0.y +
                           std::max(std::int64_t{d0.x} * d1.y, std::int64_t{d1.x} * d0.y);
    std::int64_t s = 0;
    for (int l = 1; l < levels.count; ++l)
        s += static_cast<std::int64_t>(levels.dims[sz(l)].voxels());
    return m0 + w + 4 * s;
}

void Ltlf_me(Dims d, const double* u, const LevelParams& param, double* r) {
    const Stencil w = stencilOf(param);
    const int nx = d.x;
    for (int k = 0; k < d.z; ++k) {
        for (int j = 0; j < d.y; ++j) {
            const RowSet rs = rowsOf(d, j, k);
            const double* c = u + rs.row;
            const double* zm = u + rs.zm;
            const double* zp = u + rs.zp;
            const double* ym = u + rs.ym;
            const double* yp = u + rs.yp;
            double* out = r + rs.row;
            const auto at = [&](int i, int im, int ip) {
                out[i] = w.wc * c[i] + w.wz * (zm[i] + zp[i]) + w.wy * (ym[i] + yp[i]) +
                         w.wx * (c[im] + c[ip]);
            };
            // Only the first and last column wrap; the columns between need no index checks.
            at(0, lowerOf(0, nx), upperOf(0, nx));
            for (int i = 1; i < nx - 1; ++i) at(i, i - 1, i + 1);
            if (nx > 1) at(nx - 1, nx - 2, 0);
        }
    }
}

void add_product(Dims d, const double* a, const double* u, double* r) {
    const std::size_t n = d.voxels();
    for (std::size_t v = 0; v < n; ++v) r[v] += a[v] * u[v];
}

void apply_system(Dims d, const double* a, const LevelParams& param, const double* u, double* r) {
    Ltlf_me(d, u, param, r);
    add_product(d, a, u, r);
}

void relax(Dims d, const double* a, const double* b, const LevelParams& param, int nit, double* u) {
    const Stencil w = stencilOf(param);
    const int nx = d.x;
    for (int t = 0; t < 2 * nit; ++t) {
        const int k0 = t % 2;
        for (int k = 0; k < d.z; ++k) {
            const int j0 = (k0 == k % 2) ? 1 : 0;
            for (int j = 0; j < d.y; ++j) {
                const int i0 = (j0 == j % 2) ? 1 : 0;
                const RowSet rs = rowsOf(d, j, k);
                double* c = u + rs.row;
                const double* zm = u + rs.zm;
                const double* zp = u + rs.zp;
                const double* ym = u + rs.ym;
                const double* yp = u + rs.yp;
                const double* ar = a + rs.row;
                const double* br = b + rs.row;
                const auto update = [&](int i, int im, int ip) {
                    c[i] = (br[i] - (w.wz * (zm[i] + zp[i]) + w.wy * (ym[i] + yp[i]) +
                                     w.wx * (c[im] + c[ip]))) /
                           (ar[i] + w.wc);
                };
                // Only the first and last column wrap; the columns between need no checks.
                int i = i0;
                if (i == 0) {
                    update(0, lowerOf(0, nx), upperOf(0, nx));
                    i = 2;
                }
                for (; i < nx - 1; i += 2) update(i, i - 1, i + 1);
                if (i == nx - 1) update(i, lowerOf(i, nx), upperOf(i, nx));
            }
        }
    }
}

void resized_plane(Dims in, const double* f, Dims out, double* g, double* work) {
    const int nxIn = in.x;
    for (int j = 0; j < out.y; ++j) {
        const Sample s = placeSample(j, in.y, out.y);
        const double* lo = f + sz(s.lower) * sz(nxIn);
        const double* ce = f + sz(s.centre) * sz(nxIn);
        const double* up = f + sz(s.upper) * sz(nxIn);
        double* row = work + sz(j) * sz(nxIn);
        for (int i = 0; i < nxIn; ++i) row[i] = s.w0 * lo[i] + s.w1 * ce[i] + s.w2 * up[i];
    }
    for (int i = 0; i < out.x; ++i) {
        const Sample s = placeSample(i, nxIn, out.x);
        for (int r = 0; r < out.y; ++r) {
            const double* row = work + sz(r) * sz(nxIn);
            g[sz(i) + sz(r) * sz(out.x)] =
                s.w0 * row[s.lower] + s.w1 * row[s.centre] + s.w2 * row[s.upper];
        }
    }
}

std::size_t resizeWorkSize(Dims in, Dims out) {
    return 3 * sz(out.x) * sz(out.y) + sz(in.x) * sz(out.y);
}

void resize(Dims in, const double* f, Dims out, double* g, double* work) {
    const std::size_t planeIn = sz(in.x) * sz(in.y);
    const std::size_t planeOut = sz(out.x) * sz(out.y);
    double* p0 = work;
    double* p1 = work + planeOut;
    double* p2 = work + 2 * planeOut;
    double* planeWork = work + 3 * planeOut;
    const auto resample = [&](int slice, double* into) {
        resized_plane(in, f + sz(slice) * planeIn, out, into, planeWork);
    };
    // Consecutive output slices mostly share input slices; keep the three last resampled
    // ones and resample only what the advancing centre newly needs.
    int remembered = -999999;
    for (int k = 0; k < out.z; ++k) {
        const Sample s = placeSample(k, in.z, out.z);
        if (s.centre == remembered) {
            // all three are in place
        } else if (s.centre == remembered + 1) {
            double* oldP0 = p0;
            p0 = p1;
            p1 = p2;
            p2 = oldP0;
            resample(s.upper, p2);
        } else if (s.centre == remembered + 2) {
            std::swap(p0, p2);
            resample(s.centre, p1);
            resample(s.upper, p2);
        } else {
            resample(s.lower, p0);
            resample(s.centre, p1);
            resample(s.upper, p2);
        }
        double* slice = g + sz(k) * planeOut;
        for (std::size_t v = 0; v < planeOut; ++v) {
            slice[v] = s.w0 * p0[v] + s.w1 * p1[v] + s.w2 * p2[v];
        }
        remembered = s.centre;
    }
}

bool fmg_solve(Dims d, std::span<const double> a, std::span<const double> b,
               const LevelParams& param, int c, int nit, std::span<double> u,
               std::span<double> scratch) {
    // 1. Levels and the scratch layout.
    GridLevels lv;
    if (!buildGridLevels(d, param, lv)) return false;
    const std::int64_t need = fmg_scratch_size(d);
    const std::size_t m0 = d.voxels();
    if (a.size() < m0 || b.size() < m0 || u.size() < m0 ||
        scratch.size() < static_cast<std::size_t>(need)) {
        return false;
    }
    const int nLevels = lv.count;
    std::array<std::size_t, kMaxGridLevels> m{};
    std::size_t total = 0;
    for (int l = 0; l < nLevels; ++l) {
        m[sz(l)] = lv.dims[sz(l)].voxels();
        if (l > 0) total += m[sz(l)];
    }
    const Dims d1 = lv.dims[1];
    const std::size_t workSize =
        3 * sz(d.x) * sz(d.y) + std::max(sz(d.x) * sz(d1.y), sz(d1.x) * sz(d.y));

    double* residual = scratch.data();
    double* work = residual + m0;
    double* levelBase = work + workSize;

    std::array<double*, kMaxGridLevels> bo{};
    std::array<double*, kMaxGridLevels> bw{};
    std::array<double*, kMaxGridLevels> uw{};
    std::array<double*, kMaxGridLevels> aw{};
    std::size_t offset = 0;
    for (int l = 1; l < nLevels; ++l) {
        bo[sz(l)] = levelBase + offset;
        bw[sz(l)] = levelBase + total + offset;
        uw[sz(l)] = levelBase + 2 * total + offset;
        aw[sz(l)] = levelBase + 3 * total + offset;
        offset += m[sz(l)];
    }
    uw[0] = u.data();
    // Level 0 reads the caller's arrays, which are never written.
    const auto boOf = [&](int l) -> const double* { return l == 0 ? b.data() : bo[sz(l)]; };
    const auto bOf = [&](int l) -> const double* { return l == 0 ? b.data() : bw[sz(l)]; };
    const auto aOf = [&](int l) -> const double* { return l == 0 ? a.data() : aw[sz(l)]; };
    const auto dimsOf = [&](int l) { return lv.dims[sz(l)]; };
    const int last = nLevels - 1;

    // 3. Carry the right-hand side and the diagonal down the hierarchy.
    for (int l = 1; l < nLevels; ++l) {
        resize(dimsOf(l - 1), boOf(l - 1), dimsOf(l), bo[sz(l)], work);
        resize(dimsOf(l - 1), aOf(l - 1), dimsOf(l), aw[sz(l)], work);
    }

    // 4. The coarsest level is 1×1×1, where the stencil reduces to mu.
    uw[sz(last)][0] = boOf(last)[0] / (aOf(last)[0] + param.mu);

    // 5. Full-multigrid ascent.
    for (int l = last - 1; l >= 0; --l) {
        resize(dimsOf(l + 1), uw[sz(l + 1)], dimsOf(l), uw[sz(l)], work);
        if (l > 0) copy_values(m[sz(l)], bo[sz(l)], bw[sz(l)]);
        for (int cycle = 0; cycle < c; ++cycle) {
            for (int g = l; g <= last - 1; ++g) {
                const Dims dg = dimsOf(g);
                relax(dg, aOf(g), bOf(g), lv.params[sz(g)], nit, uw[sz(g)]);
                apply_system(dg, aOf(g), lv.params[sz(g)], uw[sz(g)], residual);
                const double* bg = bOf(g);
                for (std::size_t v = 0; v < m[sz(g)]; ++v) residual[v] = bg[v] - residual[v];
                resize(dg, residual, dimsOf(g + 1), bw[sz(g + 1)], work);
                zero_values(m[sz(g + 1)], uw[sz(g + 1)]);
            }
            uw[sz(last)][0] = bw[sz(last)][0] / (aOf(last)[0] + param.mu);
            for (int g = last - 1; g >= l; --g) {
                const Dims dg = dimsOf(g);
                resize(dimsOf(g + 1), uw[sz(g + 1)], dg, residual, work);
                add_values(m[sz(g)], uw[sz(g)], residual);
                relax(dg, aOf(g), bOf(g), lv.params[sz(g)], nit, uw[sz(g)]);
            }
        }
    }
    return true;
}

}  // namespace ondrift
