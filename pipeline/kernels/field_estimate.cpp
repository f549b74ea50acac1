#include "pipeline/kernels/field_estimate.h"

#include "pipeline/kernels/grid_transfer.h"
#include "pipeline/kernels/thin_plate.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// A grid this small solves in microseconds: λ is searched over its whole range there.
constexpr std::size_t kSearchGridVoxels = 4096;
/// Grids up to this size refine λ (a secant step each); larger ones keep it.
constexpr std::size_t kTuningGridVoxels = 40000;
/// λ is searched over this many decades on either side of its scale guess.
constexpr double kSearchDecades = 8.0;
/// The coarsest search stops when its bracket spans less than this factor.
constexpr double kSearchResolution = 1.1;
/// A λ step from one grid to the next is at most this factor (the slope is an estimate).
constexpr double kLargestStep = 10.0;
/// Relative residual at which conjugate gradients stop; well below the noise it smooths.
constexpr double kTolerance = 1e-4;
/// Conjugate-gradient iterations per solve on the coarse grids.
constexpr int kCoarseIterations = 20;
constexpr int kLevelIterations = 5;
/// Random probes of the leverage on the coarsest grid (one on the finer ones), and its cap.
constexpr int kCoarseProbes = 2;
constexpr double kMostLeverage = 0.9;
/// Damped Jacobi sweeps before and after each coarse correction, and their damping.
constexpr int kSweeps = 2;
constexpr double kJacobiDamping = 0.6;

/// One grid of the hierarchy with its aggregated measurement and solution.
struct Level {
    Dims d;
    Spacing h{};
    std::span<const double> w, g;  ///< the weights and the measurement
    std::span<double> f;           ///< the solution: the caller's field on the finest grid
    /// The storage of w, g and f on the coarser grids (and of w and g on the finest when the
    /// caller's hold values that weigh nothing).
    std::vector<double> ownW, ownG, own;
    ThinPlateDiagonal rough{};  ///< the roughness's diagonal, by kind of row
};

int extent(Dims d, int axis) { return axisExtent(d, axis); }

/// out = (W + λ B) x.
void applySystem(const Level& L, double lambda, const double* x, double* out) {
    weightedThinPlate(L.d, L.h, L.w.data(), x, out, lambda);
}

/// `v` with n values, allocated once for all the solves on a grid (what it held is kept).
std::vector<double>& sized(std::vector<double>& v, std::size_t n) {
    if (v.size() != n) v.resize(n);
    return v;
}

/// Median of w (f − g)² over the measured voxels, over the median of χ²₁.
double discrepancy(const Level& L, std::vector<double>& scratch) {
    scratch.clear();
    for (std::size_t v = 0; v < L.w.size(); ++v)
        if (L.w[v] > 0) scratch.push_back(L.w[v] * (L.f[v] - L.g[v]) * (L.f[v] - L.g[v]));
    if (scratch.empty()) return 1;
    return middleValue(scratch) / kChiSquare1Median;
}

/// The next coarser grid: halved along the axes of the finest spacing that still have at least
/// four voxels; measurements summed into weights and weighted means. False when none halves.
bool coarsen(const Level& fine, Level& coarse, std::array<bool, 3>& halved) {
    double finest = 0;
    for (int a = 0; a < 3; ++a)
        if (extent(fine.d, a) >= 4 && (finest == 0 || fine.h[a] < finest)) finest = fine.h[a];
    if (finest == 0) return false;
    std::array<int, 3> n{};
    for (int a = 0; a < 3; ++a) {
        halved[a] = extent(fine.d, a) >= 4 && fine.h[a] < kFinestSpacingRatio * finest;
        n[a] = halved[a] ? (extent(fine.d, a) + 1) / 2 : extent(fine.d, a);
        coarse.h[a] = halved[a] ? 2 * fine.h[a] : fine.h[a];
    }
    coarse.d = Dims{n[0], n[1], n[2]};
    const std::size_t cn = coarse.d.voxels();
    std::vector<double>& w = coarse.ownW;
    std::vector<double>& g = coarse.ownG;
    w.assign(cn, 0.0);
    g.assign(cn, 0.0);
    for (int k = 0; k < fine.d.z; ++k)
        for (int j = 0; j < fine.d.y; ++j) {
            const std::size_t row = fine.d.index(0, j, k);
            const std::size_t into =
                coarse.d.index(0, halved[1] ? j / 2 : j, halved[2] ? k / 2 : k);
            for (int i = 0; i < fine.d.x; ++i) {
                const std::size_t v = row + static_cast<std::size_t>(i);
                const std::size_t c = into + static_cast<std::size_t>(halved[0] ? i / 2 : i);
                w[c] += fine.w[v];
                g[c] += fine.w[v] * fine.g[v];
            }
        }
    for (std::size_t c = 0; c < cn; ++c) g[c] = w[c] > 0 ? g[c] / w[c] : 0;
    coarse.w = w;
    coarse.g = g;
    return true;
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t v = 0; v < a.size(); ++v) sum += a[v] * b[v];
    return sum;
}

