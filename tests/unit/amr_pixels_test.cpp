// Grey levels, slice placement and the BMP bytes of AMR slices, against a slow oracle and
// hand-computed pictures.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "image/amr_pixels.h"

using namespace ondrift;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint8_t slowLevel(double v) {
    if (!std::isfinite(v)) return 0;
    const long long r = static_cast<long long>(std::floor(v + 0.5));
    return static_cast<std::uint8_t>(static_cast<unsigned long long>(r) & 0xFFu);
}

/// The enlargement written out step by step: one stream of samples over the whole slice, then
/// every output pixel from its source row.
Bytes slowEnlarge(const Bytes& levels, int size) {
    const int f = 256 / size;
    std::vector<std::uint8_t> stream;
    float p = 0.0f;
    for (std::uint8_t c : levels) {
        for (int j = 0; j < f; ++j) {
            float sample = p + static_cast<float>(j) * ((static_cast<float>(c) - p) / f);
            stream.push_back(slowLevel(sample));
        }
        p = c;
    }
    auto R = [&](int y, int x) { return int{stream[static_cast<std::size_t>(y) * 256 + x]}; };
    Bytes out(65536);
    for (int row = 0; row < 256; ++row) {
        const int y = row / f;
        for (int x = 0; x < 256; ++x) {
            int v = R(y, x);
            if (y > 0 && y < size - 1) v = (R(y - 1, x) + R(y, x) + R(y + 1, x)) / 3;
            if (y > 0 && y == size - 1) v = (R(y - 1, x) + R(y, x)) / 2;
            out[static_cast<std::size_t>(row) * 256 + x] = static_cast<std::uint8_t>(v);
        }
    }
    return out;
}

Bytes compose(const Bytes& levels, int w, int h) {
    Bytes ramped(65536);
    Bytes pixels(65536, 0xAB);  // garbage that must be overwritten
    composeAmrSlice(levels, w, h, ramped, pixels);
    return pixels;
}

}  // namespace

TEST(AmrLevels, RoundHalfUpKeepLowByteAndZeroNonFinite) {
    EXPECT_EQ(amrLevel(254.5), 255);
    EXPECT_EQ(amrLevel(254.49), 254);
    EXPECT_EQ(amrLevel(0.5), 1);
    EXPECT_EQ(amrLevel(0.4999), 0);
    EXPECT_EQ(amrLevel(255.4), 255);
    EXPECT_EQ(amrLevel(255.5), 0);   // 256: its low byte
    EXPECT_EQ(amrLevel(-1.0), 255);  // two's complement low byte
    EXPECT_EQ(amrLevel(-0.6), 255);
    EXPECT_EQ(amrLevel(1e300), 0);  // huge but finite: a multiple of 256, no undefined cast
    EXPECT_EQ(amrLevel(std::numeric_limits<double>::quiet_NaN()), 0);
    EXPECT_EQ(amrLevel(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(amrLevel(-std::numeric_limits<double>::infinity()), 0);
}

TEST(AmrPlacement, ChoosesByShape) {
    EXPECT_EQ(amrPlacement(256, 256), AmrPlacement::Direct);
    for (int s : {1, 2, 4, 8, 16, 32, 64, 128}) {
        EXPECT_EQ(amrPlacement(s, s), AmrPlacement::Enlarged) << s;
    }
    EXPECT_EQ(amrPlacement(100, 100), AmrPlacement::Centred);
    EXPECT_EQ(amrPlacement(64, 32), AmrPlacement::Centred);
    EXPECT_EQ(amrPlacement(256, 128), AmrPlacement::Centred);
    EXPECT_EQ(amrPlacement(0, 0), AmrPlacement::Centred);
    EXPECT_EQ(amrPlacement(257, 10), AmrPlacement::TooLarge);
    EXPECT_EQ(amrPlacement(10, 300), AmrPlacement::TooLarge);
    EXPECT_EQ(amrPlacement(-5, 10), AmrPlacement::TooLarge);
}

TEST(AmrEnlarge, ConstantSixtyFourSquareRampsInFromBlackAndAveragesRows) {
    const Bytes levels(64 * 64, 100);
    const Bytes px = compose(levels, 64, 64);
    // Row 0 of the ramp starts from 0: 0, 25, 50, 75, then 100. Every later row starts from
    // the 100 the row above ended on.
    for (int row = 0; row < 4; ++row) {
        const std::uint8_t* r = &px[static_cast<std::size_t>(row) * 256];
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(r[1], 25);
        EXPECT_EQ(r[2], 50);
        EXPECT_EQ(r[3], 75);
        EXPECT_EQ(r[4], 100);
        EXPECT_EQ(r[255], 100);
    }
    // Rows 4…7 average ramp rows 0, 1 and 2: (0 + 200) / 3, (25 + 200) / 3, ...
    for (int row = 4; row < 8; ++row) {
        const std::uint8_t* r = &px[static_cast<std::size_t>(row) * 256];
        EXPECT_EQ(r[0], 66);
        EXPECT_EQ(r[1], 75);
        EXPECT_EQ(r[2], 83);
        EXPECT_EQ(r[3], 91);
        EXPECT_EQ(r[4], 100);
    }
    for (std::size_t i = 8 * 256; i < 65536; ++i) ASSERT_EQ(px[i], 100) << i;
}

TEST(AmrEnlarge, LastRowsAverageTheLastTwoRampRows) {
    Bytes levels(64 * 64, 0);
    for (int x = 0; x < 64; ++x) {
        levels[62 * 64 + x] = 10;
        levels[63 * 64 + x] = 201;
    }
    const Bytes px = compose(levels, 64, 64);
    // Column 8 onward of each ramp row is flat; the last four rows are (10 + 201) / 2.
    for (int row = 252; row < 256; ++row) EXPECT_EQ(px[row * 256 + 100], 105);
    for (int row = 248; row < 252; ++row) EXPECT_EQ(px[row * 256 + 100], (0 + 10 + 201) / 3);
}

TEST(AmrEnlarge, SingleFloatStepsRoundHalfUp) {
    // From 0 to 1 over four samples: 0, 0.25, 0.5, 0.75 round to 0, 0, 1, 1.
    Bytes levels(64 * 64, 0);
    levels[0] = 1;
    const Bytes px = compose(levels, 64, 64);
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[1], 0);
    EXPECT_EQ(px[2], 1);
    EXPECT_EQ(px[3], 1);
    // The next level ramps back down from 1: 1, 0.75, 0.5, 0.25.
    EXPECT_EQ(px[4], 1);
    EXPECT_EQ(px[5], 1);
    EXPECT_EQ(px[6], 1);
    EXPECT_EQ(px[7], 0);
}

TEST(AmrEnlarge, MatchesSlowOracleForEveryDividingSize) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> level(0, 255);
    for (int size : {1, 2, 4, 8, 16, 32, 64, 128}) {
        Bytes levels(static_cast<std::size_t>(size) * size);
        for (auto& l : levels) l = static_cast<std::uint8_t>(level(rng));
        EXPECT_EQ(compose(levels, size, size), slowEnlarge(levels, size)) << size;
    }
}

