#include "pipeline/kernels/quadratic_smoothing.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

namespace {

constexpr int kHalf = kQuadraticWindow / 2;

/// taps[p][u]: the weight of window sample u in the value at window position p of the
/// least-squares quadratic through the window's samples. Row kHalf is the centred filter
/// (-2, 3, 6, 7, 6, 3, -2) / 21; the others serve the first and last voxels of a line, where
/// the window cannot be centred: repeating the edge voxel instead would bend a sloped field
/// there.
struct Taps {
    double w[kQuadraticWindow][kQuadraticWindow];
};

Taps makeTaps() {
    // Normal equations of the fit to the samples u = 0…6, with the basis 1, u, u².
    double m[3][3] = {};
    for (int u = 0; u < kQuadraticWindow; ++u) {
        const double b[3] = {1.0, double(u), double(u) * u};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
    }
    // The inverse by cofactors: the matrix is small and well conditioned.
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    Taps t{};
    for (int p = 0; p < kQuadraticWindow; ++p) {
        const double e[3] = {1.0, double(p), double(p) * p};
        for (int u = 0; u < kQuadraticWindow; ++u) {
            const double b[3] = {1.0, double(u), double(u) * u};
            double v = 0;
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) v += e[r] * inv[r][c] * b[c];
            t.w[p][u] = v;
        }
    }
    return t;
}

const Taps& taps() {
    static const Taps t = makeTaps();
    return t;
}

/// One fit per line for `count` neighbouring lines: out[l] = sum over u of w[u] in[l + u*step],
/// the taps summed in order. In blocks of a fixed length, which the compiler turns into vector
/// instructions; each sample still gets the plain loop's sum.
[[gnu::always_inline]] inline void sumTaps(const double* __restrict in, std::ptrdiff_t step,
                                           const double* __restrict w, double* __restrict out,
                                           std::ptrdiff_t count) {
    constexpr std::ptrdiff_t kBlock = 32;
    std::ptrdiff_t l = 0;
    for (; l + kBlock <= count; l += kBlock) {
        double v[kBlock] = {};
        for (int u = 0; u < kQuadraticWindow; ++u)
            for (std::ptrdiff_t q = 0; q < kBlock; ++q) v[q] += w[u] * in[l + q + u * step];
        for (std::ptrdiff_t q = 0; q < kBlock; ++q) out[l + q] = v[q];
    }
    for (; l < count; ++l) {
        double v = 0;
        for (int u = 0; u < kQuadraticWindow; ++u) v += w[u] * in[l + u * step];
        out[l] = v;
    }
}

using TapsFunction = void (*)(const double*, std::ptrdiff_t, const double*, double*,
                              std::ptrdiff_t);

void applyTaps(const double* in, std::ptrdiff_t step, const double* w, double* out,
               std::ptrdiff_t count) {
    sumTaps(in, step, w, out, count);
}

// The filter is bound by arithmetic, not memory: vectors of four or eight values instead of the
// baseline's two halve its time or better. Each lane still multiplies and adds in the same
// order, one rounding per operation (the build never fuses them), so the values are the same
// bit for bit. Not on Windows, where the compiler does not align the stack for wide vectors.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define ONDRIFT_WIDE_TAPS 1
[[gnu::target("avx2")]] void applyTapsAvx2(const double* in, std::ptrdiff_t step, const double* w,
                                           double* out, std::ptrdiff_t count) {
    sumTaps(in, step, w, out, count);
}
[[gnu::target("avx512f")]] void applyTapsAvx512(const double* in, std::ptrdiff_t step,
                                                const double* w, double* out,
                                                std::ptrdiff_t count) {
    sumTaps(in, step, w, out, count);
}
#endif

/// The widest form of applyTaps this processor runs.
TapsFunction widestTaps() {
#ifdef ONDRIFT_WIDE_TAPS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return applyTapsAvx512;
    if (__builtin_cpu_supports("avx2")) return applyTapsAvx2;
#endif
    return applyTaps;
}