/// The transfers between grid l and grid l + 1, per axis: fine from coarse and back.
struct Transfers {
    std::array<AxisTransfer, 3> prolong, restrict;
};

/// The work areas of one grid, kept across the V-cycles, solves and λ trials on it: the
/// V-cycle's residual; the right-hand side and correction the finer grid's V-cycle gives it; a
/// solve's right-hand side; conjugate gradients' vectors; a leverage probe and its response.
struct Work {
    std::vector<double> residual, rhs, correction, b, r, z, p, q, previous, probe, response;
};

/// The grids from the finest (0) to the coarsest, and the transfers between neighbours.
struct Hierarchy {
    std::vector<Level> levels;
    std::vector<Transfers> transfers;
    std::vector<Work> work;                  ///< one per grid
    std::vector<double> scratchA, scratchB;  ///< the transfers' intermediate grids
    double noiseShare = 1;                   ///< see estimateSmoothField
};

Transfers transfersBetween(const Level& fine, const Level& coarse,
                           const std::array<bool, 3>& halved) {
    Transfers t;
    for (int a = 0; a < 3; ++a) {
        const int fe = axisExtent(fine.d, a), ce = axisExtent(coarse.d, a);
        t.prolong[static_cast<std::size_t>(a)] = axisTransfer(fe, ce, halved[a], false);
        t.restrict[static_cast<std::size_t>(a)] = axisTransfer(fe, ce, halved[a], true);
    }
    return t;
}

/// y (on grid `to`) = the transfer of x (on grid `from`), axis by axis in `order`; with `add`
/// (when x goes last) y += it, as the same sums added in a pass of their own.
void transfer(Hierarchy& H, Dims from, const std::array<AxisTransfer, 3>& t,
              const std::array<int, 3>& order, const double* x, double* y, bool add) {
    Dims d = from;
    const double* in = x;
    std::vector<double>* buffers[2] = {&H.scratchA, &H.scratchB};
    for (int step = 0; step < 3; ++step) {
        const int axis = order[static_cast<std::size_t>(step)];
        const AxisTransfer& along = t[static_cast<std::size_t>(axis)];
        Dims next = d;
        (axis == 0 ? next.x : (axis == 1 ? next.y : next.z)) =
            static_cast<int>(along.start.size()) - 1;
        double* out = y;
        if (step < 2) {
            buffers[step]->resize(next.voxels());
            out = buffers[step]->data();
        }
        transferAlong(d, axis, along, in, out, add && step == 2);
        in = out;
        d = next;
    }
}

/// Coarse from fine by the adjoint of trilinear interpolation (shrinking x first), and fine
/// from coarse by trilinear interpolation (growing z first): each step works on the smaller grid.
void restrictTo(Hierarchy& H, std::size_t l, const double* fine, double* coarse) {
    transfer(H, H.levels[l].d, H.transfers[l].restrict, {0, 1, 2}, fine, coarse, false);
}
void prolongFrom(Hierarchy& H, std::size_t l, const double* coarse, double* fine,
                 bool add = false) {
    transfer(H, H.levels[l + 1].d, H.transfers[l].prolong, {2, 1, 0}, coarse, fine, add);
}

