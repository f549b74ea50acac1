#include "pipeline/field_conditioning.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "binding/log.h"
#include "pipeline/image_views.h"
#include "pipeline/kernels/congruence.h"
#include "pipeline/kernels/consistent_core.h"
#include "pipeline/kernels/cycle_outliers.h"
#include "pipeline/kernels/dropout_blend.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/field_estimate.h"
#include "pipeline/kernels/gradient_fill.h"
#include "pipeline/kernels/mask_parts.h"
#include "pipeline/kernels/masked_smoothing.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/pi15.h"
#include "pipeline/kernels/quadratic_smoothing.h"
#include "pipeline/kernels/residual_restoration.h"
#include "pipeline/step_errors.h"

namespace ondrift {

namespace {

bool sameGrid(const Image& a, const Image& b) {
    return holdsFirstVolume(a) && holdsFirstVolume(b) && volumeDims(a) == volumeDims(b);
}

/// The mask of the magnitude's first volume; empty when no voxel passes the threshold.
std::vector<unsigned char> magnitudeMask(const Image& magnitude) {
    const auto values = volumeValues(magnitude, 0);
    std::vector<unsigned char> inside(values.size());
    bool any = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        inside[i] = values[i] > kMagnitudeThreshold ? 1 : 0;
        any |= inside[i] != 0;
    }
    if (!any) inside.clear();
    return inside;
}

bool refuseEmptyMask(std::string* error, const char* what) {
    reportStepError(error, formatMessage("Stopped %s: no voxel of the magnitude image is above the "
                                         "mask threshold (%g).",
                                         what, kMagnitudeThreshold));
    return false;
}

bool refuseGrid(std::string* error, const char* what, const Image& image, const Image& magnitude) {
    reportStepError(
        error, formatMessage("Stopped %s: the magnitude image (%d x %d x %d) and the phase "
                             "image (%d x %d x %d) are not on the same grid.",
                             what, magnitude.getDimX(), magnitude.getDimY(), magnitude.getDimZ(),
                             image.getDimX(), image.getDimY(), image.getDimZ()));
    return false;
}

/// The connected parts of the mask that are too small to hold a core of congruent unwrapping
/// (noise above the threshold, mostly).
Specks specksOf(Dims d, const std::vector<unsigned char>& inside) {
    return findSpecks(d, inside, kSmallestCore);
}

/// The first volume of a measured phase, in cycles.
std::vector<double> phaseInCycles(const Image& wrapped, bool wrappedInCycles) {
    const auto source = volumeValues(wrapped, 0);
    std::vector<double> cycles(source.begin(), source.end());
    if (!wrappedInCycles) {
        for (double& v : cycles) v /= kTwoPi15;
    }
    return cycles;
}

/// Beyond a phase noise SD of a radian the wrapped phase is close to uniform: it holds no field.
constexpr double kNoSignalPhaseNoise = 1.0;
/// No scanner's phase is cleaner than this SD (rad) at the head's median magnitude; it keeps the
/// noise model finite on noise-free data.
constexpr double kPhaseNoiseFloor = 1e-3;

/// The voxel sizes in mm; 1 mm along an axis whose size is not positive (a grid without them).
Spacing voxelSizes(const Image& image) {
    Spacing h{image.getVoxelSizeX(), image.getVoxelSizeY(), image.getVoxelSizeZ()};
    for (double& s : h)
        if (!(s > 0) || !std::isfinite(s)) s = 1.0;
    return h;
}

/// Across slices much thicker than the finest spacing the field can step by a whole cycle
/// between neighbours (beside air, at long echo gaps) and the wrapped step looks calm: one such
/// pair would join two large parts a cycle apart. Along such axes parts meet only at the shift
/// most of their neighbour pairs agree on.
constexpr double kThickAxisRatio = 1.5;

/// The axes (bits 0–2) within kThickAxisRatio of the finest voxel size.
unsigned finelySampledAxes(const Spacing& h) {
    const double finest = std::min({h[0], h[1], h[2]});
    unsigned axes = 0;
    for (int a = 0; a < 3; ++a)
        if (h[a] <= kThickAxisRatio * finest) axes |= 1u << a;
    return axes;
}

/// The whole cycles nearest the median of the phase, each voxel weighed by `weight`: the level
/// of the field where it is measured best. The mask's median that congruence levels by counts
/// every voxel alike, and where noise above the threshold outnumbers a small head (thick slices,
/// a noisy magnitude) the noise decides it.
double weightedLevel(std::span<const double> cycles, const std::vector<double>& weight) {
    std::vector<std::pair<double, double>> wholes;
    double total = 0;
    for (std::size_t v = 0; v < weight.size(); ++v)
        if (weight[v] > 0 && std::isfinite(cycles[v])) {
            wholes.emplace_back(std::floor(cycles[v] + 0.5), weight[v]);
            total += weight[v];
        }
    std::sort(wholes.begin(), wholes.end());
    double below = 0;
    for (const auto& [whole, w] : wholes) {
        below += w;
        if (below >= total / 2) return whole;
    }
    return 0;
}

/// Replaces `unwrapped` (cycles) by the smooth field that fits it within its noise: the noise
/// SD of a voxel is s / magnitude, with s measured from the phase itself; voxels outside the
/// mask or noisier than kNoSignalPhaseNoise weigh nothing, and the field continues there.
void estimateField(Image& unwrapped, const Image& magnitude,
                   const std::vector<unsigned char>& inside) {
    const Dims d = volumeDims(unwrapped);
    const Spacing h = voxelSizes(unwrapped);
    const auto values = volumeValues(unwrapped, 0);
    const auto m = volumeValues(magnitude, 0);
    const double noSignal = kNoSignalPhaseNoise / kTwoPi15;  // in cycles
    logText(
        formatMessage("Estimate the field from the phase and its noise (voxels %g x %g x %g "
                      "mm)...",
                      h[0], h[1], h[2]));
    std::vector<double> bright;
    for (std::size_t v = 0; v < m.size(); ++v)
        if (inside[v] != 0 && m[v] > 0) bright.push_back(m[v]);
    double median = 0;
    if (!bright.empty()) {
        const auto mid = bright.begin() + static_cast<std::ptrdiff_t>(bright.size() / 2);
        std::nth_element(bright.begin(), mid, bright.end());
        median = *mid;
    }
    // The background's Rayleigh scale σ gives the phase noise σ / magnitude (rad) without
    // reading the field at all; the phase's own differences hold some of the field's structure
    // too, so they are the fallback (a background set to zero, or none in the field of view)
    // and an upper bound: a phase cannot be noisier than its differences show.
    const double inHead = noiseScaleFromData(d, h, values, m, inside, noSignal);
    const double background = backgroundNoise(m, kMagnitudeThreshold);
    const bool fromBackground = background > 0 && background < kMagnitudeThreshold;
    const double measuredScale = !fromBackground ? inHead
                                 : inHead > 0    ? std::min(background / kTwoPi15, inHead)
                                                 : background / kTwoPi15;
    const double scale = std::max(measuredScale, kPhaseNoiseFloor / kTwoPi15 * median);
    std::vector<double> weight(values.size(), 0.0);
    for (std::size_t v = 0; v < weight.size(); ++v) {
        if (inside[v] == 0 || !(m[v] > 0) || !(scale > 0)) continue;
        const double sd = scale / m[v];
        if (sd < noSignal) weight[v] = 1 / (sd * sd);
    }
    const double level = weightedLevel(values, weight);
    if (level != 0) {
        for (double& v : values) v -= level;
    }
    logText(formatMessage("Level of the phase where it is measured best (cycles): %lf", level));
    std::vector<double> measured(values.begin(), values.end());
    FieldEstimate found;
    if (!estimateSmoothField(d, h, measured, weight, values, found, kSmoothFieldNoiseShare)) {
        logText("No voxel holds a usable phase: the unwrapped phase is kept.");
        return;
    }
    const long long restored =
        restoreResidual(d, h, measured, weight, values, kRestorationWindowMm, kRestorationShrink);
    logText(formatMessage(
        "Field estimate:\n\tPhase noise at the median magnitude (rad): %lf (%s; from the "
        "background %lf, from the phase's differences %lf)\n\tVoxels "
        "measured: %lld\n\tRoughness weight: %g\n\tMisfit over noise (median): %lf\n\tGrids: "
        "%d\n\tIterations on the finest grid: %d\n\tVoxels given back structure from the "
        "residual: %lld",
        median > 0 ? scale / median * kTwoPi15 : 0.0,
        fromBackground && (inHead <= 0 || background / kTwoPi15 <= inHead) ? "the background"
                                                                           : "the phase",
        median > 0 ? background / median : 0.0, median > 0 ? inHead / median * kTwoPi15 : 0.0,
        found.measured, found.lambda, found.discrepancy, found.levels, found.finestIterations,
        std::max(restored, 0LL)));
    logText(unwrapped.statisticsText("conditioned unwrapped phase data"));
}

}  // namespace

