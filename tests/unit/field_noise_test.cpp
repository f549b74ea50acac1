// The field estimate's noise level, through the conditioning step: read from a background of
// complex noise where the magnitude has one, from the phase's own differences where the
// background was set to zero, and the same either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "binding/host_api.h"
#include "host/standin.h"
#include "host/workspace.h"
#include "pipeline/field_conditioning.h"

using namespace ondrift;

namespace {

constexpr int kX = 36, kY = 36, kZ = 20;
constexpr double kNoise = 60.0;  // per component of the complex signal; the head is 1000

struct Measured {
    std::vector<double> cycles, magnitude;
    double truth = 0;  // the phase noise (rad) at the mask's median magnitude
};

/// A head of 1000 whose signal falls towards its rim, a smooth field under half a cycle, and
/// complex noise on everything; `zeroed` sets the background to zero as some scanners store it.
Measured measure(bool zeroed) {
    Measured m;
    std::mt19937 random(3);
    std::normal_distribution<double> normal(0.0, kNoise);
    std::vector<double> inMask;
    for (int z = 0; z < kZ; ++z)
        for (int y = 0; y < kY; ++y)
            for (int x = 0; x < kX; ++x) {
                const double u = (x - 17.5) / 15, v = (y - 17.5) / 15, w = (z - 9.5) / 8;
                const double r = u * u + v * v + w * w;
                const double signal = r < 1 ? 1000 * (1.3 - r) : 0;
                const double phase = 6.28318530717958 * (0.3 * u + 0.2 * v * v - 0.1 * w * u);
                const double re = signal * std::cos(phase) + normal(random);
                const double im = signal * std::sin(phase) + normal(random);
                const bool background = zeroed && r >= 1;
                m.magnitude.push_back(background ? 0.0 : std::hypot(re, im));
                m.cycles.push_back(background ? 0.0 : std::atan2(im, re) / 6.28318530717958);
                if (m.magnitude.back() > 200) inMask.push_back(m.magnitude.back());
            }
    std::nth_element(inMask.begin(), inMask.begin() + inMask.size() / 2, inMask.end());
    m.truth = kNoise / inMask[inMask.size() / 2];
    return m;
}

/// The conditioning's log entry for the noise (rad): the value used, the background's and the
/// phase's.
std::array<double, 3> estimatedNoise(const Measured& m) {
    standin::clearAll();
    standin::workspace().quiet = true;
    Image magnitude(m.magnitude, kX, kY, kZ, 1, 8);
    Image unwrapped(m.cycles, kX, kY, kZ, 1, 8);
    magnitude.setStatus(Valid);
    unwrapped.setStatus(Valid);
    std::string error;
    EXPECT_TRUE(conditionFieldMap(unwrapped, magnitude, Conditioning::Estimated, 0.0, &error));
    for (const std::string& line : standin::session().log) {
        const auto at = line.find("median magnitude (rad): ");
        std::array<double, 3> found{};
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at,
                        "median magnitude (rad): %lf (the %*[a-z]; from the background %lf, "
                        "from the phase's differences %lf)",
                        &found[0], &found[1], &found[2]) == 3)
            return found;
    }
    return {};
}

TEST(FieldNoise, ComesFromTheBackgroundAndWithoutOneFromThePhase) {
    ASSERT_TRUE(bindHostFunctions());
    const Measured noisy = measure(false), zeroed = measure(true);
    const auto fromNoisy = estimatedNoise(noisy);
    EXPECT_NEAR(fromNoisy[1], noisy.truth, 0.05 * noisy.truth);
    EXPECT_NEAR(fromNoisy[2], noisy.truth, 0.05 * noisy.truth);
    EXPECT_NEAR(fromNoisy[0], std::min(fromNoisy[1], fromNoisy[2]), 1e-5);
    const auto fromZeroed = estimatedNoise(zeroed);
    EXPECT_EQ(fromZeroed[1], 0.0);  // no background to read
    EXPECT_NEAR(fromZeroed[0], zeroed.truth, 0.05 * zeroed.truth);
    standin::clearAll();
}

}  // namespace