int solveWith(Hierarchy& H, std::size_t l, double lambda, const std::vector<double>& b,
              std::span<double> x, int maxIterations, double tolerance);

/// Calls visit(v, diagonal) for every voxel v of the rows [first, end) of grid L with the
/// diagonal of W + λB there.
template <class Visit>
void forDiagonal(const Level& L, double lambda, long long first, long long end, Visit visit) {
    const auto width = static_cast<std::size_t>(L.d.x);
    for (auto row = static_cast<std::size_t>(first); row < static_cast<std::size_t>(end); ++row) {
        const double* rough = L.rough.row(row);
        const std::size_t base = row * width;
        for (std::size_t i = 0; i < width; ++i) visit(base + i, L.w[base + i] + lambda * rough[i]);
    }
}

/// `sweeps` damped Jacobi sweeps on (W + λB) x = b, b[v] given by rhs(v); r is scratch of the
/// grid's size.
template <class Rhs>
void jacobi(const Level& L, double lambda, const Rhs& rhs, std::span<double> x,
            std::vector<double>& r, int sweeps) {
    const long long rows = static_cast<long long>(L.d.y) * L.d.z;
    for (int s = 0; s < sweeps; ++s) {
        applySystem(L, lambda, x.data(), r.data());
        const auto width = static_cast<std::size_t>(L.d.x);
        forEachRange(
            rows, keptRangeWorkers(rows, width), [&](unsigned, long long first, long long end) {
                // Every voxel is written, with its own value where its diagonal is not
                // positive: a loop without a branch, which runs in vector registers.
                forDiagonal(L, lambda, first, end, [&](std::size_t v, double diagonal) {
                    const double moved = x[v] + kJacobiDamping * (rhs(v) - r[v]) / diagonal;
                    x[v] = diagonal > 0 ? moved : x[v];
                });
            });
    }
}

/// One V-cycle from grid l for (W + λB) x = b from x = 0: damped Jacobi sweeps before and after
/// the correction from the next coarser grid (trilinear transfer both ways); the coarsest is
/// solved by conjugate gradients.
void vcycle(Hierarchy& H, std::size_t l, double lambda, const std::vector<double>& b,
            std::span<double> x) {
    Level& L = H.levels[l];
    const std::size_t n = L.d.voxels();
    std::fill(x.begin(), x.end(), 0.0);
    if (l + 1 == H.levels.size()) {
        solveWith(H, l, lambda, b, x, kLevelIterations, kTolerance);
        return;
    }
    std::vector<double>& r = sized(H.work[l].residual, n);
    const auto sweeps = [&] {
        jacobi(
            L, lambda, [&](std::size_t v) { return b[v]; }, x, r, kSweeps);
    };
    sweeps();
    applySystem(L, lambda, x.data(), r.data());
    for (std::size_t v = 0; v < n; ++v) r[v] = b[v] - r[v];
    Level& C = H.levels[l + 1];
    std::vector<double>& rc = sized(H.work[l + 1].rhs, C.d.voxels());
    std::vector<double>& ec = sized(H.work[l + 1].correction, C.d.voxels());
    restrictTo(H, l, r.data(), rc.data());
    vcycle(H, l + 1, lambda, rc, ec);
    prolongFrom(H, l, ec.data(), x.data(), true);
    sweeps();
}