std::future<CongruentInput> startCongruentInput(const Image& wrapped, bool wrappedInCycles,
                                                const Image& magnitude, Conditioning conditioning) {
    if (workerThreads() < 2 || !sameGrid(wrapped, magnitude)) return {};
    try {
        return std::async(std::launch::async, [&wrapped, wrappedInCycles, &magnitude,
                                               conditioning] {
            // One core: the unwrapping runs on the other.
            const RangesOnThisThread here;
            CongruentInput input;
            input.inside = magnitudeMask(magnitude);
            if (input.inside.empty()) return input;
            input.cycles = phaseInCycles(wrapped, wrappedInCycles);
            const Dims d = volumeDims(wrapped);
            const Specks specks = specksOf(d, input.inside);
            input.prepared = prepareCongruence(d, input.cycles, input.inside, &specks);
            if (conditioning == Conditioning::Quadratic)
                input.large = withoutSpecks(d, input.inside, specks);
            input.neighbourCounts =
                maskNeighbourCounts(d, input.large.empty() ? input.inside : input.large);
            if (conditioning == Conditioning::Quadratic && input.prepared.rough != nullptr) {
                input.likely = likelyTrustedMask(d, input.large, input.prepared.rough.get());
                const std::vector<unsigned char>& likely = input.likely;
                input.fill = planFill(d, likely);
                input.slopes = planSlopes(d, likely);
                input.noise = backgroundNoise(volumeValues(magnitude, 0), kMagnitudeThreshold);
                input.blend = planBlend(d, volumeValues(magnitude, 0),
                                        noiseAwareBlendThreshold(kMagnitudeThreshold, input.noise));
            } else if (conditioning == Conditioning::MaskedBox ||
                       conditioning == Conditioning::MaskedRange ||
                       conditioning == Conditioning::Extrapolated) {
                input.fill = planFill(d, input.inside);
            }
            return input;
        });
    } catch (const std::system_error&) {
        return {};
    }
}

