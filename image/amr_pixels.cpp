#include "image/amr_pixels.h"

#include <algorithm>
#include <cmath>

namespace ondrift {
namespace {

void putLE16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFFu);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void putLE32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
}

}  // namespace

AmrPlacement amrPlacement(int w, int h) {
    if (w == kAmrSide && h == kAmrSide) return AmrPlacement::Direct;
    // A negative extent here means a dimension beyond the signed range: far too large.
    if (w < 0 || h < 0 || w > kAmrSide || h > kAmrSide) return AmrPlacement::TooLarge;
    if (w == h && w > 0 && kAmrSide % w == 0) return AmrPlacement::Enlarged;
    return AmrPlacement::Centred;
}

std::uint8_t amrLevel(double value) {
    const double rounded = std::floor(value + 0.5);
    if (!std::isfinite(rounded)) return 0;
    if (rounded >= 0.0 && rounded < 256.0) return static_cast<std::uint8_t>(rounded);
    // The low byte of the integer, as two's complement would keep it; fmod is exact and, unlike
    // a cast, defined for every finite double.
    double low = std::fmod(rounded, 256.0);
    if (low < 0.0) low += 256.0;
    return static_cast<std::uint8_t>(low);
}

void amrLevels(std::span<const double> values, std::span<std::uint8_t> levels) {
    const std::size_t n = std::min(values.size(), levels.size());
    for (std::size_t i = 0; i < n; ++i) levels[i] = amrLevel(values[i]);
}

void enlargeSquareSlice(std::span<const std::uint8_t> levels, int size,
                        std::span<std::uint8_t> ramped, std::span<std::uint8_t> pixels) {
    const int f = kAmrSide / size;
    const std::size_t side = kAmrSide;

    // Along x. The ramp runs in single precision and is not reset between rows, so the first
    // samples of a row climb from the last level of the row above. AMR pictures are compared
    // byte for byte, so both the float steps and the carried-over start are deliberate.
    float previous = 0.0f;
    for (int y = 0; y < size; ++y) {
        std::uint8_t* row = ramped.data() + static_cast<std::size_t>(y) * side;
        const std::uint8_t* in = levels.data() + static_cast<std::size_t>(y) * size;
        for (int x = 0; x < size; ++x) {
            const float level = static_cast<float>(in[x]);
            const float step = (level - previous) / static_cast<float>(f);
            for (int j = 0; j < f; ++j) {
                const float sample = previous + static_cast<float>(j) * step;
                row[x * f + j] = amrLevel(static_cast<double>(sample));
            }
            previous = level;
        }
    }

    // Along y: every ramped row is repeated f times, averaged with its neighbours in integers.
    for (int y = 0; y < size; ++y) {
        const std::uint8_t* above =
            ramped.data() + static_cast<std::size_t>(y > 0 ? y - 1 : 0) * side;
        const std::uint8_t* here = ramped.data() + static_cast<std::size_t>(y) * side;
        const std::uint8_t* below =
            ramped.data() + static_cast<std::size_t>(y < size - 1 ? y + 1 : y) * side;
        std::uint8_t* out = pixels.data() + static_cast<std::size_t>(y) * f * side;
        for (std::size_t x = 0; x < side; ++x) {
            unsigned value = here[x];
            if (y > 0 && y < size - 1) {
                value = (unsigned{above[x]} + here[x] + below[x]) / 3u;
            } else if (y > 0) {
                value = (unsigned{above[x]} + here[x]) / 2u;
            }
            out[x] = static_cast<std::uint8_t>(value);
        }
        for (int r = 1; r < f; ++r) {
            std::copy_n(out, side, out + static_cast<std::size_t>(r) * side);
        }
    }
}

void composeAmrSlice(std::span<const std::uint8_t> levels, int w, int h,
                     std::span<std::uint8_t> ramped, std::span<std::uint8_t> pixels) {
    std::fill_n(pixels.data(), kAmrSlicePixels, std::uint8_t{0});
    switch (amrPlacement(w, h)) {
        case AmrPlacement::Direct:
            std::copy_n(levels.data(), kAmrSlicePixels, pixels.data());
            break;
        case AmrPlacement::Enlarged: enlargeSquareSlice(levels, w, ramped, pixels); break;
        case AmrPlacement::Centred: {
            const int left = (kAmrSide - w) / 2;
            const int top = (kAmrSide - h) / 2;
            for (int y = 0; y < h; ++y) {
                std::copy_n(levels.data() + static_cast<std::size_t>(y) * w, w,
                            pixels.data() + static_cast<std::size_t>(top + y) * kAmrSide + left);
            }
            break;
        }
        case AmrPlacement::TooLarge: break;
    }
}

std::array<std::uint8_t, kBmpHeaderBytes> bmpHeaderBytes() {
    std::array<std::uint8_t, kBmpHeaderBytes> b{};
    b[0] = 0x42;  // "B"
    b[1] = 0x4D;  // "M"
    putLE32(&b[2], static_cast<std::uint32_t>(kBmpImageBytes));
    putLE16(&b[6], 0);
    putLE16(&b[8], 0);
    putLE32(&b[10], static_cast<std::uint32_t>(kBmpHeaderBytes + kBmpPaletteBytes));
    putLE32(&b[14], 40);  // info header size
    putLE32(&b[18], kAmrSide);
    putLE32(&b[22], kAmrSide);
    putLE16(&b[26], 1);  // planes
    putLE16(&b[28], 8);  // bits per pixel
    putLE32(&b[30], 0);  // no compression
    putLE32(&b[34], static_cast<std::uint32_t>(kAmrSlicePixels));
    putLE32(&b[38], 2834);  // 72 dots per inch, in pixels per metre
    putLE32(&b[42], 2834);
    putLE32(&b[46], 256);  // colours used
    putLE32(&b[50], 256);  // important colours
    return b;
}

std::array<std::uint8_t, kBmpPaletteBytes> greyPaletteBytes() {
    std::array<std::uint8_t, kBmpPaletteBytes> p{};
    for (std::size_t i = 0; i < 256; ++i) {
        p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = static_cast<std::uint8_t>(i);
        p[4 * i + 3] = 0;
    }
    return p;
}

}  // namespace ondrift
