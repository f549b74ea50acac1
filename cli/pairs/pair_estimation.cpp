#include "cli/pairs/pair_estimation.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cli/pairs/pair_levels.h"
#include "cli/pairs/roughness.h"
#include "cli/pairs/volume_average.h"

namespace ondrift::pairs {

namespace {

double brightLevel(std::span<const float> a, std::span<const float> b) {
    std::vector<float> mean(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) mean[i] = 0.5f * (a[i] + b[i]);
    const auto k = static_cast<std::ptrdiff_t>(0.99 * static_cast<double>(mean.size() - 1));
    std::nth_element(mean.begin(), mean.begin() + k, mean.end());
    return mean[static_cast<std::size_t>(k)];
}

double dot(std::span<const double> a, std::span<const double> b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}

/// The normal equations of one damped step, applied without forming the matrix.
struct NormalEquations {
    const LevelPair& pair;
    const Linearisation& lin;
    const Roughness& roughnessOf;
    double lambda;
    double mu;
    std::span<const double> damping;  ///< diag(JᵀJ) + λ diag(L)
    mutable std::vector<double> u, w;

    void apply(std::span<const double> v, std::span<double> out) const {
        u.resize(v.size());
        w.resize(v.size());
        applyJacobian(lin, pair, v, u);
        applyJacobianTransposed(lin, pair, u, out);
        applyRoughness(pair.grid, roughnessOf, v, w);
        for (std::size_t i = 0; i < v.size(); ++i) {
            out[i] += lambda * w[i] + mu * damping[i] * v[i];
        }
    }
};

/// Preconditioned conjugate gradients from x = 0; Jacobi preconditioner.
void solve(const NormalEquations& eq, std::span<const double> rhs, std::span<double> x,
           std::span<const double> precondition, int maxIterations) {
    const std::size_t n = rhs.size();
    std::fill(x.begin(), x.end(), 0.0);
    std::vector<double> r(rhs.begin(), rhs.end()), z(n), p(n), q(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = r[i] / precondition[i];
    p = z;
    double rz = dot(r, z);
    const double stop = 1e-4 * dot(rhs, rhs);
    for (int it = 0; it < maxIterations && dot(r, r) > stop; ++it) {
        eq.apply(p, q);
        const double pq = dot(p, q);
        if (!(pq > 0)) break;
        const double alpha = rz / pq;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] += alpha * p[i];
            r[i] -= alpha * q[i];
        }
        for (std::size_t i = 0; i < n; ++i) z[i] = r[i] / precondition[i];
        const double next = dot(r, z);
        const double beta = next / rz;
        rz = next;
        for (std::size_t i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
    }
}

double objective(const LevelPair& pair, const Roughness& r, std::span<const double> f,
                 double lambda) {
    return pairMisfit(pair, f) + 0.5 * lambda * roughness(pair.grid, r, f);
}

constexpr int kReweightedSteps = 5;

/// Levenberg-Marquardt on one level, from `field`.
LevelReport refine(LevelPair& pair, std::vector<double>& field, const EstimationOptions& o) {
    LevelReport report;
    report.grid = pair.grid;
    const std::size_t n = field.size();
    const double lambda = o.roughnessWeight;
    const double kappa = std::max(pair.plusPerHz, pair.minusPerHz);
    Linearisation lin;
    reweight(pair, field, o.compressedBelow);
    linearise(pair, field, lin);
    const Roughness r{1.0 - o.bendingShare, o.bendingShare * o.bendingLengthMm * o.bendingLengthMm};
    double energy = lin.misfit + 0.5 * lambda * roughness(pair.grid, r, field);
    report.misfitStart = energy;
    std::vector<double> diagJ(n), diagL(n), damping(n), precondition(n), gradient(n), lf(n),
        step(n), trial(n);
    roughnessDiagonal(pair.grid, r, diagL);
    double mu = 1e-3;
    for (int it = 0; it < o.maxIterations; ++it) {
        report.iterations = it + 1;
        jacobianDiagonal(lin, pair, diagJ);
        applyJacobianTransposed(lin, pair, lin.residual, gradient);
        applyRoughness(pair.grid, r, field, lf);
        double floor = 0;
        for (std::size_t i = 0; i < n; ++i) {
            gradient[i] = -(gradient[i] + lambda * lf[i]);
            damping[i] = diagJ[i] + lambda * diagL[i];
            floor = std::max(floor, damping[i]);
        }
        // Voxels without signal or neighbours still need a positive diagonal.
        for (double& d : damping) d = std::max(d, 1e-9 * floor + 1e-300);
        bool accepted = false;
        while (!accepted && mu < 1e8) {
            for (std::size_t i = 0; i < n; ++i) precondition[i] = (1 + mu) * damping[i];
            NormalEquations eq{pair, lin, r, lambda, mu, damping, {}, {}};
            solve(eq, gradient, step, precondition, o.maxConjugateGradients);
            for (std::size_t i = 0; i < n; ++i) trial[i] = field[i] + step[i];
            const double e = objective(pair, r, trial, lambda);
            if (std::isfinite(e) && e < energy) {
                accepted = true;
                mu = std::max(mu / 3, 1e-7);
                double largest = 0, squares = 0, weights = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double w = pair.weight.empty() ? 1.0 : pair.weight[i];
                    largest = std::max(largest, std::fabs(step[i]));
                    squares += w * step[i] * step[i];
                    weights += w;
                }
                const double typical = std::sqrt(squares / std::max(weights, 1e-300));
                const double decrease = (energy - e) / std::max(energy, 1e-300);
                field.swap(trial);
                // The weights follow the field for the first steps only: held after them, the
                // objective stays one function and the steps settle.
                if (it < kReweightedSteps) reweight(pair, field, o.compressedBelow);
                linearise(pair, field, lin);
                energy = lin.misfit + 0.5 * lambda * roughness(pair.grid, r, field);
                // A flat objective alone is no sign of a minimum: on a shallow valley the field
                // can drift by a hertz a step for many steps while each lowers it little.
                if (largest * kappa < o.stepToleranceVoxels ||
                    (decrease < o.flatObjective && typical * kappa < o.settledVoxels)) {
                    report.converged = true;
                }
            } else {
                mu *= 5;
            }
        }
        // No step lowers the objective even when it has become a tiny gradient step: a minimum.
        if (!accepted) report.converged = std::isfinite(energy);
        if (report.converged) break;
    }
    report.misfitEnd = energy;
    return report;
}

}  // namespace

