// Making a smooth unwrapped-phase estimate congruent with the wrapped measurement.
#ifndef ONDRIFT_PIPELINE_KERNELS_CONGRUENCE_H
#define ONDRIFT_PIPELINE_KERNELS_CONGRUENCE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "pipeline/kernels/dims.h"
#include "pipeline/kernels/mask_parts.h"

namespace ondrift {

struct CongruenceCounts {
    std::size_t inside = 0;        ///< voxels of the mask
    std::size_t changedCycle = 0;  ///< mask voxels whose cycle differs from plain rounding
    int parts = 0;                 ///< connected parts of the mask grown separately
    double alignment = 0;          ///< constant added to the estimate, cycles
    double level = 0;              ///< whole cycles removed to bring the median near 0
};

/// Consecutive voxels of a mask, [first, last) in storage order.
struct MaskRun {
    std::size_t first, last;
};

/// What congruent unwrapping takes from the measurement and the mask alone. It can be made
/// before the estimate exists, beside the unwrapping that gives it.
struct CongruencePreparation {
    Dims d;                        ///< the grid it was made for; 0 × 0 × 0 when unusable
    std::vector<MaskRun> runs;     ///< the mask's runs
    std::size_t insideVoxels = 0;  ///< the mask's voxels
    /// The voxels the alignment samples (the mask's first, then every seventh in storage
    /// order), with their measured phase beside them: read in one stream, not run by run.
    std::vector<std::size_t> alignmentVoxels;
    std::vector<double> alignmentPhase;
    std::unique_ptr<unsigned char[]> rough;        ///< see roughMarks (consistent_core.h)
    std::unique_ptr<std::uint16_t[]> reliability;  ///< see voxelReliability (region_growing.h)
    /// Specks: the connected parts of the mask too small to hold a core (kSmallestCore), noise
    /// above the threshold mostly. Each grows alone from its most reliable voxel whatever the
    /// estimate, so its growth is made here; only the shift that brings it nearest to the
    /// rounded estimate waits. Null when the mask has none (or a speck holds a non-finite
    /// phase): then every part of the mask goes through the growth.
    std::unique_ptr<unsigned char[]> large;  ///< the mask without its specks
    std::vector<MaskRun> largeRuns;          ///< its runs
    std::size_t largeVoxels = 0;             ///< its voxels
    // The specks' voxels in storage order (scattered over the background, they are read and
    // written in that order), each with its measured phase, its growth's cycles (seed 0), its
    // speck and its slot among its speck's voxels: speck s holds the slots
    // [speckStart[s], speckStart[s + 1]).
    std::vector<std::uint32_t> speckVoxels;
    std::vector<double> speckPhase;
    std::vector<std::int32_t> speckCycles;
    std::vector<std::uint32_t> speckOf;
    std::vector<std::uint32_t> speckSlot;
    std::vector<std::uint32_t> speckStart;
};

/// Prepares makeCongruent for this measurement and mask, on the calling thread alone (it is
/// meant to run beside other work). An unusable preparation when the extents or span lengths do
/// not fit.
/// `specks`, when given, must be findSpecks(d, inside, kSmallestCore) (mask_parts.h,
/// consistent_core.h); otherwise they are found here.
CongruencePreparation prepareCongruence(Dims d, std::span<const double> wrapped,
                                        std::span<const unsigned char> inside,
                                        const Specks* specks = nullptr);

/// Replaces `estimate` (an unwrapped phase in cycles that may be off by a smooth function, such
/// as a least-squares solution) inside the mask by the wrapped measurement `wrapped` (cycles)
/// plus whole cycles; outside the mask, where the measurement is noise, it keeps the aligned
/// estimate:
/// 1. the estimate's constant is aligned to the measurement inside the mask (circular mean of
///    wrapped − estimate);
/// 2. every voxel takes the whole number of cycles nearest to the aligned estimate;
/// 3. with `grow`, the cycles inside the mask are taken from quality-guided region growing
///    instead, each connected part shifted by the whole cycles that best match step 2 there,
///    so that patches where the estimate is off by more than half a cycle (steep lobes) follow
///    the measured phase steps instead;
/// 4. whole cycles are removed everywhere so that the median inside the mask lies nearest 0.
/// The phase is then continuous across the edge of the mask wherever the estimate was.
/// `prepared`, when it is made for this grid, must come from prepareCongruence with the same
/// `wrapped` and `inside`; the result is the same as without it.
/// `joinedAxes` (growUnwrapped): the axes along which the guess's calm neighbours join directly.
/// Returns false, touching nothing, when the extents or span lengths do not fit or the mask is
/// empty.
bool makeCongruent(Dims d, std::span<const double> wrapped, std::span<double> estimate,
                   std::span<const unsigned char> inside, bool grow, CongruenceCounts& counts,
                   const CongruencePreparation* prepared = nullptr,
                   unsigned joinedAxes = kEveryAxis);

}  // namespace ondrift

#endif
