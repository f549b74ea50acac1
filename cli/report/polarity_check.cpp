#include "cli/report/polarity_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>

#include "cli/base/phase_encoding.h"

namespace ondrift::cli {

namespace {

// The opposite sign counts as clearly better when its score is higher by this share of the
// scores' level (and by a small absolute amount, for images with little in common).
constexpr double kClearlyBetterShare = 0.03;
constexpr double kClearlyBetterAtLeast = 0.003;
// The head mask grown by this many voxels: the comparison needs the background around the
// head, whose border is the structure both images share most surely.
constexpr int kBorderVoxels = 4;

}  // namespace

std::vector<float> shiftAlong(const Volume& image, std::span<const float> shift, int direction) {
    std::vector<float> out(image.voxels(), 0.0f);
    if (image.empty() || shift.size() < image.voxels() || !isDirectionCode(direction)) {
        return out;
    }
    const int axis = directionAxis(direction);
    const double sign = isPositiveDirection(direction) ? 1.0 : -1.0;
    const int n = image.dims[axis];
    const std::size_t stride = axis == 0   ? 1
                               : axis == 1 ? static_cast<std::size_t>(image.dims[0])
                                           : static_cast<std::size_t>(image.dims[0]) *
                                                 static_cast<std::size_t>(image.dims[1]);
    const float* values = image.values.data();
    std::size_t i = 0;
    for (int z = 0; z < image.dims[2]; ++z) {
        for (int y = 0; y < image.dims[1]; ++y) {
            for (int x = 0; x < image.dims[0]; ++x, ++i) {
                const int c = axis == 0 ? x : axis == 1 ? y : z;
                const float* line = values + (i - static_cast<std::size_t>(c) * stride);
                const double s = std::isfinite(shift[i]) ? shift[i] : 0.0;
                const double p = std::clamp(c + sign * s, 0.0, double(n - 1));
                const int i0 = static_cast<int>(p);  // p ≥ 0: the floor
                const int i1 = std::min(i0 + 1, n - 1);
                const double f = p - i0;
                const double v0 = line[static_cast<std::size_t>(i0) * stride];
                const double v1 = line[static_cast<std::size_t>(i1) * stride];
                out[i] = static_cast<float>((1 - f) * v0 + f * v1);
            }
        }
    }
    return out;
}

namespace {

// Growing a mask step by step onto the six neighbours reaches exactly the voxels within a
// city-block distance of `steps` from it. That distance separates into one pass forward and one
// backward along each axis in turn (capped, in bytes), instead of a sweep over every set voxel's
// neighbours per step.
// One row (or plane) of distances against its neighbour's, in blocks of a fixed length copied
// aside, which the compiler turns into vector instructions.
void relaxRow(unsigned char* to, const unsigned char* from, std::size_t n, unsigned char far) {
    constexpr std::size_t kBlock = 32;
    const auto relaxed = [far](unsigned char t, unsigned char f) {
        const unsigned char next = f < far ? static_cast<unsigned char>(f + 1) : far;
        return t < next ? t : next;
    };
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        unsigned char a[kBlock], b[kBlock];
        std::memcpy(a, to + i, kBlock);
        std::memcpy(b, from + i, kBlock);
        for (std::size_t j = 0; j < kBlock; ++j) a[j] = relaxed(a[j], b[j]);
        std::memcpy(to + i, a, kBlock);
    }
    for (; i < n; ++i) to[i] = relaxed(to[i], from[i]);
}

std::vector<unsigned char> grown(const Volume& grid, std::vector<unsigned char> mask, int steps) {
    if (steps <= 0 || mask.size() != grid.voxels() || mask.empty()) return mask;
    constexpr int kMostPerPass = 254;  // distances and the cap fit in a byte
    if (steps > kMostPerPass) {
        return grown(grid, grown(grid, std::move(mask), kMostPerPass), steps - kMostPerPass);
    }
    const auto far = static_cast<unsigned char>(steps + 1);
    std::vector<unsigned char> d(mask.size());
    for (std::size_t i = 0; i < mask.size(); ++i) d[i] = mask[i] != 0 ? 0 : far;
    const std::size_t nx = static_cast<std::size_t>(grid.dims[0]);
    const std::size_t ny = static_cast<std::size_t>(grid.dims[1]);
    const std::size_t nz = static_cast<std::size_t>(grid.dims[2]);
    const auto relax = [far](unsigned char& to, unsigned char from) {
        const unsigned char next = from < far ? static_cast<unsigned char>(from + 1) : far;
        if (next < to) to = next;
    };
    // Along i: within each row.
    for (std::size_t row = 0; row < ny * nz; ++row) {
        unsigned char* r = d.data() + row * nx;
        for (std::size_t x = 1; x < nx; ++x) relax(r[x], r[x - 1]);
        for (std::size_t x = nx - 1; x-- > 0;) relax(r[x], r[x + 1]);
    }
    // Along j and k: whole rows (or planes) against their neighbours, the inner loop contiguous.
    const auto along = [&](std::size_t count, std::size_t stride, std::size_t blocks,
                           std::size_t blockSize) {
        for (std::size_t b = 0; b < blocks; ++b) {
            unsigned char* base = d.data() + b * blockSize;
            for (std::size_t k = 1; k < count; ++k) {
                unsigned char* to = base + k * stride;
                relaxRow(to, to - stride, stride, far);
            }
            for (std::size_t k = count - 1; k-- > 0;) {
                unsigned char* to = base + k * stride;
                relaxRow(to, to + stride, stride, far);
            }
        }
    };
    along(ny, nx, nz, nx * ny);
    along(nz, nx * ny, 1, nx * ny * nz);
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = d[i] <= steps ? 1 : 0;
    return mask;
}

}  // namespace