Agreement agreement(std::span<const float> a, std::span<const float> b,
                    std::span<const unsigned char> mask) {
    double sa = 0, sb = 0, count = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!mask[i]) continue;
        sa += a[i];
        sb += b[i];
        ++count;
    }
    Agreement g;
    if (count < 2) return g;
    const double ma = sa / count, mb = sb / count;
    double diff = 0, mean = 0, cab = 0, caa = 0, cbb = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!mask[i]) continue;
        const double d = a[i] - b[i], m = 0.5 * (a[i] + b[i]);
        diff += d * d;
        mean += m * m;
        cab += (a[i] - ma) * (b[i] - mb);
        caa += (a[i] - ma) * (a[i] - ma);
        cbb += (b[i] - mb) * (b[i] - mb);
    }
    g.relativeDifference = mean > 0 ? std::sqrt(diff / mean) : 0;
    g.correlation = caa > 0 && cbb > 0 ? cab / std::sqrt(caa * cbb) : 0;
    return g;
}

PairEstimate estimateField(const PairImages& images, const EstimationOptions& o) {
    PairEstimate result;
    const Grid& g = images.grid;
    const std::size_t n = g.voxels();
    if (n == 0 || images.plus.size() != n || images.minus.size() != n || images.axis < 0 ||
        images.axis > 2 || g.dims[images.axis] < 2) {
        result.problem = "the two images do not share a grid with a phase-encoding axis";
        return result;
    }
    if (!(images.plusVoxelsPerHz > 0) || !(images.minusVoxelsPerHz > 0) ||
        !std::isfinite(images.plusVoxelsPerHz) || !std::isfinite(images.minusVoxelsPerHz)) {
        result.problem = "the readout time must be positive";
        return result;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(images.plus[i]) || !std::isfinite(images.minus[i])) {
            result.problem = "the images hold values that are not finite numbers";
            return result;
        }
    }
    const double bright = brightLevel(images.plus, images.minus);
    if (!(bright > 0)) {
        result.problem = "the images hold no signal";
        return result;
    }
    const double threshold = kSignalFraction * bright;

    // Levels coarse to fine, each distinct, ending on the image's own grid.
    std::vector<Factors> levels;
    for (double mm : o.levelsMm) {
        const Factors f = levelFactors(g, mm);
        if (f != Factors{1, 1, 1} && (levels.empty() || f != levels.back())) levels.push_back(f);
    }
    levels.push_back({1, 1, 1});
    std::vector<float> scaledPlus(n), scaledMinus(n);
    for (std::size_t i = 0; i < n; ++i) {
        scaledPlus[i] = static_cast<float>(images.plus[i] / bright);
        scaledMinus[i] = static_cast<float>(images.minus[i] / bright);
    }
    std::vector<double> field;
    for (std::size_t level = 0; level < levels.size(); ++level) {
        const Factors& f = levels[level];
        LevelPair pair;
        pair.grid = coarsen(g, f);
        pair.axis = images.axis;
        pair.plus = blockAverage(scaledPlus, g, f);
        pair.minus = blockAverage(scaledMinus, g, f);
        pair.plusPerHz = images.plusVoxelsPerHz / f[images.axis];
        pair.minusPerHz = images.minusVoxelsPerHz / f[images.axis];
        field = level == 0 ? std::vector<double>(pair.grid.voxels(), 0.0)
                           : carryField(field, g, levels[level - 1], f);
        result.levels.push_back(refine(pair, field, o));
    }
    for (double v : field) {
        if (!std::isfinite(v)) {
            result.problem = "the estimate holds values that are not finite numbers";
            return result;
        }
    }
    const LevelReport& last = result.levels.back();
    result.converged = last.converged;
    if (!result.converged) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the field estimate did not converge: still changing after %d steps on "
                      "the finest level",
                      last.iterations);
        result.problem = text;
    }
    result.fieldHz.assign(field.begin(), field.end());
    // The pair brought back through the estimate, in the images' own units.
    LevelPair full;
    full.grid = g;
    full.axis = images.axis;
    full.plus.assign(images.plus.begin(), images.plus.end());
    full.minus.assign(images.minus.begin(), images.minus.end());
    full.plusPerHz = images.plusVoxelsPerHz;
    full.minusPerHz = images.minusVoxelsPerHz;
    std::vector<double> a(n), b(n);
    unwarpPair(full, field, a, b);
    result.plusCorrected.assign(a.begin(), a.end());
    result.minusCorrected.assign(b.begin(), b.end());
    // Voxels whose positions leave the field of view hold the edge's value, which no field
    // could bring into agreement; they are no part of the head either image shows.
    reweight(full, field, 0.0);
    std::vector<unsigned char> head(n);
    for (std::size_t i = 0; i < n; ++i) {
        head[i] = full.weight[i] > 0 && (0.5 * (images.plus[i] + images.minus[i]) > threshold ||
                                         0.5 * (a[i] + b[i]) > threshold);
    }
    result.before = agreement(images.plus, images.minus, head);
    result.after = agreement(result.plusCorrected, result.minusCorrected, head);
    if (result.problem.empty() &&
        !(result.after.relativeDifference < result.before.relativeDifference)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the field estimate leaves the pair disagreeing: relative RMS difference "
                      "%.3f after correction, %.3f before",
                      result.after.relativeDifference, result.before.relativeDifference);
        result.problem = text;
    }
    return result;
}

}  // namespace ondrift::pairs
