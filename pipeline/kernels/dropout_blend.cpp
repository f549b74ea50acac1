#include "pipeline/kernels/dropout_blend.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "pipeline/kernels/face_neighbours.h"
#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

// Steps between face neighbours of a head stay far below this, noise in the background does not.
constexpr double kRestlessStep = 0.25;

/// Moves one voxel as blendMeasuredPhase says; whether it moved.
inline bool blendVoxel(double* out, const double* phase, double m, double threshold,
                       std::size_t v) {
    const double f = out[v], w = phase[v];
    if (!std::isfinite(f) || !std::isfinite(w)) return false;
    const double measured = w + std::nearbyint(f - w);
    const double weight = std::min(1.0, m / threshold);
    out[v] = f + weight * weight * (measured - f);
    return true;
}

/// Consecutive voxels [first, last) above half the threshold.
struct Run {
    std::size_t first, last;
};

}  // namespace

struct BrightRuns {
    Dims d;
    double threshold;
    const double* magnitude;  ///< the buffer they were found in
    std::vector<Run> runs;
    std::size_t voxels = 0;  ///< in all runs
};

BlendPlan planBlend(Dims d, std::span<const double> magnitude, double threshold) {
    if (d.x < 1 || d.y < 1 || d.z < 1 || magnitude.size() != d.voxels() || !(threshold > 0))
        return {};
    auto plan = std::make_shared<BrightRuns>();
    plan->d = d;
    plan->threshold = threshold;
    plan->magnitude = magnitude.data();
    const double lowest = 0.5 * threshold;
    const std::size_t n = magnitude.size();
    for (std::size_t v = 0; v < n;) {
        while (v < n && !(magnitude[v] > lowest)) ++v;
        if (v == n) break;
        const std::size_t first = v;
        while (v < n && magnitude[v] > lowest) ++v;
        plan->runs.push_back({first, v});
        plan->voxels += v - first;
    }
    return {std::move(plan)};
}

std::vector<unsigned char> trustedMask(Dims d, std::span<const unsigned char> inside,
                                       std::span<const double> cycles) {
    std::vector<unsigned char> kept(inside.begin(), inside.end());
    if (d.x < 1 || d.y < 1 || d.z < 1 || inside.size() != d.voxels()) return kept;
    // Plain pointers: the byte stores to `kept` would otherwise make the compiler reload the
    // spans' data for every face.
    const double* const phase = cycles.size() == inside.size() ? cycles.data() : nullptr;
    const unsigned char* const in = inside.data();
    unsigned char* const out = kept.data();
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    shareOut(d.z, plane, [&](unsigned, long long first, long long end) {
        forEachMaskVoxel(d, in, first, end, [&](std::size_t c, int x, int y, int z) {
            int faces = 0;
            bool restless = false;
            visitFaces(d, c, x, y, z, [&](int, std::size_t q, bool exists) {
                const bool face = exists && in[q] != 0;
                faces += face ? 1 : 0;
                if (phase != nullptr)
                    restless |= face && !(std::fabs(phase[q] - phase[c]) < kRestlessStep);
            });
            if (faces < 2 || restless) out[c] = 0;
        });
    });
    for (const unsigned char k : kept)
        if (k != 0) return kept;
    return {inside.begin(), inside.end()};
}

std::vector<unsigned char> likelyTrustedMask(Dims d, std::span<const unsigned char> inside,
                                             const unsigned char* rough) {
    std::vector<unsigned char> likely = trustedMask(d, inside);
    if (rough == nullptr || likely.size() != inside.size()) return likely;
    for (std::size_t v = 0; v < likely.size(); ++v)
        if (likely[v] != 0 && rough[v] != 0) likely[v] = 0;
    return likely;
}

long long blendMeasuredPhase(Dims d, std::span<double> field, std::span<const double> wrapped,
                             std::span<const double> magnitude,
                             std::span<const unsigned char> trusted, double threshold,
                             const BlendPlan* plan) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (field.size() != n || wrapped.size() != n || magnitude.size() != n || trusted.size() != n ||
        !(threshold > 0)) {
        return -1;
    }
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    // Plain pointers held in registers: the rounding is a library call, after which spans would
    // be loaded again.
    double* const out = field.data();
    const double* const phase = wrapped.data();
    const double* const level = magnitude.data();
    const unsigned char* const kept = trusted.data();
    const double lowest = 0.5 * threshold;
    const BrightRuns* known = plan != nullptr ? plan->runs.get() : nullptr;
    if (known != nullptr && known->d == d && known->threshold == threshold &&
        known->magnitude == magnitude.data()) {
        // Only the runs above half the threshold, passing over trusted voxels eight at a time.
        const std::vector<Run>& runs = known->runs;
        const unsigned workers =
            rangeWorkers(static_cast<long long>(runs.size()),
                         known->voxels / std::max<std::size_t>(runs.size(), 1) + 1);
        std::vector<long long> moved(workers, 0);
        forEachRange(static_cast<long long>(runs.size()), workers,
                     [&](unsigned w, long long first, long long end) {
                         long long here = 0;
                         for (auto q = static_cast<std::size_t>(first);
                              q < static_cast<std::size_t>(end); ++q) {
                             for (std::size_t v = runs[q].first; v < runs[q].last; ++v) {
                                 v = skipInside(kept, v, runs[q].last);
                                 if (v == runs[q].last || kept[v] != 0) continue;
                                 here += blendVoxel(out, phase, level[v], threshold, v) ? 1 : 0;
                             }
                         }
                         moved[w] = here;
                     });
        long long total = 0;
        for (const long long m : moved) total += m;
        return total;
    }
    return countOverRanges(d.z, plane, [=](long long first, long long end) {
        long long moved = 0;
        for (std::size_t v = first * plane; v < end * plane; ++v) {
            const double m = level[v];
            if (kept[v] != 0 || !(m > lowest)) continue;
            moved += blendVoxel(out, phase, m, threshold, v) ? 1 : 0;
        }
        return moved;
    });
}

}  // namespace ondrift