TEST(AmrCompose, DirectCentredAndTooLarge) {
    Bytes levels(65536);
    for (std::size_t i = 0; i < levels.size(); ++i) levels[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(compose(levels, 256, 256), levels);

    // 100 columns, 50 rows: centred at column 78, row 103; everything else black.
    Bytes small(100 * 50);
    for (std::size_t i = 0; i < small.size(); ++i)
        small[i] = static_cast<std::uint8_t>(1 + i % 250);
    const Bytes px = compose(small, 100, 50);
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 256; ++x) {
            const bool inside = x >= 78 && x < 178 && y >= 103 && y < 153;
            const std::uint8_t expected = inside ? small[(y - 103) * 100 + (x - 78)] : 0;
            ASSERT_EQ(px[y * 256 + x], expected) << x << "," << y;
        }
    }
    // A square that does not divide 256 is centred too: 100×100 starts at (78, 78).
    const Bytes square(100 * 100, 9);
    const Bytes sq = compose(square, 100, 100);
    EXPECT_EQ(sq[78 * 256 + 78], 9);
    EXPECT_EQ(sq[177 * 256 + 177], 9);
    EXPECT_EQ(sq[77 * 256 + 78], 0);
    EXPECT_EQ(sq[178 * 256 + 177], 0);

    EXPECT_EQ(compose(Bytes{}, 300, 300), Bytes(65536, 0));
    EXPECT_EQ(compose(Bytes{}, 0, 0), Bytes(65536, 0));
}

TEST(AmrBmp, HeaderAndPaletteBytes) {
    // "BM", file size 66614, two reserved 0, pixels at 1078, info header 40, 256 × 256, one
    // plane, 8 bits, no compression, 65536 bytes, 2834 × 2834 pixels per metre, 256 colours.
    const std::array<std::uint8_t, 54> expected = {
        0x42, 0x4D, 0x36, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x04, 0x00, 0x00,
        0x28, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00,
        0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x12, 0x0B, 0x00, 0x00,
        0x12, 0x0B, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(bmpHeaderBytes(), expected);

    const auto p = greyPaletteBytes();
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(p[4 * i], i);
        EXPECT_EQ(p[4 * i + 1], i);
        EXPECT_EQ(p[4 * i + 2], i);
        EXPECT_EQ(p[4 * i + 3], 0);
    }
}
