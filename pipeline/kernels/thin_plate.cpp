#include "pipeline/kernels/thin_plate.h"

#include <algorithm>
#include <cmath>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// Calls slabs(first, end) for ranges of slices on every core: each pass below writes its own
/// rows from what the pass before wrote.
template <class Slabs>
void forSlabs(Dims d, Slabs&& slabs) {
    const std::size_t slice = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    forEachRange(d.z, keptRangeWorkers(d.z, slice), [&](unsigned, long long first, long long end) {
        slabs(static_cast<int>(first), static_cast<int>(end));
    });
}

/// Which of the stencils through a voxel at coordinate `at` of an axis of extent n lie in the
/// grid: the second differences centred below, at and above it, and the mixed differences
/// anchored one below and at it.
struct Reach {
    bool below, at, above, pairBelow, pairAt;
};

Reach reachOf(int at, int n) {
    return {at >= 2, at >= 1 && at <= n - 2, at <= n - 3, at >= 1, at <= n - 2};
}

}  // namespace

int axisExtent(Dims d, int axis) { return axis == 0 ? d.x : (axis == 1 ? d.y : d.z); }

std::ptrdiff_t axisStride(Dims d, int axis) {
    return axis == 0 ? 1 : (axis == 1 ? d.x : static_cast<std::ptrdiff_t>(d.x) * d.y);
}

/// The diagonal of B (the roughness operator below): for every stencil of a second difference in
/// mm, its squared weights times the stencil's share of the integral, summed in the order of
/// the stencils' positions, axes first, then the pairs of axes. Each kind of row is summed once.
void thinPlateDiagonal(Dims d, const Spacing& h, ThinPlateDiagonal& out) {
    const double volume = h[0] * h[1] * h[2];
    std::array<double, 3> axis{}, pair{};
    for (int a = 0; a < 3; ++a) axis[a] = volume / std::pow(h[a], 4);
    constexpr int kPairAxes[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int p = 0; p < 3; ++p) {
        const int a = kPairAxes[p][0], b = kPairAxes[p][1];
        pair[p] = 2 * volume / (h[a] * h[a] * h[b] * h[b]);
    }
    const std::array<bool, 3> axisUsed{d.x >= 3, d.y >= 3, d.z >= 3};
    const std::array<bool, 3> pairUsed{d.x >= 2 && d.y >= 2, d.x >= 2 && d.z >= 2,
                                       d.y >= 2 && d.z >= 2};
    const auto same = [](const Reach& u, const Reach& v) {
        return u.below == v.below && u.at == v.at && u.above == v.above &&
               u.pairBelow == v.pairBelow && u.pairAt == v.pairAt;
    };
    std::vector<std::array<Reach, 2>> found;  // the y and z reach of every kind
    out.width = static_cast<std::size_t>(d.x);
    out.rows.clear();
    out.kinds.assign(static_cast<std::size_t>(d.y) * static_cast<std::size_t>(d.z), 0);
    for (int k = 0; k < d.z; ++k)
        for (int j = 0; j < d.y; ++j) {
            std::array<Reach, 3> r{Reach{}, reachOf(j, d.y), reachOf(k, d.z)};
            std::uint32_t& kind =
                out.kinds[static_cast<std::size_t>(j) +
                          static_cast<std::size_t>(d.y) * static_cast<std::size_t>(k)];
            const auto known = std::find_if(found.begin(), found.end(), [&](const auto& yz) {
                return same(yz[0], r[1]) && same(yz[1], r[2]);
            });
            kind = static_cast<std::uint32_t>(known - found.begin());
            if (known != found.end()) continue;
            found.push_back({r[1], r[2]});
            for (int i = 0; i < d.x; ++i) {
                r[0] = reachOf(i, d.x);
                double sum = 0;
                for (int a = 0; a < 3; ++a) {
                    if (!axisUsed[a]) continue;
                    if (r[a].below) sum += axis[a];
                    if (r[a].at) sum += 4 * axis[a];
                    if (r[a].above) sum += axis[a];
                }
                for (int p = 0; p < 3; ++p) {
                    if (!pairUsed[p]) continue;
                    const Reach &ra = r[kPairAxes[p][0]], &rb = r[kPairAxes[p][1]];
                    if (ra.pairBelow && rb.pairBelow) sum += pair[p];
                    if (ra.pairAt && rb.pairBelow) sum += pair[p];
                    if (ra.pairBelow && rb.pairAt) sum += pair[p];
                    if (ra.pairAt && rb.pairAt) sum += pair[p];
                }
                out.rows.push_back(sum);
            }
        }
}