/// Flexible conjugate gradients on (W + λB) x = b on grid l, preconditioned by a V-cycle (the
/// diagonal on the coarsest grid); returns the iterations.
int solveWith(Hierarchy& H, std::size_t l, double lambda, const std::vector<double>& b,
              std::span<double> x, int maxIterations, double tolerance) {
    const Level& L = H.levels[l];
    const std::size_t n = L.d.voxels();
    const bool coarsest = l + 1 == H.levels.size();
    Work& work = H.work[l];
    std::vector<double>& r = sized(work.r, n);
    std::vector<double>& z = sized(work.z, n);
    std::vector<double>& p = sized(work.p, n);
    std::vector<double>& q = sized(work.q, n);
    std::vector<double>& previous = sized(work.previous, n);
    const auto precondition = [&] {
        if (!coarsest) {
            vcycle(H, l, lambda, r, z);
            return;
        }
        forDiagonal(
            L, lambda, 0, static_cast<long long>(L.d.y) * L.d.z,
            [&](std::size_t v, double diagonal) { z[v] = diagonal > 0 ? r[v] / diagonal : 0; });
    };
    applySystem(L, lambda, x.data(), q.data());
    for (std::size_t v = 0; v < n; ++v) r[v] = b[v] - q[v];
    const double stop = tolerance * tolerance * dot(b, b);
    precondition();
    p = z;
    double rz = dot(r, z);
    int it = 0;
    while (it < maxIterations && dot(r, r) > stop && rz > 0) {
        ++it;
        applySystem(L, lambda, p.data(), q.data());
        const double pq = dot(p, q);
        if (!(pq > 0)) break;
        const double alpha = rz / pq;
        previous = r;
        for (std::size_t v = 0; v < n; ++v) {
            x[v] += alpha * p[v];
            r[v] -= alpha * q[v];
        }
        precondition();
        double next = 0;
        for (std::size_t v = 0; v < n; ++v) next += z[v] * (r[v] - previous[v]);
        const double beta = std::max(0.0, next / rz);
        rz = dot(r, z);
        for (std::size_t v = 0; v < n; ++v) p[v] = z[v] + beta * p[v];
    }
    return it;
}

/// Solves for the f grid l holds, from that f; returns the iterations.
int solve(Hierarchy& H, std::size_t l, double lambda, int maxIterations) {
    Level& L = H.levels[l];
    std::vector<double>& b = sized(H.work[l].b, L.d.voxels());
    for (std::size_t v = 0; v < b.size(); ++v) b[v] = L.w[v] * L.g[v];
    return solveWith(H, l, lambda, b, L.f, maxIterations, kTolerance);
}

/// One multigrid correction of the f grid l holds, interpolated from the coarser grid's
/// solution: the coarser grid corrects the error that interpolation left at its scale, and
/// Jacobi sweeps after it the detail below. The error starts smooth, so no sweep goes first. A
/// Krylov solve here would cost several times the unwrapping for changes far below the noise.
void correct(Hierarchy& H, std::size_t l, double lambda) {
    Level& L = H.levels[l];
    const std::size_t n = L.d.voxels();
    std::vector<double>& r = sized(H.work[l].residual, n);
    std::vector<double>& rc = sized(H.work[l + 1].rhs, H.levels[l + 1].d.voxels());
    std::vector<double>& ec = sized(H.work[l + 1].correction, H.levels[l + 1].d.voxels());
    // The right-hand side w g is made where it is read rather than kept: on the finest grid a
    // grid more of memory costs more to map than to multiply.
    const auto b = [&](std::size_t v) { return L.w[v] * L.g[v]; };
    thinPlateResidual(L.d, L.h, L.w.data(), L.g.data(), L.f.data(), r.data(), lambda);
    restrictTo(H, l, r.data(), rc.data());
    vcycle(H, l + 1, lambda, rc, ec);
    prolongFrom(H, l, ec.data(), L.f.data(), true);
    jacobi(L, lambda, b, L.f, r, kSweeps);
}

/// The mean leverage tr(H) / n of the measured voxels, H = W^½ (W + λB)⁻¹ W^½, estimated with
/// `probes` random ±1 vectors (a fixed sequence: the result is reproducible); at most 0.9.
double leverage(Hierarchy& H, std::size_t l, double lambda, int probes) {
    const Level& L = H.levels[l];
    const std::size_t n = L.d.voxels();
    std::vector<double>& z = sized(H.work[l].probe, n);
    std::vector<double>& b = sized(H.work[l].b, n);
    std::vector<double>& y = sized(H.work[l].response, n);
    std::uint32_t state = 12345u;
    double trace = 0;
    long long measured = 0;
    for (int p = 0; p < probes; ++p) {
        for (std::size_t v = 0; v < n; ++v) {
            state = state * 1664525u + 1013904223u;
            z[v] = L.w[v] > 0 ? ((state >> 31) != 0 ? 1.0 : -1.0) : 0.0;
            b[v] = z[v] * std::sqrt(L.w[v]);
        }
        std::fill(y.begin(), y.end(), 0.0);
        solveWith(H, l, lambda, b, y,
                  l + 1 == H.levels.size() ? kCoarseIterations : kLevelIterations, kTolerance);
        for (std::size_t v = 0; v < n; ++v) {
            trace += b[v] * y[v];
            measured += L.w[v] > 0 ? 1 : 0;
        }
    }
    return measured > 0 ? std::clamp(trace / static_cast<double>(measured), 0.0, kMostLeverage) : 0;
}

