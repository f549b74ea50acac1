#include "cli/report/polarity_check.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "cli/bids_sidecar.h"

namespace ondrift::cli {

namespace {

// [1 2 1] / 4 along every axis longer than one voxel: the gradients of a noisy image would
// otherwise measure the noise.
std::vector<float> smoothed(const Volume& v) {
    std::vector<float> cur = v.values;
    std::vector<float> next(cur.size());
    const std::size_t strides[3] = {
        1, static_cast<std::size_t>(v.dims[0]),
        static_cast<std::size_t>(v.dims[0]) * static_cast<std::size_t>(v.dims[1])};
    for (int a = 0; a < 3; ++a) {
        if (v.dims[a] < 2) continue;
        for (int z = 0; z < v.dims[2]; ++z) {
            for (int y = 0; y < v.dims[1]; ++y) {
                for (int x = 0; x < v.dims[0]; ++x) {
                    const int c[3] = {x, y, z};
                    const std::size_t i = v.index(x, y, z);
                    const std::size_t lo = c[a] > 0 ? i - strides[a] : i;
                    const std::size_t hi = c[a] + 1 < v.dims[a] ? i + strides[a] : i;
                    next[i] = 0.25f * cur[lo] + 0.5f * cur[i] + 0.25f * cur[hi];
                }
            }
        }
        cur.swap(next);
    }
    return cur;
}

std::vector<float> gradientMagnitude(const Volume& v) {
    const std::vector<float> s = smoothed(v);
    std::vector<float> g(s.size(), 0.0f);
    const std::size_t strides[3] = {
        1, static_cast<std::size_t>(v.dims[0]),
        static_cast<std::size_t>(v.dims[0]) * static_cast<std::size_t>(v.dims[1])};
    for (int z = 0; z < v.dims[2]; ++z) {
        for (int y = 0; y < v.dims[1]; ++y) {
            for (int x = 0; x < v.dims[0]; ++x) {
                const int c[3] = {x, y, z};
                const std::size_t i = v.index(x, y, z);
                double sum = 0;
                for (int a = 0; a < 3; ++a) {
                    if (v.dims[a] < 2) continue;
                    const std::size_t lo = c[a] > 0 ? i - strides[a] : i;
                    const std::size_t hi = c[a] + 1 < v.dims[a] ? i + strides[a] : i;
                    const double span = (hi - lo) / strides[a] * double(v.voxelSize[a]);
                    const double d = (double(s[hi]) - double(s[lo])) / (span > 0 ? span : 1.0);
                    sum += d * d;
                }
                g[i] = static_cast<float>(std::sqrt(sum));
            }
        }
    }
    return g;
}

// A shift of at least half a voxel changes the picture; a few hundred voxels are enough to
// compare the edges.
constexpr double kFeltShift = 0.5;
constexpr std::size_t kMinFeltVoxels = 300;

}  // namespace

int oppositeDirection(int code) { return code % 2 == 1 ? code + 1 : code - 1; }

std::vector<float> shiftAlong(const Volume& image, std::span<const float> shift, int direction) {
    std::vector<float> out(image.voxels(), 0.0f);
    if (image.empty() || shift.size() < image.voxels() || direction < 1 || direction > 6) {
        return out;
    }
    const int axis = directionAxis(direction);
    const double sign = direction % 2 == 1 ? 1.0 : -1.0;
    const int n = image.dims[axis];
    for (int z = 0; z < image.dims[2]; ++z) {
        for (int y = 0; y < image.dims[1]; ++y) {
            for (int x = 0; x < image.dims[0]; ++x) {
                int c[3] = {x, y, z};
                const std::size_t i = image.index(x, y, z);
                const double s = std::isfinite(shift[i]) ? shift[i] : 0.0;
                const double p = std::clamp(c[axis] + sign * s, 0.0, double(n - 1));
                const int i0 = static_cast<int>(std::floor(p));
                const int i1 = std::min(i0 + 1, n - 1);
                const double f = p - i0;
                c[axis] = i0;
                const double v0 = image.at(c[0], c[1], c[2]);
                c[axis] = i1;
                const double v1 = image.at(c[0], c[1], c[2]);
                out[i] = static_cast<float>((1 - f) * v0 + f * v1);
            }
        }
    }
    return out;
}

namespace {

std::vector<unsigned char> grown(const Volume& grid, std::vector<unsigned char> mask, int steps) {
    for (int step = 0; step < steps; ++step) {
        std::vector<unsigned char> next = mask;
        for (int z = 0; z < grid.dims[2]; ++z) {
            for (int y = 0; y < grid.dims[1]; ++y) {
                for (int x = 0; x < grid.dims[0]; ++x) {
                    if (mask[grid.index(x, y, z)] == 0) continue;
                    const int c[3] = {x, y, z};
                    for (int a = 0; a < 3; ++a) {
                        for (int d : {-1, 1}) {
                            int n[3] = {c[0], c[1], c[2]};
                            n[a] += d;
                            if (n[a] < 0 || n[a] >= grid.dims[a]) continue;
                            next[grid.index(n[0], n[1], n[2])] = 1;
                        }
                    }
                }
            }
        }
        mask.swap(next);
    }
    return mask;
}

}  // namespace

std::vector<unsigned char> headMask(const Volume& image, int grow) {
    std::vector<unsigned char> mask(image.voxels(), 0);
    if (image.empty()) return mask;
    const float level = 0.1f * percentileOf(image.values, 0.98);
    if (!(level > 0)) return mask;
    for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = image.values[i] > level ? 1 : 0;
    return grown(image, std::move(mask), grow);
}

double gradientCorrelation(const Volume& a, const Volume& b,
                           const std::vector<unsigned char>& mask) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    if (a.empty() || b.empty() || a.dims != b.dims || mask.size() != a.voxels()) return kNaN;
    const std::vector<float> ga = gradientMagnitude(a);
    const std::vector<float> gb = gradientMagnitude(b);
    double n = 0, sa = 0, sb = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] == 0 || !std::isfinite(ga[i]) || !std::isfinite(gb[i])) continue;
        n += 1;
        sa += ga[i];
        sb += gb[i];
    }
    if (n < 2) return kNaN;
    const double ma = sa / n, mb = sb / n;
    double cab = 0, caa = 0, cbb = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] == 0 || !std::isfinite(ga[i]) || !std::isfinite(gb[i])) continue;
        const double da = ga[i] - ma, db = gb[i] - mb;
        cab += da * db;
        caa += da * da;
        cbb += db * db;
    }
    if (!(caa > 0) || !(cbb > 0)) return kNaN;
    return cab / std::sqrt(caa * cbb);
}

