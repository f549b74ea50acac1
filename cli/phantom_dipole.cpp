#include "cli/phantom_dipole.h"

#include <algorithm>
#include <cmath>

#include "cli/errors.h"

namespace ondrift::cli {

namespace {

constexpr double kPi = 3.141592653589793;

bool powerOfTwo(std::size_t n) { return n >= 1 && (n & (n - 1)) == 0; }

}  // namespace

namespace {

/// exp(∓2πi·k/n) for k < n/2: the twiddles of every stage, each from its exact angle (repeated
/// multiplication would drift on long transforms).
std::vector<std::complex<double>> twiddles(std::size_t n, bool inverse) {
    std::vector<std::complex<double>> w(n / 2);
    const double sign = inverse ? 1.0 : -1.0;
    for (std::size_t k = 0; k < w.size(); ++k) {
        const double angle = sign * 2.0 * kPi * static_cast<double>(k) / static_cast<double>(n);
        w[k] = {std::cos(angle), std::sin(angle)};
    }
    return w;
}

void transform(std::complex<double>* data, std::size_t n, std::size_t stride,
               const std::vector<std::complex<double>>& w) {
    auto at = [&](std::size_t i) -> std::complex<double>& { return data[i * stride]; };
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(at(i), at(j));
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::size_t half = len / 2, step = n / len;
        for (std::size_t start = 0; start < n; start += len) {
            for (std::size_t k = 0; k < half; ++k) {
                std::complex<double>& a = at(start + k);
                std::complex<double>& b = at(start + k + half);
                const std::complex<double> t = w[k * step] * b;
                b = a - t;
                a += t;
            }
        }
    }
}

}  // namespace

void fft(std::complex<double>* data, std::size_t n, std::size_t stride, bool inverse) {
    if (!powerOfTwo(n)) throw ProcessingError("internal error: FFT length is not a power of two");
    transform(data, n, stride, twiddles(n, inverse));
}

void fft3(std::vector<std::complex<double>>& grid, const std::array<int, 3>& dims, bool inverse) {
    const auto nx = static_cast<std::size_t>(dims[0]), ny = static_cast<std::size_t>(dims[1]),
               nz = static_cast<std::size_t>(dims[2]);
    if (grid.size() != nx * ny * nz) throw ProcessingError("internal error: FFT grid size");
    // Each line is copied out and back so that the butterflies work on contiguous memory.
    for (const std::size_t d : {nx, ny, nz}) {
        if (!powerOfTwo(d))
            throw ProcessingError("internal error: FFT length is not a power of two");
    }
    std::vector<std::complex<double>> line(std::max({nx, ny, nz}));
    const auto wx = twiddles(nx, inverse), wy = twiddles(ny, inverse), wz = twiddles(nz, inverse);
    for (std::size_t z = 0; z < nz; ++z) {
        for (std::size_t y = 0; y < ny; ++y) transform(grid.data() + (z * ny + y) * nx, nx, 1, wx);
    }
    for (std::size_t z = 0; z < nz; ++z) {
        for (std::size_t x = 0; x < nx; ++x) {
            const std::size_t base = z * ny * nx + x;
            for (std::size_t y = 0; y < ny; ++y) line[y] = grid[base + y * nx];
            transform(line.data(), ny, 1, wy);
            for (std::size_t y = 0; y < ny; ++y) grid[base + y * nx] = line[y];
        }
    }
    for (std::size_t y = 0; y < ny; ++y) {
        for (std::size_t x = 0; x < nx; ++x) {
            const std::size_t base = y * nx + x;
            for (std::size_t z = 0; z < nz; ++z) line[z] = grid[base + z * nx * ny];
            transform(line.data(), nz, 1, wz);
            for (std::size_t z = 0; z < nz; ++z) grid[base + z * nx * ny] = line[z];
        }
    }
}

std::vector<double> dipoleField(const std::vector<double>& chi, const std::array<int, 3>& dims,
                                const std::array<double, 3>& spacingMm) {
    std::size_t n = 1;
    for (std::size_t a = 0; a < 3; ++a) {
        const auto d = static_cast<std::size_t>(dims[a] > 0 ? dims[a] : 0);
        if (d < 2 || !powerOfTwo(d) || !(spacingMm[a] > 0) || n > kMaxDipoleVoxels / d) {
            throw InputError(
                "dipole field: the grid's extents must be powers of two of at least "
                "2, its spacing positive, and its size at most 2^25 voxels");
        }
        n *= d;
    }
    if (chi.size() != n) throw InputError("dipole field: the susceptibility does not fit the grid");
    std::vector<std::complex<double>> grid(chi.begin(), chi.end());
    fft3(grid, dims, false);
    // Spatial frequency of index m along an axis of d voxels: m or m − d (the upper half is
    // negative), over the axis' length in mm. Only squares enter, so the units cancel.
    auto frequency = [&](std::size_t a, int m) {
        const int signedIndex = m <= dims[a] / 2 ? m : m - dims[a];
        return signedIndex / (dims[a] * spacingMm[a]);
    };
    std::size_t i = 0;
    for (int z = 0; z < dims[2]; ++z) {
        const double kz = frequency(2, z);
        for (int y = 0; y < dims[1]; ++y) {
            const double ky = frequency(1, y);
            for (int x = 0; x < dims[0]; ++x, ++i) {
                const double kx = frequency(0, x);
                const double k2 = kx * kx + ky * ky + kz * kz;
                grid[i] *= k2 > 0 ? 1.0 / 3.0 - kz * kz / k2 : 0.0;
            }
        }
    }
    fft3(grid, dims, true);
    std::vector<double> field(n);
    const double scale = 1.0 / static_cast<double>(n);
    for (std::size_t j = 0; j < n; ++j) field[j] = grid[j].real() * scale;
    return field;
}

}  // namespace ondrift::cli
