#include "cli/bids/fieldmap_inputs.h"

#include <algorithm>
#include <cmath>

#include "cli/base/errors.h"

namespace ondrift::cli {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSlack = 1e-3;
// A phase that correlates with its magnitude this strongly is a magnitude image.
constexpr double kMagnitudeLikeCorrelation = 0.9;

std::pair<float, float> range(const std::vector<float>& v) {
    if (v.empty()) return {0.0f, 0.0f};
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return {*lo, *hi};
}

}  // namespace

std::vector<float> phaseInRadians(const std::vector<float>& values, float lo, float hi) {
    std::vector<float> out(values);
    const bool radians =
        (lo >= -kPi - kSlack && hi <= kPi + kSlack) || (lo >= -kSlack && hi <= 2 * kPi + kSlack);
    if (radians || !(hi > lo)) return out;
    const double scale = 2 * kPi / (static_cast<double>(hi) - lo);
    for (float& v : out) v = static_cast<float>((v - lo) * scale);
    return out;
}

std::vector<float> phaseDifference(const NiftiImage& first, const NiftiImage& second) {
    if (!first.geometry.sameGrid(second.geometry)) {
        throw InputError(second.path + ": grid differs from the one of " + first.path);
    }
    const std::size_t n = first.geometry.voxelsPerVolume();
    if (first.data.size() < n || second.data.size() < n) {
        throw InputError(first.path + ": holds fewer values than its grid");
    }
    std::vector<float> a(first.data.begin(), first.data.begin() + static_cast<long>(n));
    std::vector<float> b(second.data.begin(), second.data.begin() + static_cast<long>(n));
    // One mapping for both, so that the offset of scanner units cancels in the difference.
    const auto [alo, ahi] = range(a);
    const auto [blo, bhi] = range(b);
    const float lo = std::min(alo, blo);
    const float hi = std::max(ahi, bhi);
    a = phaseInRadians(a, lo, hi);
    b = phaseInRadians(b, lo, hi);
    std::vector<float> d(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(b[i]) - a[i];
        d[i] = static_cast<float>(x - 2 * kPi * std::floor((x + kPi) / (2 * kPi)));
    }
    return d;
}

double hertzPerUnit(const std::string& units, const std::string& what) {
    if (units == "Hz") return 1.0;
    if (units == "rad/s") return 1.0 / (2 * kPi);
    if (units == "T" || units == "Tesla") return kProtonHzPerTesla;
    throw InputError(what + ": Units \"" + units +
                     "\" of a field map is not one of Hz, rad/s and T");
}

void checkLooksLikePhase(const NiftiImage& phase, const NiftiImage* magnitude) {
    const std::size_t n = phase.geometry.voxelsPerVolume();
    if (n == 0 || phase.data.size() < n) return;
    const auto [lo, hi] = std::minmax_element(phase.data.begin(), phase.data.begin() + long(n));
    if (!(*hi > *lo)) {
        throw InputError(phase.path + ": every value is the same; this is not a phase image");
    }
    if (magnitude == nullptr || magnitude->data.size() < n ||
        !magnitude->geometry.sameGrid(phase.geometry)) {
        return;
    }
    double sp = 0, sm = 0, spp = 0, smm = 0, spm = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double p = phase.data[i], m = magnitude->data[i];
        sp += p;
        sm += m;
        spp += p * p;
        smm += m * m;
        spm += p * m;
    }
    const double count = static_cast<double>(n);
    const double cov = spm / count - sp / count * sm / count;
    const double vp = spp / count - sp / count * sp / count;
    const double vm = smm / count - sm / count * sm / count;
    if (vp > 0 && vm > 0 && cov / std::sqrt(vp * vm) > kMagnitudeLikeCorrelation) {
        throw InputError(phase.path +
                         ": follows the magnitude image closely; it looks like a magnitude "
                         "image, not a phase image");
    }
}

}  // namespace ondrift::cli