namespace {

/// The weights of the roughness's terms: per axis, and per pair of axes (xy, xz, yz).
struct Weights {
    double axis[3];
    double pair[3];
};

Weights weightsOf(const Spacing& h, double scale) {
    const double volume = h[0] * h[1] * h[2];
    Weights c{};
    for (int a = 0; a < 3; ++a) c.axis[a] = scale * volume / std::pow(h[a], 4);
    c.pair[0] = 2 * scale * volume / (h[0] * h[0] * h[1] * h[1]);
    c.pair[1] = 2 * scale * volume / (h[0] * h[0] * h[2] * h[2]);
    c.pair[2] = 2 * scale * volume / (h[1] * h[1] * h[2] * h[2]);
    return c;
}

/// The second differences along an axis of stride t through xq, as (B x) takes them at a voxel
/// that reaches them `r`: xq is the upper end, the middle and the lower end of the differences
/// centred below, at and above it.
inline double axisPart(const double* xq, std::ptrdiff_t t, const Reach& r) {
    double part = 0;
    if (r.below) part += xq[-2 * t] - 2 * xq[-t] + xq[0];
    if (r.at) part -= 2 * (xq[-t] - 2 * xq[0] + xq[t]);
    if (r.above) part += xq[0] - 2 * xq[t] + xq[2 * t];
    return part;
}

/// The mixed differences of axes a and b (strides sa, sb) anchored at xq and at its lower
/// neighbours along a, b and both, as far as they lie in the grid.
inline double pairPart(const double* xq, std::ptrdiff_t sa, std::ptrdiff_t sb, const Reach& ra,
                       const Reach& rb) {
    const auto mixed = [&](const double* base) {
        return base[0] - base[sa] - base[sb] + base[sa + sb];
    };
    double part = 0;
    if (ra.pairBelow && rb.pairBelow) part += mixed(xq - sa - sb);
    if (ra.pairBelow && rb.pairAt) part -= mixed(xq - sa);
    if (ra.pairAt && rb.pairBelow) part -= mixed(xq - sb);
    if (ra.pairAt && rb.pairAt) part += mixed(xq);
    return part;
}

/// (B x) at voxel q whose coordinates reach the stencils `r`, each stencil taken only where it
/// lies in the grid (near the faces). The terms are summed in one fixed order whatever the
/// voxel, so that a grid gives the same field on any number of threads.
inline double roughnessAt(const Weights& c, const std::array<bool, 3>& axisUsed,
                          const std::array<bool, 3>& pairUsed,
                          const std::array<std::ptrdiff_t, 3>& s, const double* x, std::size_t q,
                          const std::array<Reach, 3>& r) {
    const double* xq = x + q;
    double sum = 0;
    if (axisUsed[0]) sum += c.axis[0] * axisPart(xq, s[0], r[0]);
    if (axisUsed[1]) sum += c.axis[1] * axisPart(xq, s[1], r[1]);
    if (axisUsed[2]) sum += c.axis[2] * axisPart(xq, s[2], r[2]);
    if (pairUsed[0]) sum += c.pair[0] * pairPart(xq, s[0], s[1], r[0], r[1]);
    if (pairUsed[1]) sum += c.pair[1] * pairPart(xq, s[0], s[2], r[0], r[2]);
    if (pairUsed[2]) sum += c.pair[2] * pairPart(xq, s[1], s[2], r[1], r[2]);
    return sum;
}

/// What a pass of B x makes of out[v] and the stencil's value there.
enum class Put {
    add,       ///< out + value
    weighted,  ///< w x + value
    residual,  ///< w g − (w x + value)
};

template <Put mode>
inline double put(double out, double w, double g, double x, double value) {
    if constexpr (mode == Put::add) return out + value;
    if constexpr (mode == Put::weighted) return w * x + value;
    return w * g - (w * x + value);
}

/// The one 25-point stencil of B away from the faces, over the voxels [from, to) of a row
/// (x, out, w and g start at the row).
template <Put mode>
void innerRow(const double* __restrict x, double* __restrict out, const double* __restrict w,
              const double* __restrict g, std::ptrdiff_t sy, std::ptrdiff_t sz, const Weights c,
              double centre, int from, int to) {
    constexpr std::ptrdiff_t sx = 1;
    const double ax = c.axis[0], ay = c.axis[1], az = c.axis[2];
    const double pxy = c.pair[0], pxz = c.pair[1], pyz = c.pair[2];
    for (int i = from; i < to; ++i) {
        const double* q = x + i;
        const double axes = ax * (q[-2 * sx] - 4 * q[-sx] - 4 * q[sx] + q[2 * sx]) +
                            ay * (q[-2 * sy] - 4 * q[-sy] - 4 * q[sy] + q[2 * sy]) +
                            az * (q[-2 * sz] - 4 * q[-sz] - 4 * q[sz] + q[2 * sz]);
        const double xy = -2 * (q[-sx] + q[sx] + q[-sy] + q[sy]) + q[-sx - sy] + q[sx - sy] +
                          q[-sx + sy] + q[sx + sy];
        const double xz = -2 * (q[-sx] + q[sx] + q[-sz] + q[sz]) + q[-sx - sz] + q[sx - sz] +
                          q[-sx + sz] + q[sx + sz];
        const double yz = -2 * (q[-sy] + q[sy] + q[-sz] + q[sz]) + q[-sy - sz] + q[sy - sz] +
                          q[-sy + sz] + q[sy + sz];
        const double value = centre * q[0] + axes + pxy * xy + pxz * xz + pyz * yz;
        out[i] = put<mode>(out[i], mode == Put::add ? 0 : w[i], mode == Put::residual ? g[i] : 0,
                           q[0], value);
    }
}

}  // namespace

