// Signal dropouts: the measured phase there is noisy, but it still knows the field better than
// a fill from the edge of the mask does.
#ifndef ONDRIFT_PIPELINE_KERNELS_DROPOUT_BLEND_H
#define ONDRIFT_PIPELINE_KERNELS_DROPOUT_BLEND_H

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"

namespace ondrift {

/// The mask without the voxels that have fewer than two face neighbours in it: noise voxels
/// just above the threshold, alone in the background or inside a dropout, whose phase a fill
/// beyond the mask would otherwise spread as if it were the head's field. Given the unwrapped
/// phase `cycles`, also without the voxels that have a face neighbour in the mask a quarter
/// cycle or more away: where noise lifts the background above the threshold, it lies in the
/// mask around the head, and a head's own steps between neighbours are far smaller. A mask of
/// nothing but such voxels is returned whole (something must seed the fill); a mask or phase
/// of the wrong length leaves the mask as it is.
std::vector<unsigned char> trustedMask(Dims d, std::span<const unsigned char> inside,
                                       std::span<const double> cycles = {});

/// What the quadratic conditioning most likely trusts, before the unwrapped phase exists: the
/// mask without the voxels that have fewer than two face neighbours in it or that `rough` marks
/// (roughMarks, consistent_core.h: a wrapped step of a quarter cycle to a face neighbour in the
/// mask), and then without those of the rest that have fewer than two face neighbours among the
/// rest. Work that depends on the trusted mask alone can be planned for it in advance (see
/// mendTrustedMask).
std::vector<unsigned char> likelyTrustedMask(Dims d, std::span<const unsigned char> inside,
                                             const unsigned char* rough);

/// The quadratic conditioning's trusted mask, from `trusted` (trustedMask given the unwrapped
/// phase `cycles`) and `likely` (likelyTrustedMask for the same mask): the voxels of both, and
/// the voxels of `likely` that trustedMask left out for a step of a cycle to a calm neighbour
/// (the noisy rim of the head, mostly), each of which takes its measured phase `wrapped`
/// (cycles) on the whole cycles nearest the mean of its face neighbours in both and is trusted
/// again; a voxel without such a neighbour or with a non-finite phase stays out. Such a voxel is
/// then placed from the head as the fill would place it, and the trusted mask is, but for those
/// left out, the one work could be planned for. Returns the number of voxels placed; -1,
/// touching nothing, when the extents or lengths do not fit.
long long mendTrustedMask(Dims d, std::span<double> cycles, std::span<const double> wrapped,
                          std::span<const unsigned char> likely,
                          std::vector<unsigned char>& trusted);

/// The Rayleigh scale of the magnitude's noise, from its voxels above 0 and at or below
/// `threshold` (the background, mostly): the scale whose Rayleigh distribution, cut off at the
/// threshold, has their median. 0 when fewer than 1 % of the voxels (or fewer than 64) lie
/// there, or more voxels are exactly 0 (a background set to zero, with the head's dark rim
/// left): the scale is then unknown. At most `threshold` (their median lies so high that noise
/// of any scale would have it).
double backgroundNoise(std::span<const double> magnitude, double threshold);

/// The threshold blendMeasuredPhase weighs the measurement by, for a mask threshold `threshold`
/// set at four noise scales of the field maps it was chosen for: where the background's noise
/// `noise` (backgroundNoise) is larger, the measured phase at a given magnitude is noisier by
/// the ratio, and its weight falls as its variance grows (the threshold rises by the ratio).
/// Never below `threshold`; `threshold` itself when the noise is unknown (0).
double noiseAwareBlendThreshold(double threshold, double noise);

struct BrightRuns;

/// Where blendMeasuredPhase may move voxels, as far as the magnitude tells: the runs of voxels
/// above half the threshold. They depend on the magnitude alone, so they can be found before
/// the field exists, beside the work that gives the field; the blend then need not read the
/// whole magnitude.
struct BlendPlan {
    std::shared_ptr<const BrightRuns> runs;  ///< null: no plan
};

/// The plan of blendMeasuredPhase for this magnitude and threshold, made on the calling thread.
/// No plan when the extents or the span length do not fit.
BlendPlan planBlend(Dims d, std::span<const double> magnitude, double threshold);

/// For every voxel outside `trusted` whose magnitude lies above half of `threshold`: takes the
/// measured phase `wrapped` (cycles) plus the whole cycles that bring it nearest to `field`
/// (an unwrapped phase in cycles, filled beyond the trusted mask), and moves `field` towards it
/// by the weight min(1, magnitude / threshold)²: the phase noise of a voxel grows as its
/// magnitude falls, so the dark core of a dropout keeps mostly the fill and its brighter rim
/// mostly the measurement. Voxels with a non-finite value are left alone. Returns the number of
/// voxels moved, or -1 (touching nothing) when the extents or span lengths do not fit.
/// `plan`, when made with planBlend for this grid, threshold and magnitude (the same buffer, its
/// values unchanged since), spares reading the magnitude where it lies below half the threshold;
/// the result is the same with a plan or without.
long long blendMeasuredPhase(Dims d, std::span<double> field, std::span<const double> wrapped,
                             std::span<const double> magnitude,
                             std::span<const unsigned char> trusted, double threshold,
                             const BlendPlan* plan = nullptr);

}  // namespace ondrift

#endif
