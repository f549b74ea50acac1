#include "pipeline/kernels/phase_scaling.h"

#include <cmath>

#include "pipeline/kernels/pi15.h"

namespace ondrift {

bool rescaleToRadians(std::span<double> values) {
    double lo = 0.0;
    double hi = 0.0;
    for (const double v : values) {
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    const double range = hi + std::fabs(lo);
    if (range == 0.0) return false;
    const double a = -kPi15;
    const double b = kPi15;
    const double s = (b + std::fabs(a)) / range;
    const double offset = a - s * lo;
    for (double& v : values) v = s * v + offset;
    return true;
}

void radiansToCycles(std::span<double> values) {
    for (double& v : values) v /= kTwoPi15;
}

}  // namespace ondrift
