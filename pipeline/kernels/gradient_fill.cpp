#include "pipeline/kernels/gradient_fill.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

/// Per voxel of the slice that starts at voxel `origin`: the summed estimates and weights
/// (valid where `nearest` is set) and the distance of its nearest estimate (0: none). Only
/// voxels near the mask are ever reached, so the sums are set on first touch rather than
/// cleared for every slice.
struct Estimates {
    std::unique_ptr<double[]> sum, weight;
    std::unique_ptr<unsigned char[]> nearest;
    std::ptrdiff_t origin = 0;

    void add(std::ptrdiff_t q, int distance, double value) {
        const auto u = static_cast<std::size_t>(q - origin);
        const double w = 1.0 / distance;
        if (nearest[u] == 0) {
            sum[u] = 0;
            weight[u] = 0;
            nearest[u] = static_cast<unsigned char>(distance);
        }
        sum[u] += w * value;
        weight[u] += w;
        if (distance < nearest[u]) nearest[u] = static_cast<unsigned char>(distance);
    }
};

/// The least-squares line through the last kGradientFitVoxels samples before `end` (exclusive)
/// on a line, stepping by `step` away from `end`: its value at `end` and its slope per voxel
/// towards `end`.
void fitLine(const double* f, std::ptrdiff_t end, std::ptrdiff_t step, double& atEnd,
             double& slope) {
    // Samples at x = -1 … -K relative to `end`; mean of x is -(K + 1) / 2.
    constexpr int k = kGradientFitVoxels;
    constexpr double meanX = -(k + 1) / 2.0;
    double meanY = 0;
    for (int t = 1; t <= k; ++t) meanY += f[end - t * step];
    meanY /= k;
    double sxy = 0, sxx = 0;
    for (int t = 1; t <= k; ++t) {
        const double dx = -t - meanX;
        sxy += dx * (f[end - t * step] - meanY);
        sxx += dx * dx;
    }
    slope = sxy / sxx;
    atEnd = meanY - slope * meanX;
}

/// Whether the line leaves the mask for good at voxel s, going in direction `dir`: across a gap
/// (a dropout inside the head) a straight line from one rim would miss the other.
bool leavesForGood(const unsigned char* in, std::ptrdiff_t base, std::ptrdiff_t step, int length,
                   int s, int dir) {
    for (int t = s, seen = 0; t >= 0 && t < length && seen <= 2 * kGradientBand; t += dir, ++seen)
        if (in[base + t * step] != 0) return false;
    return true;
}

/// Whether a slope is carried from the run of mask voxels that ends next to voxel s of a line,
/// going in direction `dir`.
bool carries(const unsigned char* in, std::ptrdiff_t line, std::ptrdiff_t step, int length, int s,
             int dir) {
    return s >= 0 && s < length && leavesForGood(in, line, step, length, s, dir);
}

/// Carries the slope of the run of mask voxels that ends next to voxel s of a line (going in
/// direction `dir`) beyond it.
void carry(const double* f, const unsigned char* in, std::ptrdiff_t line, std::ptrdiff_t step,
           int length, int s, int dir, Estimates& e) {
    double value = 0, slope = 0;
    fitLine(f, line + s * step, dir * step, value, slope);
    for (int dist = 1; dist <= kGradientBand; ++dist) {
        const int t = s + dir * (dist - 1);
        if (t < 0 || t >= length || in[line + t * step] != 0) break;
        e.add(line + t * step, dist, value + slope * (dist - 1));
    }
}

/// Calls end(line, step, length, s, dir) for the ends of the runs of at least
/// kGradientFitVoxels mask voxels along `count` neighbouring lines of `length` voxels each,
/// voxel s of line l at first + l + s * step, each run at both ends once it ends; the lines run
/// innermost so that every step streams through memory. Most of a slice lies outside the head:
/// a lane outside the mask with no run open does nothing, and eight such lanes (or eight such
/// voxels along a line) are passed over at once.
template <typename End>
void runEnds(const unsigned char* in, std::ptrdiff_t first, std::ptrdiff_t count,
             std::ptrdiff_t step, int length, std::vector<int>& run, End&& end) {
    run.assign(static_cast<std::size_t>(count), 0);
    if (count == 1 && step == 1) {
        int r = 0;
        for (int s = 0; s <= length; ++s) {
            if (r == 0)
                while (s + 8 <= length && outsideEight(in + first + s)) s += 8;
            if (s < length && in[first + s] != 0) {
                ++r;
                continue;
            }
            if (r >= kGradientFitVoxels) {
                end(first, step, length, s, 1);
                end(first, step, length, s - r - 1, -1);
            }
            r = 0;
        }
        return;
    }
    for (int s = 0; s <= length; ++s) {
        const std::ptrdiff_t row = first + s * step;
        for (std::ptrdiff_t l = 0; l < count; ++l) {
            if (s < length && l + 8 <= count && outsideEight(in + row + l)) {
                int open = 0;
                for (int q = 0; q < 8; ++q) open |= run[static_cast<std::size_t>(l + q)];
                if (open == 0) {
                    l += 7;
                    continue;
                }
            }
            int& r = run[static_cast<std::size_t>(l)];
            if (s < length && in[row + l] != 0) {
                ++r;
                continue;
            }
            if (r >= kGradientFitVoxels) {
                end(first + l, step, length, s, 1);
                end(first + l, step, length, s - r - 1, -1);
            }
            r = 0;
        }
    }
}

