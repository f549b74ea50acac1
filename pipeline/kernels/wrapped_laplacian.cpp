#include "pipeline/kernels/wrapped_laplacian.h"

#include <cmath>
#include <cstddef>

#include "pipeline/kernels/pi15.h"

namespace ondrift {

namespace {

// Floored modulo by the 15-digit 2π, into [0, 2π).
inline double modTwoPi(double v) { return v - std::floor(v / kTwoPi15) * kTwoPi15; }

inline int successor(int q, int n) { return q == n - 1 ? 0 : q + 1; }
inline int predecessor(int q, int n) { return q == 0 ? n - 1 : q - 1; }

}  // namespace

void wrappedForwardDifference(Dims d, std::span<const double> f, Axis axis, std::span<double> g) {
    for (int z = 0; z < d.z; ++z) {
        for (int y = 0; y < d.y; ++y) {
            for (int x = 0; x < d.x; ++x) {
                const std::size_t p = d.index(x, y, z);
                // The x difference groups its terms differently from y and z; both are kept as
                // they are because the rounding of the wrapped values depends on it.
                switch (axis) {
                    case Axis::X:
                        g[p] = modTwoPi(f[p] - f[d.index(successor(x, d.x), y, z)] - kPi15) + kPi15;
                        break;
                    case Axis::Y:
                        g[p] =
                            modTwoPi(f[p] - (f[d.index(x, successor(y, d.y), z)] - kPi15)) + kPi15;
                        break;
                    case Axis::Z:
                        g[p] =
                            modTwoPi(f[p] - (f[d.index(x, y, successor(z, d.z))] - kPi15)) + kPi15;
                        break;
                }
            }
        }
    }
}

void addBackwardDifference(Dims d, std::span<const double> g, Axis axis, std::span<double> out) {
    for (int z = 0; z < d.z; ++z) {
        for (int y = 0; y < d.y; ++y) {
            for (int x = 0; x < d.x; ++x) {
                std::size_t q = 0;
                switch (axis) {
                    case Axis::X: q = d.index(predecessor(x, d.x), y, z); break;
                    case Axis::Y: q = d.index(x, predecessor(y, d.y), z); break;
                    case Axis::Z: q = d.index(x, y, predecessor(z, d.z)); break;
                }
                const std::size_t p = d.index(x, y, z);
                out[p] += g[p] - g[q];
            }
        }
    }
}

}  // namespace ondrift