std::vector<unsigned char> headMask(const Volume& image, int grow) {
    if (image.empty()) return std::vector<unsigned char>(image.voxels(), 0);
    return headMask(image, grow, percentileOf(image.values, 0.98));
}

std::vector<unsigned char> headMask(const Volume& image, int grow, float percentile98) {
    std::vector<unsigned char> mask(image.voxels(), 0);
    if (image.empty()) return mask;
    const float level = 0.1f * percentile98;
    if (!(level > 0)) return mask;
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = image.values[i] > level ? 1 : 0;
    return grown(image, std::move(mask), grow);
}

namespace {

constexpr int kBins = 32;

// The bins span each image's 1st to 99th percentile inside the mask; NaN ends when it holds no
// finite value.
struct BinRange {
    float lo = 0, hi = 0;
    bool usable() const { return hi > lo; }
};

// The voxels of a mask, in order: the comparisons visit only these.
std::vector<std::size_t> voxelsOf(const std::vector<unsigned char>& mask) {
    std::vector<std::size_t> voxels;
    voxels.reserve(static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1)));
    for (std::size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] != 0) voxels.push_back(i);
    }
    return voxels;
}

BinRange binRange(const Volume& v, const std::vector<std::size_t>& voxels) {
    std::vector<float> inside;
    inside.reserve(voxels.size());
    for (std::size_t i : voxels) {
        if (std::isfinite(v.values[i])) inside.push_back(v.values[i]);
    }
    const std::vector<float> p = percentilesOf(inside, {0.01, 0.99});
    return {p[0], p[1]};
}

bool comparable(const Volume& a, const Volume& b, const std::vector<unsigned char>& mask) {
    return !a.empty() && !b.empty() && a.dims == b.dims && mask.size() == a.voxels();
}

double mutualInformation(const Volume& a, BinRange ra, const Volume& b, BinRange rb,
                         const std::vector<std::size_t>& voxels) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (!ra.usable() || !rb.usable()) return kNaN;
    auto bin = [](float v, float lo, float hi) {
        const double t = (double(v) - lo) / (double(hi) - lo);
        return std::clamp(static_cast<int>(t * kBins), 0, kBins - 1);
    };
    std::vector<double> joint(kBins * kBins, 0.0), pa(kBins, 0.0), pb(kBins, 0.0);
    double n = 0;
    for (std::size_t i : voxels) {
        if (!std::isfinite(a.values[i]) || !std::isfinite(b.values[i])) continue;
        const int x = bin(a.values[i], ra.lo, ra.hi), y = bin(b.values[i], rb.lo, rb.hi);
        joint[static_cast<std::size_t>(x * kBins + y)] += 1;
        pa[static_cast<std::size_t>(x)] += 1;
        pb[static_cast<std::size_t>(y)] += 1;
        n += 1;
    }
    if (n < 2) return kNaN;
    auto entropy = [n](const std::vector<double>& counts) {
        double h = 0;
        for (double c : counts) {
            if (c > 0) h -= c / n * std::log(c / n);
        }
        return h;
    };
    const double ha = entropy(pa), hb = entropy(pb), hab = entropy(joint);
    return hab > 0 ? (ha + hb) / hab - 1.0 : kNaN;  // normalised: 0 independent, 1 identical
}

}  // namespace

