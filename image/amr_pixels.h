// The pixel side of AMR files: grey levels from rescaled values, the placement of one slice in
// the 256×256 frame (direct, enlarged or centred), and the bytes of the BMP header and palette.
//
// Pure functions on caller buffers: no host, no logging, no allocation.
#ifndef ONDRIFT_IMAGE_AMR_PIXELS_H
#define ONDRIFT_IMAGE_AMR_PIXELS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ondrift {

/// Every AMR slice picture is 256 × 256 pixels, one byte each.
inline constexpr int kAmrSide = 256;
inline constexpr std::size_t kAmrSlicePixels = 65536;
inline constexpr std::size_t kBmpHeaderBytes = 54;
inline constexpr std::size_t kBmpPaletteBytes = 1024;
/// One complete BMP image: header, palette and pixels.
inline constexpr std::size_t kBmpImageBytes = kBmpHeaderBytes + kBmpPaletteBytes + kAmrSlicePixels;
static_assert(kBmpImageBytes == 66614);

/// How a slice of w columns and h rows lands in the 256×256 frame.
enum class AmrPlacement {
    Direct,    ///< 256 × 256: the levels are the pixels
    Enlarged,  ///< square, its size divides 256: ramped along x, row-averaged along y
    Centred,   ///< any other slice up to 256 × 256: levels copied into the middle of the frame
    TooLarge,  ///< wider or taller than 256: no pixels
};

AmrPlacement amrPlacement(int w, int h);

/// The grey level of a value already mapped onto 0…255: the low byte of floor(value + 0.5).
/// Not-a-number and infinities give 0, so a damaged value can never become an arbitrary level.
std::uint8_t amrLevel(double value);

/// amrLevel of every value; `levels` holds at least values.size() bytes.
void amrLevels(std::span<const double> values, std::span<std::uint8_t> levels);

/// Enlarges a square slice of size·size levels (256 divisible by size, size < 256) to 256×256.
/// Along x a single-precision running value ramps from the previous level to each level over
/// f = 256 / size samples; it carries over from row to row and starts at 0 once per slice.
/// Along y each ramped row is repeated f times, averaged in integers with its neighbours.
/// `ramped` is scratch of at least size·256 bytes; `pixels` receives 65536 bytes.
void enlargeSquareSlice(std::span<const std::uint8_t> levels, int size,
                        std::span<std::uint8_t> ramped, std::span<std::uint8_t> pixels);

/// Fills `pixels` (65536 bytes) with the picture of one slice of w·h levels, x fastest: direct,
/// enlarged or centred at ((256 − w) / 2, (256 − h) / 2); black when the slice is too large.
/// `ramped` is scratch for the enlargement (at least 65536 bytes covers every size).
void composeAmrSlice(std::span<const std::uint8_t> levels, int w, int h,
                     std::span<std::uint8_t> ramped, std::span<std::uint8_t> pixels);

/// The 54 header bytes of one 256×256 8-bit BMP image, little-endian.
std::array<std::uint8_t, kBmpHeaderBytes> bmpHeaderBytes();
/// The grey palette: for i = 0…255 the bytes i, i, i, 0.
std::array<std::uint8_t, kBmpPaletteBytes> greyPaletteBytes();

}  // namespace ondrift

#endif
