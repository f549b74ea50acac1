// The field of a susceptibility distribution, by the dipole kernel in Fourier space, for the
// susceptibility phantom. The command may only use its allowed packages, so the FFT is here.
#ifndef ONDRIFT_CLI_PHANTOM_DIPOLE_H
#define ONDRIFT_CLI_PHANTOM_DIPOLE_H

#include <array>
#include <complex>
#include <cstddef>
#include <vector>

namespace ondrift::cli {

/// Largest grid the dipole field is computed on: 2^25 voxels (512 MiB of complex doubles).
inline constexpr std::size_t kMaxDipoleVoxels = std::size_t(1) << 25;

/// In-place discrete Fourier transform of `n` values `stride` apart, n a power of two:
/// X[k] = Σ x[j]·exp(∓2πi·jk/n), the minus sign forward; the inverse is not scaled.
void fft(std::complex<double>* data, std::size_t n, std::size_t stride, bool inverse);

/// The 3-D transform of a grid stored with i fastest (each extent a power of two).
void fft3(std::vector<std::complex<double>>& grid, const std::array<int, 3>& dims, bool inverse);

/// The relative field δB/B0 (in the units of `chi`) that the susceptibility `chi` (i fastest,
/// voxels of `spacingMm`, B0 along the grid's third axis) produces, as seen by the nuclei:
/// FT⁻¹[D·FT[χ]] with D = 1/3 − kz²/k², which includes the Lorentz sphere's correction (so
/// the inside of a uniform sphere sees no change), and D(0) = 0 (the mean over the periodic
/// grid is zero). Pad the distribution: the grid repeats periodically. Extents must be powers
/// of two, at least 2, and the grid at most kMaxDipoleVoxels.
std::vector<double> dipoleField(const std::vector<double>& chi, const std::array<int, 3>& dims,
                                const std::array<double, 3>& spacingMm);

}  // namespace ondrift::cli

#endif
