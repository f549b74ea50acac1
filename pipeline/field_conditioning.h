// Two optional steps after unwrapping: making the unwrapped phase congruent with the wrapped
// measurement, and conditioning it into a field map that stays true at the edge of the head.
// The procedure runner calls them only when their host parameters ask for it.
#ifndef ONDRIFT_PIPELINE_FIELD_CONDITIONING_H
#define ONDRIFT_PIPELINE_FIELD_CONDITIONING_H

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "image/datahandler.h"
#include "pipeline/kernels/congruence.h"
#include "pipeline/kernels/dropout_blend.h"
#include "pipeline/kernels/extrapolation.h"
#include "pipeline/kernels/gradient_fill.h"

namespace ondrift {

/// The magnitude threshold of the pipeline's masks.
inline constexpr double kMagnitudeThreshold = 200.0;

/// How the unwrapped phase becomes a field map in the conditioning step.
enum class Conditioning {
    Documented = 0,    ///< the 3×3 slice smoothing, then twice more on the field map
    MaskedBox = 1,     ///< one 3×3 pass inside the mask, normalised; extrapolated beyond
    MaskedRange = 2,   ///< the same, range-weighted (edge preserving); extrapolated beyond
    Extrapolated = 3,  ///< no smoothing; extrapolated beyond the mask
    Quadratic = 4,     ///< extrapolated beyond the mask, then local quadratic fits in 3-D
    Estimated = 5      ///< the smooth field that fits the measurement within its noise
};

/// What congruent unwrapping takes from the measurement and the magnitude alone.
struct CongruentInput {
    std::vector<unsigned char> inside;  ///< the magnitude mask; empty when nothing passes
    std::vector<double> cycles;         ///< the measured phase in cycles
    CongruencePreparation prepared;
    /// For the outlier pass after congruence: see maskNeighbourCounts. Counted in `large`
    /// when that is made, else in `inside`.
    std::unique_ptr<unsigned char[]> neighbourCounts;
    /// For the quadratic conditioning, which trusts none of them: the mask without its specks
    /// (findSpecks with kSmallestCore).
    std::vector<unsigned char> large;
    /// The conditioning's fill, planned for the mask it fills from: the magnitude mask, or for
    /// the quadratic conditioning the trusted mask it will most likely find (the voxels of the
    /// mask's larger parts with two face neighbours in it and no wrapped step of a quarter
    /// cycle: the unwrapped phase steps as the wrapped one does, unless it is a cycle off).
    FillPlan fill;
    /// That likely trusted mask (likelyTrustedMask), for the quadratic conditioning.
    std::vector<unsigned char> likely;
    /// The quadratic conditioning's slopes beyond the mask, planned for the same trusted mask.
    SlopePlan slopes;
    /// The quadratic conditioning's blend, planned for the magnitude and the threshold it
    /// weighs the measurement by (noiseAwareBlendThreshold for `noise`).
    BlendPlan blend;
    /// The magnitude's background noise (backgroundNoise); negative when not made.
    double noise = -1;
};

/// Starts making the input of makeUnwrappedCongruent on another core, so that it is ready when
/// the unwrapping that runs meanwhile ends. No future (the step then makes it itself) when the
/// kernels may use one thread only, the grids differ or no thread can be started. `wrapped` and
/// `magnitude` must stay as they are until the future has been read or destroyed. It also
/// counts the mask neighbours for the outlier pass and plans the `conditioning` that follows
/// (its fill, and for the quadratic one its slopes and blend; nothing for the documented one).
std::future<CongruentInput> startCongruentInput(
    const Image& wrapped, bool wrappedInCycles, const Image& magnitude,
    Conditioning conditioning = Conditioning::Documented);

/// Replaces `unwrapped` (cycles, one volume) by the wrapped phase plus whole cycles: aligned
/// to the wrapped data inside the magnitude mask, region-grown from the most reliable voxels,
/// with the median inside the mask nearest 0. `wrapped` is the measured phase on the same
/// grid, in cycles when `wrappedInCycles`, else in radians. Logs what it did, with the number
/// of voxels whose cycle differs from the rounded estimate. False (image unchanged) when the
/// grids differ or no magnitude voxel is above the threshold; the reason is logged and stored
/// in `error` when given. `started`, when it holds a future, must come from startCongruentInput
/// with the same `wrapped`, `wrappedInCycles` and `magnitude`; the result is the same. `used`,
/// when given, receives the mask and the phase in cycles it worked with and the conditioning's
/// plans made beside them. `following` is the conditioning that follows: before the quadratic
/// one, which trusts no speck of the mask, the outlier pass after congruence looks at the
/// mask's larger parts alone (`started` must then come with the same conditioning).
bool makeUnwrappedCongruent(Image& unwrapped, const Image& wrapped, bool wrappedInCycles,
                            const Image& magnitude, std::string* error = nullptr,
                            std::future<CongruentInput>* started = nullptr,
                            CongruentInput* used = nullptr,
                            Conditioning following = Conditioning::Documented);

/// Smooths `unwrapped` (one volume) inside the magnitude mask as `mode` says and fills every
/// voxel outside the mask from the field inside it. `rangeSigma` is the range of the
/// range-weighted variant in the image's units. Quadratic fills beyond the mask first and then
/// smooths every voxel, so the edge of the head sees its own field continued rather than
/// masked-out zeros; given the measured phase `wrapped` (cycles when `wrappedInCycles`, else
/// radians), it also blends the measurement back in where the magnitude lies below the
/// threshold but above half of it (the rims of signal dropouts). False (image unchanged) when
/// the grids differ, the mode is not one of 1…4, or no magnitude voxel is above the threshold.
/// `known`, when given, is what makeUnwrappedCongruent used for the same `magnitude`, `wrapped`
/// and `wrappedInCycles`: its mask and phase are taken instead of being made again, and its
/// plans are used where their mask or magnitude fits (the fill's is then used up).
bool conditionFieldMap(Image& unwrapped, const Image& magnitude, Conditioning mode,
                       double rangeSigma, std::string* error = nullptr,
                       const Image* wrapped = nullptr, bool wrappedInCycles = false,
                       CongruentInput* known = nullptr);

}  // namespace ondrift

#endif