bool makeUnwrappedCongruent(Image& unwrapped, const Image& wrapped, bool wrappedInCycles,
                            const Image& magnitude, std::string* error,
                            std::future<CongruentInput>* started, CongruentInput* used,
                            Conditioning following) {
    const char* what = "congruent unwrapping";
    logText("Make the unwrapped phase congruent with the wrapped phase...");
    if (!sameGrid(unwrapped, magnitude) || !sameGrid(wrapped, magnitude)) {
        return refuseGrid(error, what, unwrapped, magnitude);
    }
    CongruentInput input;
    if (started != nullptr && started->valid()) input = started->get();
    if (input.inside.empty()) input.inside = magnitudeMask(magnitude);
    if (input.inside.empty()) return refuseEmptyMask(error, what);
    if (input.cycles.empty()) input.cycles = phaseInCycles(wrapped, wrappedInCycles);
    CongruenceCounts counts;
    // The field estimate comes with the thick-slice joins; the other conditionings keep the
    // joins they were measured with.
    const unsigned joined = following == Conditioning::Estimated
                                ? finelySampledAxes(voxelSizes(unwrapped))
                                : kEveryAxis;
    makeCongruent(volumeDims(unwrapped), input.cycles, volumeValues(unwrapped, 0), input.inside,
                  true, counts, &input.prepared, joined);
    const Dims d = volumeDims(unwrapped);
    // The quadratic conditioning fills over the specks from the head, so their noise has no say
    // in the outlier pass either: a head voxel touching one by an edge or a corner would take
    // its random phase among its neighbours, and in a noisy background the pass would spend
    // most of its time moving specks.
    const bool quadratic = following == Conditioning::Quadratic;
    if (quadratic && input.large.size() != input.inside.size()) {
        input.large = withoutSpecks(d, input.inside, specksOf(d, input.inside));
        input.neighbourCounts.reset();
    } else if (!quadratic && !input.large.empty()) {
        input.neighbourCounts.reset();  // counted in the larger parts alone
    }
    const std::vector<unsigned char>& aligning = quadratic ? input.large : input.inside;
    // The growth can place a noisy voxel at the rim of a dropout from an equally noisy
    // neighbour; a whole cycle there is 1/ΔTE of field, which the smoothing and the fill into
    // the dropout would carry into the head.
    const long long aligned =
        alignCycleOutliers(d, volumeValues(unwrapped, 0), aligning, input.neighbourCounts.get());
    logText(formatMessage(
        "Congruent unwrapping:\n\tVoxels in mask: %zu\n\tConnected parts: "
        "%d\n\tVoxels that changed cycle: %zu\n\tVoxels moved to their neighbours' cycle: "
        "%lld\n\tAlignment (cycles): %lf\n\tLevel removed (cycles): %lf",
        counts.inside, counts.parts, counts.changedCycle, std::max(aligned, 0LL), counts.alignment,
        counts.level));
    logText(unwrapped.statisticsText("congruent unwrapped phase data"));
    if (used != nullptr) {
        used->inside = std::move(input.inside);
        used->large = std::move(input.large);
        used->cycles = std::move(input.cycles);
        used->fill = std::move(input.fill);
        used->likely = std::move(input.likely);
        used->slopes = std::move(input.slopes);
        used->blend = std::move(input.blend);
        used->noise = input.noise;
    }
    return true;
}