/// How far the solution the level holds for λ is from the noise model, in log: the median of
/// w (f − g)² over that of χ²₁, against the share 1 − leverage of the noise that a fit leaves
/// in its residual. 0 when met; it grows with λ.
double criterion(Hierarchy& H, std::size_t l, double lambda, std::vector<double>& scratch) {
    const bool coarsest = l + 1 == H.levels.size();
    const double kept = 1 - leverage(H, l, lambda, coarsest ? kCoarseProbes : 1);
    return std::log(std::max(discrepancy(H.levels[l], scratch), 1e-300)) -
           std::log(kept * H.noiseShare);
}

void prepareLevel(Level& L) {
    thinPlateDiagonal(L.d, L.h, L.rough);
    if (L.f.empty()) {
        L.own.assign(L.d.voxels(), 0.0);
        L.f = L.own;
    }
}

/// On the coarsest grid: λ bisected in its logarithm until the bracket is narrow; returns it and
/// the slope of log discrepancy over log λ at it.
double searchLambda(Hierarchy& H, double guess, double& slope, std::vector<double>& scratch) {
    const std::size_t l = H.levels.size() - 1;
    Level& L = H.levels[l];
    double lowLog = std::log(guess) - kSearchDecades * std::log(10.0);
    double highLog = std::log(guess) + kSearchDecades * std::log(10.0);
    for (std::size_t v = 0; v < L.f.size(); ++v) L.f[v] = L.w[v] > 0 ? L.g[v] : 0;
    solve(H, l, std::exp(highLog), kCoarseIterations);
    double highValue = criterion(H, l, std::exp(highLog), scratch);
    if (highValue <= 0) {
        slope = 1;
        return std::exp(highLog);  // noise over everything: the smoothest field
    }
    double lowValue = 0;
    bool lowKnown = false;
    while (highLog - lowLog > std::log(kSearchResolution)) {
        const double mid = 0.5 * (lowLog + highLog);
        solve(H, l, std::exp(mid), kCoarseIterations);
        const double value = criterion(H, l, std::exp(mid), scratch);
        if (value > 0) {
            highLog = mid;
            highValue = value;
        } else {
            lowLog = mid;
            lowValue = value;
            lowKnown = true;
        }
    }
    slope = lowKnown && highLog > lowLog ? (highValue - lowValue) / (highLog - lowLog) : 1;
    if (!(slope > 0)) slope = 1;
    const double lambda = std::exp(0.5 * (lowLog + highLog));
    solve(H, l, lambda, kCoarseIterations);
    return lambda;
}

}  // namespace