nlohmann::json PolarityCheck::toJson() const {
    const char* names[] = {"not done", "consistent", "opposite sign better", "undecided"};
    nlohmann::json j = {{"verdict", names[static_cast<int>(verdict)]}, {"reason", reason}};
    if (verdict == Verdict::NotDone) return j;
    j["measure"] = "correlation of gradient magnitudes with the magnitude image, inside the head";
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
    if (used < 1 || used > 6) {
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
    std::vector<unsigned char> mask = headMask(epi, 2);
    check.maskVoxels = static_cast<std::size_t>(std::count(mask.begin(), mask.end(), 1));
    if (check.maskVoxels < 8) {
        check.reason = "the functional image shows no head (its mask is empty)";
        return check;
    }
    // Where the shift is small both signs give nearly the same image, and those voxels would
    // only dilute the difference: the comparison looks where the shift is felt, when that
    // region is large enough to judge.
    std::vector<unsigned char> felt(mask.size(), 0);
    for (std::size_t i = 0; i < felt.size(); ++i) {
        felt[i] = std::isfinite(shift.values[i]) && std::fabs(shift.values[i]) >= kFeltShift;
    }
    felt = grown(epi, std::move(felt), 2);
    std::size_t feltInHead = 0;
    for (std::size_t i = 0; i < felt.size(); ++i) {
        felt[i] = felt[i] != 0 && mask[i] != 0;
        feltInHead += felt[i];
    }
    if (feltInHead >= kMinFeltVoxels) {
        mask.swap(felt);
        check.maskVoxels = feltInHead;
    }
    Volume moved = epi;
    check.uncorrected = gradientCorrelation(epi, mag, mask);
    moved.values = shiftAlong(epi, shift.values, used);
    check.usedScore = gradientCorrelation(moved, mag, mask);
    moved.values = shiftAlong(epi, shift.values, oppositeDirection(used));
    check.oppositeScore = gradientCorrelation(moved, mag, mask);
    if (!std::isfinite(check.usedScore) || !std::isfinite(check.oppositeScore)) {
        check.verdict = PolarityCheck::Verdict::NotDone;
        check.reason = "an image is flat inside the head; the scores cannot be computed";
        return check;
    }
    const double margin = check.oppositeScore - check.usedScore;
    if (margin > kClearlyBetter) {
        check.verdict = PolarityCheck::Verdict::OppositeBetter;
        check.reason =
            "the opposite sign matches the magnitude image clearly better: the "
            "phase-encoding sign in the metadata is probably wrong";
    } else if (margin < -kClearlyBetter) {
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