/// Calls end(line, step, length, s, dir) for every end of slice k that carries a slope: along
/// x first, then along y.
template <typename End>
void sliceEnds(Dims d, const unsigned char* in, long long k, std::vector<int>& run, End&& end) {
    const std::ptrdiff_t row = d.x, plane = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const auto carried = [&](std::ptrdiff_t line, std::ptrdiff_t step, int length, int s, int dir) {
        if (carries(in, line, step, length, s, dir)) end(line, step, length, s, dir);
    };
    for (int j = 0; j < d.y; ++j) runEnds(in, k * plane + j * row, 1, 1, d.x, run, carried);
    runEnds(in, k * plane, row, row, d.y, run, carried);
}

/// One end that carries a slope: voxel s of the line through `line` along x (`alongY` 0) or y.
struct End {
    std::uint32_t line;
    std::int32_t s;
    std::int8_t dir;
    std::uint8_t alongY;
};

}  // namespace

struct SlopeEnds {
    Dims d;
    std::vector<unsigned char> inside;  ///< the mask they were found for
    std::vector<std::vector<End>> slice;
};

namespace {

/// The ends of slice k, from a plan or found here.
template <typename Carry>
void eachEnd(Dims d, const unsigned char* in, long long k, const SlopeEnds* plan,
             std::vector<int>& run, Carry&& carryFrom) {
    if (plan == nullptr) {
        sliceEnds(d, in, k, run, carryFrom);
        return;
    }
    for (const End& e : plan->slice[static_cast<std::size_t>(k)]) {
        if (e.alongY != 0) {
            carryFrom(static_cast<std::ptrdiff_t>(e.line), d.x, d.y, e.s, e.dir);
        } else {
            carryFrom(static_cast<std::ptrdiff_t>(e.line), 1, d.x, e.s, e.dir);
        }
    }
}

bool fits(Dims d, std::size_t voxels) {
    return d.x >= 1 && d.y >= 1 && d.z >= 1 && voxels == d.voxels() && voxels <= 0xFFFFFFFFu;
}

}  // namespace

SlopePlan planSlopes(Dims d, std::span<const unsigned char> inside) {
    if (!fits(d, inside.size())) return {};
    auto plan = std::make_shared<SlopeEnds>();
    plan->d = d;
    plan->inside.assign(inside.begin(), inside.end());
    plan->slice.resize(static_cast<std::size_t>(d.z));
    std::vector<int> run;
    for (int k = 0; k < d.z; ++k) {
        std::vector<End>& ends = plan->slice[static_cast<std::size_t>(k)];
        sliceEnds(
            d, inside.data(), k, run,
            [&](std::ptrdiff_t line, std::ptrdiff_t step, int, int s, int dir) {
                ends.push_back({static_cast<std::uint32_t>(line), s, static_cast<std::int8_t>(dir),
                                static_cast<std::uint8_t>(step == 1 ? 0 : 1)});
            });
    }
    return {std::move(plan)};
}

long long continueGradients(Dims d, std::span<double> field, std::span<const unsigned char> inside,
                            const SlopePlan* plan) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (field.size() != n || inside.size() != n) return -1;
    const SlopeEnds* known = plan != nullptr ? plan->ends.get() : nullptr;
    if (known != nullptr &&
        (known->d != d || !std::equal(inside.begin(), inside.end(), known->inside.begin())))
        known = nullptr;
    const std::ptrdiff_t plane = static_cast<std::ptrdiff_t>(d.x) * d.y;
    const auto planeVoxels = static_cast<std::size_t>(plane);
    const double* f = field.data();
    const unsigned char* in = inside.data();
    // The lines run within slices, so the slices are independent and each needs estimates for
    // itself only; within a slice every voxel gets the estimates along x before those along y.
    return countOverRanges(d.z, planeVoxels, [&](long long first, long long end) {
        Estimates e{std::make_unique_for_overwrite<double[]>(planeVoxels),
                    std::make_unique_for_overwrite<double[]>(planeVoxels),
                    std::make_unique_for_overwrite<unsigned char[]>(planeVoxels)};
        std::vector<int> run;
        long long changed = 0;
        for (long long k = first; k < end; ++k) {
            e.origin = k * plane;
            std::fill_n(e.nearest.get(), planeVoxels, 0);
            eachEnd(d, in, k, known, run,
                    [&](std::ptrdiff_t line, std::ptrdiff_t step, int length, int s, int dir) {
                        carry(f, in, line, step, length, s, dir, e);
                    });
            double* slice = field.data() + k * plane;
            for (std::size_t v = 0; v < planeVoxels; ++v) {
                if (e.nearest[v] == 0 || !std::isfinite(slice[v])) continue;
                const double estimate = e.sum[v] / e.weight[v];
                const double t = static_cast<double>(e.nearest[v] - 1) / kGradientBand;
                slice[v] = (1.0 - t) * estimate + t * slice[v];
                ++changed;
            }
        }
        return changed;
    });
}

}  // namespace ondrift