bool conditionFieldMap(Image& unwrapped, const Image& magnitude, Conditioning mode,
                       double rangeSigma, std::string* error, const Image* wrapped,
                       bool wrappedInCycles, CongruentInput* known) {
    const char* what = "field map conditioning";
    if (mode != Conditioning::MaskedBox && mode != Conditioning::MaskedRange &&
        mode != Conditioning::Extrapolated && mode != Conditioning::Quadratic &&
        mode != Conditioning::Estimated) {
        reportStepError(error, formatMessage("Stopped %s: unknown conditioning %d.", what,
                                             static_cast<int>(mode)));
        return false;
    }
    if (!sameGrid(unwrapped, magnitude)) return refuseGrid(error, what, unwrapped, magnitude);
    const Dims d = volumeDims(unwrapped);
    const auto values = volumeValues(unwrapped, 0);
    // Made again only when congruence did not leave them: each is a pass over the grid.
    const bool reuse = known != nullptr && known->inside.size() == values.size();
    std::vector<unsigned char> ownMask;
    if (!reuse) ownMask = magnitudeMask(magnitude);
    const std::vector<unsigned char>& inside = reuse ? known->inside : ownMask;
    if (inside.empty()) return refuseEmptyMask(error, what);
    if (mode == Conditioning::Estimated) {
        estimateField(unwrapped, magnitude, inside);
        return true;
    }
    if (mode == Conditioning::MaskedBox) {
        logText("Apply 3x3 smoothing inside the magnitude mask...");
        smoothInsideMask(d, values, inside, 0.0);
    } else if (mode == Conditioning::MaskedRange) {
        logText(
            formatMessage("Apply range-weighted 3x3 smoothing inside the magnitude mask "
                          "(range %lf)...",
                          rangeSigma));
        smoothInsideMask(d, values, inside, rangeSigma);
    }
    logText("Extrapolate beyond the magnitude mask...");
    // The quadratic conditioning reads the measured phase, given, in cycles.
    std::vector<double> ownPhase;
    const std::vector<double>* phase = nullptr;
    if (mode == Conditioning::Quadratic && wrapped != nullptr && sameGrid(*wrapped, unwrapped)) {
        const bool knownPhase = reuse && known->cycles.size() == values.size();
        if (!knownPhase) ownPhase = phaseInCycles(*wrapped, wrappedInCycles);
        phase = knownPhase ? &known->cycles : &ownPhase;
    }
    std::vector<unsigned char> trusted;
    if (mode == Conditioning::Quadratic) {
        // Specks are never trusted: a noise voxel that happens to step calmly to a neighbour
        // would seed the fill with a random phase, and in a noisy background the fill would
        // then grow from every speck instead of from the head. Their measured phase comes back
        // with the blend below, as for every untrusted voxel above the threshold.
        const bool knownLarge = reuse && known->large.size() == values.size();
        std::vector<unsigned char> ownLarge;
        if (!knownLarge) ownLarge = withoutSpecks(d, inside, specksOf(d, inside));
        const std::vector<unsigned char>& large = knownLarge ? known->large : ownLarge;
        trusted = trustedMask(d, large, values);
        if (phase != nullptr) {
            // A voxel a cycle off from a calm neighbour (a noisy rim, mostly) is placed from its
            // trusted neighbours rather than filled: the trusted mask is then the one the fill
            // and the slopes were planned for beside the unwrapping.
            const bool knownLikely = reuse && known->likely.size() == values.size();
            std::vector<unsigned char> ownLikely;
            if (!knownLikely)
                ownLikely = likelyTrustedMask(
                    d, large,
                    roughMarks(d, *phase, inside,
                               rangeWorkers(d.z, static_cast<std::size_t>(d.x) * d.y))
                        .get());
            const long long mended = mendTrustedMask(
                d, values, *phase, knownLikely ? known->likely : ownLikely, trusted);
            logText(
                formatMessage("Voxels a cycle off a calm neighbour, placed from the trusted "
                              "mask: %lld",
                              std::max(mended, 0LL)));
        }
    } else {
        trusted = inside;
    }
    extrapolateOutsideMask(d, values, trusted, reuse ? &known->fill : nullptr);
    if (mode == Conditioning::Quadratic) {
        // The fill carries the edge value outward; the field keeps sloping beyond the head.
        const long long sloped =
            continueGradients(d, values, trusted, reuse ? &known->slopes : nullptr);
        logText(formatMessage("Slope carried beyond the mask: %lld voxels", std::max(sloped, 0LL)));
        if (phase != nullptr) {
            // Noisier field maps weigh their measured phase less: see noiseAwareBlendThreshold.
            const double noise =
                reuse && known->noise >= 0
                    ? known->noise
                    : backgroundNoise(volumeValues(magnitude, 0), kMagnitudeThreshold);
            const double threshold = noiseAwareBlendThreshold(kMagnitudeThreshold, noise);
            logText(
                formatMessage("Magnitude noise outside the head (Rayleigh scale): %lf; "
                              "measured phase weighed by the magnitude over %lf",
                              noise, threshold));
            const long long blended =
                blendMeasuredPhase(d, values, *phase, volumeValues(magnitude, 0), trusted,
                                   threshold, reuse ? &known->blend : nullptr);
            logText(formatMessage("Measured phase blended in outside the trusted mask: %lld voxels",
                                  std::max(blended, 0LL)));
        }
        logText(formatMessage("Apply %d-point quadratic smoothing along each axis...",
                              kQuadraticWindow));
        smoothQuadratic(d, values);
    }
    logText(unwrapped.statisticsText("conditioned unwrapped phase data"));
    return true;
}

}  // namespace ondrift
