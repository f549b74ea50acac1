#include "cli/phantom/phantom_forward.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "cli/bids/bids_sidecar.h"

namespace ondrift::cli {

const char* forwardModelName(ForwardModel model) {
    switch (model) {
        case ForwardModel::Sampled: return "sampled";
        case ForwardModel::PileUp: return "pile-up";
        case ForwardModel::Exact: break;
    }
    return "exact";
}

bool forwardModelFromName(const std::string& name, ForwardModel& model) {
    for (ForwardModel m : {ForwardModel::Exact, ForwardModel::Sampled, ForwardModel::PileUp}) {
        if (name == forwardModelName(m)) {
            model = m;
            return true;
        }
    }
    return false;
}

void makeSeries(Phantom& p, const HeadModel& model, const Affine& epiAffine) {
    const PhantomOptions& o = p.options;
    const std::array<int, 3> ed{p.seriesGeometry.nx(), p.seriesGeometry.ny(),
                                p.seriesGeometry.nz()};
    const std::size_t m = p.seriesGeometry.voxelsPerVolume();
    p.evaluationMask.resize(m);
    p.seriesShift.resize(m);
    p.truth.resize(m * static_cast<std::size_t>(o.volumes));
    p.distorted.resize(p.truth.size());
    const double bandwidth = p.bandwidthPE();
    const int axis = directionAxis(o.peDirection);
    const double sign = isPositiveDirection(o.peDirection) ? 1.0 : -1.0;
    double maxShift = 0;
    for (const float f : p.fieldHz) maxShift = std::max(maxShift, std::fabs(f / bandwidth));
    const double reach = maxShift * 1.5 + 2.0;

    // Distorted voxel q shows the signal of the position p with p + sign·s(p) = q on the
    // phase-encoding axis. Beside the steep lobes that map can fold (|ds/dp| > 1), as it does on
    // a scanner; the bisection then takes one of the positions, and no pixel-shift correction
    // can undo the fold there. The sampled model needs the whole true series first, so the
    // positions are kept.
    std::vector<double> solved(m);
    for (int z = 0, i = 0; z < ed[2]; ++z) {
        for (int y = 0; y < ed[1]; ++y) {
            for (int x = 0; x < ed[0]; ++x, ++i) {
                const auto u = static_cast<std::size_t>(i);
                const World w = toWorld(epiAffine, x, y, z);
                p.evaluationMask[u] = model.radius(w.x, w.y, w.z) < 0.75 ? 1 : 0;
                p.seriesShift[u] =
                    static_cast<float>(sign * model.field(w.x, w.y, w.z) / bandwidth);
                for (int t = 0; t < o.volumes; ++t) {
                    p.truth[static_cast<std::size_t>(t) * m + u] =
                        static_cast<float>(model.signal(w.x, w.y, w.z, t));
                }
                double q[3] = {double(x), double(y), double(z)};
                const double target = q[axis];
                double lo = target - reach, hi = target + reach;
                for (int it = 0; it < 50; ++it) {
                    const double mid = 0.5 * (lo + hi);
                    q[axis] = mid;
                    const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                    const double g = mid + sign * model.field(v.x, v.y, v.z) / bandwidth - target;
                    (g < 0 ? lo : hi) = mid;
                }
                solved[u] = 0.5 * (lo + hi);
            }
        }
    }

    const std::size_t stride =
        axis == 0 ? 1 : (axis == 1 ? std::size_t(ed[0]) : std::size_t(ed[0]) * ed[1]);
    const int last = ed[static_cast<std::size_t>(axis)] - 1;
    // The slope of the shift (voxels per voxel) from the analytic field over a tenth of a voxel.
    constexpr double kStep = 0.1;
    std::vector<std::pair<double, double>> others;  ///< beside a fold: position, pile-up factor
    for (int z = 0, i = 0; z < ed[2]; ++z) {
        for (int y = 0; y < ed[1]; ++y) {
            for (int x = 0; x < ed[0]; ++x, ++i) {
                const auto u = static_cast<std::size_t>(i);
                double q[3] = {double(x), double(y), double(z)};
                const int own = static_cast<int>(q[axis]);
                if (o.forwardModel == ForwardModel::Sampled) {
                    const double lower = std::floor(solved[u]);
                    const double f = solved[u] - lower;
                    const int i0 = std::clamp(static_cast<int>(lower), 0, last);
                    const int i1 = std::clamp(static_cast<int>(lower) + 1, 0, last);
                    const std::size_t base = u - static_cast<std::size_t>(own) * stride;
                    for (int t = 0; t < o.volumes; ++t) {
                        const float* line = p.truth.data() + static_cast<std::size_t>(t) * m + base;
                        p.distorted[static_cast<std::size_t>(t) * m + u] = static_cast<float>(
                            (1.0 - f) * line[static_cast<std::size_t>(i0) * stride] +
                            f * line[static_cast<std::size_t>(i1) * stride]);
                    }
                    continue;
                }
                double factor = 1.0;
                if (o.forwardModel == ForwardModel::PileUp) {
                    auto shiftAt = [&](double position) {
                        q[axis] = position;
                        const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                        return model.field(v.x, v.y, v.z) / bandwidth;
                    };
                    const double slope =
                        (shiftAt(solved[u] + kStep) - shiftAt(solved[u] - kStep)) / (2 * kStep);
                    factor = std::min(kMaxPileUp, 1.0 / std::fabs(1.0 + sign * slope));
                }
                // Beside a fold several positions land in this voxel, and a scanner shows the
                // sum of their signals; the bisection found one, the others are added here.
                others.clear();
                if (o.forwardModel == ForwardModel::PileUp) {
                    const double target = own;
                    auto mapped = [&](double position) {
                        q[axis] = position;
                        const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                        return position + sign * model.field(v.x, v.y, v.z) / bandwidth - target;
                    };
                    constexpr double kScan = 0.5;
                    double lo = target - maxShift - 1, glo = mapped(lo);
                    for (; lo < target + maxShift + 1; lo += kScan) {
                        const double hi = lo + kScan, ghi = mapped(hi);
                        if ((glo < 0) != (ghi < 0) && std::fabs(lo + 0.5 * kScan - solved[u]) > 1) {
                            double a = lo, b = hi, ga = glo;
                            for (int it = 0; it < 30; ++it) {
                                const double mid = 0.5 * (a + b), gm = mapped(mid);
                                ((gm < 0) == (ga < 0) ? a : b) = mid;
                                if (a == mid) ga = gm;
                            }
                            const double root = 0.5 * (a + b);
                            const double slope =
                                (mapped(root + kStep) - mapped(root - kStep)) / (2 * kStep);
                            others.emplace_back(root, std::min(kMaxPileUp, 1.0 / std::fabs(slope)));
                        }
                        glo = ghi;
                    }
                }
                q[axis] = solved[u];
                const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                for (int t = 0; t < o.volumes; ++t) {
                    double value = model.signal(v.x, v.y, v.z, t);
                    if (o.forwardModel == ForwardModel::PileUp) {
                        value *= factor;
                        for (const auto& [root, weight] : others) {
                            q[axis] = root;
                            const World r = toWorld(epiAffine, q[0], q[1], q[2]);
                            value += weight * model.signal(r.x, r.y, r.z, t);
                        }
                    }
                    p.distorted[static_cast<std::size_t>(t) * m + u] = static_cast<float>(value);
                }
            }
        }
    }
}

}  // namespace ondrift::cli