namespace {

/// out += scale · B x, B = Σ Dᵀ D over the second differences in mm (each weighted by its share
/// of the integral: voxel volume over the spacings' product), or the system or its residual
/// made from it in the same pass (`mode`). Away from the grid's faces B is one 25-point
/// stencil, applied in a single pass that reads x once (the operator is bound by memory, and a
/// pass per difference would read and write the grid a dozen times); within two voxels of a
/// face each stencil that leaves the grid is dropped, voxel by voxel.
template <Put mode>
void applyThinPlate(Dims d, const Spacing& h, const double* w, const double* g, const double* x,
                    double* out, double scale) {
    const Weights c = weightsOf(h, scale);
    const std::ptrdiff_t sx = 1, sy = d.x, sz = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const std::array<std::ptrdiff_t, 3> strides{sx, sy, sz};
    const std::array<bool, 3> axisUsed{d.x >= 3, d.y >= 3, d.z >= 3};
    const std::array<bool, 3> pairUsed{d.x >= 2 && d.y >= 2, d.x >= 2 && d.z >= 2,
                                       d.y >= 2 && d.z >= 2};
    const bool interior = d.x >= 5 && d.y >= 5 && d.z >= 5;
    const double centre =
        6 * (c.axis[0] + c.axis[1] + c.axis[2]) + 4 * (c.pair[0] + c.pair[1] + c.pair[2]);
    // The reach along x of every column, found once rather than for every row.
    std::vector<Reach> columns(static_cast<std::size_t>(d.x));
    for (int i = 0; i < d.x; ++i) columns[static_cast<std::size_t>(i)] = reachOf(i, d.x);
    forSlabs(d, [&](int kFirst, int kEnd) {
        for (int k = kFirst; k < kEnd; ++k)
            for (int j = 0; j < d.y; ++j) {
                const std::size_t row = d.index(0, j, k);
                const bool inner = interior && j >= 2 && j <= d.y - 3 && k >= 2 && k <= d.z - 3;
                const int from = inner ? 2 : d.x, to = inner ? d.x - 2 : d.x;
                std::array<Reach, 3> reach{Reach{}, reachOf(j, d.y), reachOf(k, d.z)};
                const auto edge = [&](int i) {
                    const std::size_t v = row + static_cast<std::size_t>(i);
                    reach[0] = columns[static_cast<std::size_t>(i)];
                    out[v] = put<mode>(out[v], mode == Put::add ? 0 : w[v],
                                       mode == Put::residual ? g[v] : 0, x[v],
                                       roughnessAt(c, axisUsed, pairUsed, strides, x, v, reach));
                };
                for (int i = 0; i < std::min(from, d.x); ++i) edge(i);
                innerRow<mode>(x + row, out + row, mode == Put::add ? nullptr : w + row,
                               mode == Put::residual ? g + row : nullptr, sy, sz, c, centre, from,
                               to);
                for (int i = std::max(to, from); i < d.x; ++i) edge(i);
            }
    });
}

}  // namespace

void addThinPlate(Dims d, const Spacing& h, const double* x, double* out, double scale) {
    applyThinPlate<Put::add>(d, h, nullptr, nullptr, x, out, scale);
}

void weightedThinPlate(Dims d, const Spacing& h, const double* w, const double* x, double* out,
                       double scale) {
    applyThinPlate<Put::weighted>(d, h, w, nullptr, x, out, scale);
}

void thinPlateResidual(Dims d, const Spacing& h, const double* w, const double* g, const double* x,
                       double* out, double scale) {
    applyThinPlate<Put::residual>(d, h, w, g, x, out, scale);
}

}  // namespace ondrift