/// Filters `count` neighbouring lines of `length` (at least the window) samples each, sample
/// s of line l at [l + s*inStep] of `in` and [l + s*outStep] of `out` (which must not overlap).
/// The lines run innermost, so every tap streams through memory.
void filterLines(TapsFunction apply, const double* in, std::ptrdiff_t inStep, double* out,
                 std::ptrdiff_t outStep, int length, std::ptrdiff_t count) {
    for (int s = 0; s < length; ++s) {
        // The window lies inside the line; near its ends the fit is evaluated off-centre.
        const int first = std::clamp(s - kHalf, 0, length - kQuadraticWindow);
        apply(in + first * inStep, inStep, taps().w[s - first], out + s * outStep, count);
    }
}

/// Filters one contiguous line of `length` (at least the window) samples from `in` into `out`:
/// the centred fit runs along the line itself, the off-centre ones at its ends (single samples,
/// left to the plain form).
void filterRow(TapsFunction apply, const double* in, double* out, int length) {
    for (int s = 0; s < kHalf; ++s) applyTaps(in, 1, taps().w[s], out + s, 1);
    apply(in, 1, taps().w[kHalf], out + kHalf, length - 2 * kHalf);
    const int last = length - kQuadraticWindow;
    for (int s = length - kHalf; s < length; ++s)
        applyTaps(in + last, 1, taps().w[s - last], out + s, 1);
}

// Columns along z are filtered in blocks of this many neighbouring voxels of a plane: a block's
// whole depth then fits in the cache while it is copied out and filtered back.
constexpr std::ptrdiff_t kColumnBlock = 256;

}  // namespace

bool smoothQuadratic(Dims d, std::span<double> field) {
    if (d.x < 1 || d.y < 1 || d.z < 1 || field.size() != d.voxels()) return false;
    const std::ptrdiff_t nx = d.x, plane = static_cast<std::ptrdiff_t>(d.x) * d.y;
    double* f = field.data();
    const TapsFunction apply = widestTaps();
    // Along x and then y, slice by slice: each slice stays in the cache for both passes, and
    // the slices are independent.
    const bool alongX = d.x >= kQuadraticWindow, alongY = d.y >= kQuadraticWindow;
    if (alongX || alongY) {
        shareOut(d.z, static_cast<std::size_t>(plane),
                 [&](unsigned, long long first, long long end) {
                     std::vector<double> copy(static_cast<std::size_t>(plane));
                     for (long long z = first; z < end; ++z) {
                         double* s = f + z * plane;
                         if (alongX) {
                             for (int y = 0; y < d.y; ++y) {
                                 std::copy_n(s + y * nx, d.x, copy.begin());
                                 filterRow(apply, copy.data(), s + y * nx, d.x);
                             }
                         }
                         if (alongY) {
                             std::copy_n(s, plane, copy.begin());
                             filterLines(apply, copy.data(), nx, s, nx, d.y, nx);
                         }
                     }
                 });
    }
    if (d.z >= kQuadraticWindow) {
        const long long blocks = (plane + kColumnBlock - 1) / kColumnBlock;
        shareOut(blocks, static_cast<std::size_t>(kColumnBlock) * d.z,
                 [&](unsigned, long long first, long long end) {
                     std::vector<double> copy(static_cast<std::size_t>(kColumnBlock) * d.z);
                     for (long long b = first; b < end; ++b) {
                         const std::ptrdiff_t p0 = b * kColumnBlock;
                         const std::ptrdiff_t width = std::min(kColumnBlock, plane - p0);
                         for (int z = 0; z < d.z; ++z)
                             std::copy_n(f + z * plane + p0, width, copy.begin() + z * width);
                         filterLines(apply, copy.data(), width, f + p0, plane, d.z, width);
                     }
                 });
    }
    return true;
}

}  // namespace ondrift