double mutualInformation(const Volume& a, const Volume& b, const std::vector<unsigned char>& mask) {
    if (!comparable(a, b, mask)) return std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::size_t> voxels = voxelsOf(mask);
    return mutualInformation(a, binRange(a, voxels), b, binRange(b, voxels), voxels);
}

nlohmann::json PolarityCheck::toJson() const {
    const char* names[] = {"not done", "consistent", "opposite sign better", "undecided"};
    nlohmann::json j = {{"verdict", names[static_cast<int>(verdict)]}, {"reason", reason}};
    if (verdict == Verdict::NotDone) return j;
    j["measure"] = "normalised mutual information with the magnitude image, in and around the head";
    j["used"] = bidsDirection(used);
    j["opposite"] = bidsDirection(oppositeDirection(used));
    j["scoreUncorrected"] = uncorrected;
    j["scoreUsed"] = usedScore;
    j["scoreOpposite"] = oppositeScore;
    j["maskVoxels"] = maskVoxels;
    return j;
}

PolarityCheck checkPolarity(const Volume& meanEpi, const Volume& shift, const Volume& magnitude,
                            int used) {
    PolarityCheck check;
    check.used = used;
    if (!isDirectionCode(used)) {
        check.reason = "no phase-encoding direction";
        return check;
    }
    if (meanEpi.empty() || shift.empty() || magnitude.empty() || meanEpi.dims != shift.dims ||
        meanEpi.dims != magnitude.dims) {
        check.reason = "the images it needs are missing or lie on different grids";
        return check;
    }
    Volume epi = meanEpi;
    replaceNonFinite(epi.values);
    Volume mag = magnitude;
    replaceNonFinite(mag.values);
    const std::vector<unsigned char> mask = headMask(epi, kBorderVoxels);
    check.maskVoxels = static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1));
    if (check.maskVoxels < 8) {
        check.reason = "the functional image shows no head (its mask is empty)";
        return check;
    }
    // The magnitude's bins are the same for the three comparisons.
    const std::vector<std::size_t> voxels = voxelsOf(mask);
    const BinRange magRange = binRange(mag, voxels);
    const auto score = [&](const Volume& image) {
        return mutualInformation(image, binRange(image, voxels), mag, magRange, voxels);
    };
    const auto resampledScore = [&](int direction) {
        Volume moved = epi;
        moved.values = shiftAlong(epi, shift.values, direction);
        return score(moved);
    };
    // The three comparisons are independent: the opposite sign's on a thread of its own.
    std::future<double> opposite =
        std::async(std::launch::async, resampledScore, oppositeDirection(used));
    check.uncorrected = score(epi);
    check.usedScore = resampledScore(used);
    check.oppositeScore = opposite.get();
    if (!std::isfinite(check.usedScore) || !std::isfinite(check.oppositeScore)) {
        check.verdict = PolarityCheck::Verdict::NotDone;
        check.reason = "an image is flat inside the head; the scores cannot be computed";
        return check;
    }
    const double margin = check.oppositeScore - check.usedScore;
    const double needed = std::max(
        kClearlyBetterAtLeast,
        kClearlyBetterShare * 0.5 * (std::fabs(check.usedScore) + std::fabs(check.oppositeScore)));
    if (margin > needed) {
        check.verdict = PolarityCheck::Verdict::OppositeBetter;
        check.reason =
            "the opposite sign matches the magnitude image clearly better: the "
            "phase-encoding sign in the metadata is probably wrong";
    } else if (margin < -needed) {
        check.verdict = PolarityCheck::Verdict::Consistent;
        check.reason = "the sign used matches the magnitude image better than the opposite one";
    } else {
        check.verdict = PolarityCheck::Verdict::Undecided;
        check.reason =
            "both signs match about equally well (small shifts, or little structure "
            "to compare)";
    }
    return check;
}

}  // namespace ondrift::cli