bool estimateSmoothField(Dims d, const Spacing& h, std::span<const double> g,
                         std::span<const double> w, std::span<double> f, FieldEstimate& result,
                         double noiseShare) {
    const std::size_t n = d.voxels();
    if (n == 0 || g.size() != n || w.size() != n || f.size() != n) return false;
    for (const double s : h)
        if (!(s > 0) || !std::isfinite(s)) return false;
    if (!(noiseShare > 0) || !std::isfinite(noiseShare)) return false;
    // The passes on the finest grid are short: threads kept for all of them rather than started
    // for each, unless the caller keeps some already.
    std::optional<KernelThreads> kept;
    if (KernelThreads::current() == nullptr && !RangesOnThisThread::active()) kept.emplace();
    Hierarchy H;
    H.noiseShare = noiseShare;
    // Reserved so that `top` stays valid as the coarser grids are added; each halves an extent.
    H.levels.reserve(64);
    H.levels.resize(1);
    Level& top = H.levels[0];
    top.d = d;
    top.h = h;
    // The caller's w and g serve as they are (mapping a copy of each costs as much as a pass of
    // the solver on this grid) unless the solution is written over them, or a voxel must be
    // left out that they do not already weigh 0 (a negative or non-finite weight, a measurement
    // that is not finite). Where w is 0, w g is then 0 as in a copy that sets both to 0.
    const auto measured = [&](std::size_t v) {
        return w[v] > 0 && std::isfinite(w[v]) && std::isfinite(g[v]);
    };
    const auto overlaps = [&](std::span<const double> in) {
        const std::less<const double*> before;
        return before(in.data(), f.data() + n) && before(f.data(), in.data() + n);
    };
    bool asGiven = !overlaps(w) && !overlaps(g);
    for (std::size_t v = 0; v < n && asGiven; ++v)
        asGiven = measured(v) || (w[v] == 0 && std::isfinite(g[v]));
    if (asGiven) {
        top.w = w;
        top.g = g;
    } else {
        top.ownW.assign(n, 0.0);
        top.ownG.assign(n, 0.0);
        for (std::size_t v = 0; v < n; ++v)
            if (measured(v)) {
                top.ownW[v] = w[v];
                top.ownG[v] = g[v];
            }
        top.w = top.ownW;
        top.g = top.ownG;
    }
    // The solution is made in the caller's field (written by the search or the prolongation
    // before it is read).
    top.f = f;
    // The measured voxels' weights for their median; later each discrepancy's list.
    // The weights' list goes where the finest grid's residual will be, mapped once for both.
    std::vector<double> topList;
    topList.reserve(n);
    for (std::size_t v = 0; v < n; ++v)
        if (top.w[v] > 0) topList.push_back(top.w[v]);
    if (topList.empty()) return false;
    result.measured = static_cast<long long>(topList.size());
    while (H.levels.back().d.voxels() > kSearchGridVoxels) {
        Level coarse;
        std::array<bool, 3> halved{};
        if (!coarsen(H.levels.back(), coarse, halved)) break;
        H.transfers.push_back(transfersBetween(H.levels.back(), coarse, halved));
        H.levels.push_back(std::move(coarse));
    }
    for (Level& L : H.levels) prepareLevel(L);
    H.work.resize(H.levels.size());
    const double median = middleValue(topList);
    H.work[0].residual = std::move(topList);
    // The scale where a voxel's own misfit and the roughness of a field bent over one voxel of
    // the finest spacing weigh alike; the search spans decades around it.
    const double finest = std::min({h[0], h[1], h[2]});
    const double guess = median * std::pow(finest, 4) / (h[0] * h[1] * h[2]) / 16;
    std::vector<double> scratch;
    double slope = 1;
    double lambda = searchLambda(H, guess, slope, scratch);
    for (std::size_t l = H.levels.size() - 1; l-- > 0;) {
        Level& L = H.levels[l];
        prolongFrom(H, l, H.levels[l + 1].f.data(), L.f.data());
        if (L.d.voxels() > kTuningGridVoxels) {
            // Larger grids take λ as the coarser ones found it: the correction a secant step
            // makes there is mostly resolution, at the cost of the largest solves.
            correct(H, l, lambda);
            if (l == 0) result.finestIterations = 1;
            continue;
        }
        solve(H, l, lambda, kLevelIterations);
        const double value = criterion(H, l, lambda, scratch);
        // One secant step from the slope measured on the coarser grids.
        const double step =
            std::clamp(-value / slope, -std::log(kLargestStep), std::log(kLargestStep));
        lambda *= std::exp(step);
        solve(H, l, lambda, kLevelIterations);
        // The slope is measured again only for a finer grid that will be tuned.
        const bool tunedNext = l > 0 && H.levels[l - 1].d.voxels() <= kTuningGridVoxels;
        if (step != 0 && tunedNext) {
            const double after = criterion(H, l, lambda, scratch);
            if ((after - value) / step > 0) slope = (after - value) / step;
        }
    }
    if (H.levels.size() == 1) result.finestIterations = kCoarseIterations;
    result.lambda = lambda;
    result.discrepancy = discrepancy(top, H.work[0].residual);
    result.levels = static_cast<int>(H.levels.size());
    return true;
}

}  // namespace ondrift
