#include "pipeline/kernels/dropout_blend.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Bins of the histogram that gives the background's median: the median to a thousandth of the
// threshold, from one pass over the magnitude.
constexpr std::size_t kNoiseBins = 1024;

/// P(m ≤ x) for Rayleigh noise of scale s.
double rayleighBelow(double x, double s) { return -std::expm1(-x * x / (2 * s * s)); }

}  // namespace

long long mendTrustedMask(Dims d, std::span<double> cycles, std::span<const double> wrapped,
                          std::span<const unsigned char> likely,
                          std::vector<unsigned char>& trusted) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return -1;
    const std::size_t n = d.voxels();
    if (cycles.size() != n || wrapped.size() != n || likely.size() != n || trusted.size() != n)
        return -1;
    std::vector<std::size_t> mend;
    const auto compare = [&](std::size_t v) {
        if ((trusted[v] != 0) == (likely[v] != 0)) return;
        if (trusted[v] != 0) {
            trusted[v] = 0;
        } else {
            mend.push_back(v);
        }
    };
    // The two masks mostly agree: eight bytes at a time until they differ.
    std::size_t v = 0;
    for (; v + 8 <= n; v += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, trusted.data() + v, 8);
        std::memcpy(&b, likely.data() + v, 8);
        if (a == b) continue;
        for (std::size_t u = v; u < v + 8; ++u) compare(u);
    }
    for (; v < n; ++v) compare(v);
    // In rounds, each from the trusted voxels as the round found them, so the order within a
    // round does not matter. A voxel a cycle off takes its calm neighbours out with it (they see
    // the step too): they come back in the first round, on their own cycle, and it in the next.
    // A round holds the voxels next to those placed in the round before, so each voxel is looked
    // at once however long a chain of them.
    const std::size_t row = static_cast<std::size_t>(d.x), plane = row * d.y;
    std::vector<unsigned char> seen(mend.size(), 0);  // queued in some round
    const auto slotOf = [&](std::size_t q) -> std::ptrdiff_t {
        const auto at = std::lower_bound(mend.begin(), mend.end(), q);
        return at != mend.end() && *at == q ? at - mend.begin() : -1;
    };
    const auto faces = [&](std::size_t c, auto&& visit) {
        visitFaces(d, c, static_cast<int>(c % row), static_cast<int>(c / row % d.y),
                   static_cast<int>(c / plane), [&](int, std::size_t q, bool exists) {
                       if (exists) visit(q);
                   });
    };
    std::vector<std::size_t> round, next;
    for (std::size_t e = 0; e < mend.size(); ++e) {
        bool reached = false;
        faces(mend[e], [&](std::size_t q) { reached |= trusted[q] != 0; });
        if (!reached) continue;
        seen[e] = 1;
        round.push_back(e);
    }
    std::vector<double> placed;
    long long mended = 0;
    while (!round.empty()) {
        placed.assign(round.size(), 0.0);
        for (std::size_t r = 0; r < round.size(); ++r) {
            const std::size_t c = mend[round[r]];
            double sum = 0;
            int count = 0;
            faces(c, [&](std::size_t q) {
                if (trusted[q] == 0) return;
                sum += cycles[q];
                ++count;
            });
            placed[r] = wrapped[c] + std::nearbyint(sum / count - wrapped[c]);
        }
        next.clear();
        for (std::size_t r = 0; r < round.size(); ++r) {
            // Without a finite phase a voxel stays out, and nothing is placed from it.
            if (!std::isfinite(placed[r])) continue;
            const std::size_t c = mend[round[r]];
            cycles[c] = placed[r];
            trusted[c] = 1;
            ++mended;
            faces(c, [&](std::size_t q) {
                const std::ptrdiff_t slot = slotOf(q);
                if (slot < 0 || seen[static_cast<std::size_t>(slot)] != 0) return;
                seen[static_cast<std::size_t>(slot)] = 1;
                next.push_back(static_cast<std::size_t>(slot));
            });
        }
        round.swap(next);
    }
    return mended;
}

double backgroundNoise(std::span<const double> magnitude, double threshold) {
    if (!(threshold > 0) || !std::isfinite(threshold)) return 0;
    std::vector<std::size_t> count(kNoiseBins, 0);
    std::size_t below = 0, zero = 0;
    for (const double m : magnitude) {
        zero += m == 0 ? 1 : 0;
        if (!(m > 0) || !(m <= threshold)) continue;
        const auto bin =
            std::min(kNoiseBins - 1, static_cast<std::size_t>(m / threshold * kNoiseBins));
        ++count[bin];
        ++below;
    }
    // Noise is never exactly zero: where most of what lies below the threshold is, the
    // background was set to zero and the rest is the head's own dark rim.
    if (below < 64 || below < magnitude.size() / 100 || zero > below) return 0;
    // The median, placed within its bin as if the bin's values were spread evenly.
    const double half = 0.5 * static_cast<double>(below);
    double seen = 0, median = threshold;
    for (std::size_t b = 0; b < kNoiseBins; ++b) {
        const auto here = static_cast<double>(count[b]);
        if (seen + here >= half) {
            median = (static_cast<double>(b) + (half - seen) / here) * threshold / kNoiseBins;
            break;
        }
        seen += here;
    }
    // The share of the cut-off distribution below the median falls from 1 (scale near 0) to
    // (median / threshold)² (scale without bound) as the scale grows; it is one half at the
    // scale sought.
    const auto share = [&](double s) {
        return rayleighBelow(median, s) / rayleighBelow(threshold, s);
    };
    if (share(threshold) > 0.5) return threshold;
    double low = 0, high = threshold;
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (low + high);
        if (mid > 0 && share(mid) > 0.5) {
            low = mid;
        } else {
            high = mid;
        }
    }
    return 0.5 * (low + high);
}

double noiseAwareBlendThreshold(double threshold, double noise) {
    const double reference = 0.25 * threshold;
    return noise > reference ? threshold * (noise / reference) : threshold;
}

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
    std::vector<unsigned char> calm = trustedMask(d, inside);
    if (rough == nullptr || calm.size() != inside.size()) return calm;
    for (std::size_t v = 0; v < calm.size(); ++v)
        if (calm[v] != 0 && rough[v] != 0) calm[v] = 0;
    // A calm voxel with fewer than two calm face neighbours is noise that happened to step
    // calmly, or a pair of such: too little of the head around it to agree with.
    std::vector<unsigned char> likely = calm;
    const std::size_t plane = static_cast<std::size_t>(d.x) * d.y;
    shareOut(d.z, plane, [&](unsigned, long long first, long long end) {
        forEachMaskVoxel(d, calm.data(), first, end, [&](std::size_t c, int x, int y, int z) {
            int joined = 0;
            visitFaces(d, c, x, y, z, [&](int, std::size_t q, bool exists) {
                joined += exists && calm[q] != 0 ? 1 : 0;
            });
            if (joined < 2) likely[c] = 0;
        });
    });
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
