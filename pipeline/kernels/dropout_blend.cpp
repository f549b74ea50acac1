#include "pipeline/kernels/dropout_blend.h"

#include <algorithm>
#include <cmath>

#include "pipeline/kernels/face_neighbours.h"
#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

// Steps between face neighbours of a head stay far below this, noise in the background does not.
constexpr double kRestlessStep = 0.25;

}  // namespace

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
        for (auto z = static_cast<int>(first); z < end; ++z)
            for (int y = 0; y < d.y; ++y) {
                const std::size_t start = d.index(0, y, z);
                for (int x = 0; x < d.x; ++x) {
                    x = static_cast<int>(skipOutside(in + start, static_cast<std::size_t>(x),
                                                     static_cast<std::size_t>(d.x)));
                    const std::size_t c = start + static_cast<std::size_t>(x);
                    if (x == d.x || in[c] == 0) continue;
                    int faces = 0;
                    bool restless = false;
                    visitFaces(d, c, x, y, z, [&](int, std::size_t q, bool exists) {
                        const bool face = exists && in[q] != 0;
                        faces += face ? 1 : 0;
                        if (phase != nullptr)
                            restless |= face && !(std::fabs(phase[q] - phase[c]) < kRestlessStep);
                    });
                    if (faces < 2 || restless) out[c] = 0;
                }
            }
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
                             std::span<const unsigned char> trusted, double threshold) {
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
    return countOverRanges(d.z, plane, [=](long long first, long long end) {
        long long moved = 0;
        for (std::size_t v = first * plane; v < end * plane; ++v) {
            const double m = level[v];
            if (kept[v] != 0 || !(m > lowest)) continue;
            const double f = out[v], w = phase[v];
            if (!std::isfinite(f) || !std::isfinite(w)) continue;
            const double measured = w + std::nearbyint(f - w);
            const double weight = std::min(1.0, m / threshold);
            out[v] = f + weight * weight * (measured - f);
            ++moved;
        }
        return moved;
    });
}

}  // namespace ondrift
