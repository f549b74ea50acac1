#include "pipeline/kernels/congruence.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/kernels/consistent_core.h"
#include "pipeline/kernels/mask_parts.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/region_growing.h"
#include "pipeline/kernels/whole_numbers.h"

namespace ondrift {

namespace {

constexpr double kTwoPi = 6.283185307179586;

/// The whole cycles that round the estimate (shifted by c) onto the wrapped phase at voxel v.
std::int32_t roundedCycles(std::span<const double> estimate, std::span<const double> wrapped,
                           double c, std::size_t v) {
    return cycleCount(estimate[v] + c - wrapped[v]);
}

// The constant between estimate and measurement needs no more than a few thousand voxels; every
// this many voxels of the mask is enough and saves a sine and a cosine per voxel.
constexpr std::size_t kAlignmentStride = 7;

/// The whole number nearest to the median of `values` (finite, at least one; the lower middle
/// one for an even count).
double medianCycle(std::vector<double>& values) {
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
    std::nth_element(values.begin(), mid, values.end());
    return floorOf(*mid + 0.5);
}

/// Counts of whole numbers over a window that widens as values arrive; gives up (`huge`) when
/// the window would pass a million, where the caller takes the exact median instead.
struct WholeHistogram {
    double lo = 0;
    std::vector<std::size_t> count;
    std::size_t total = 0;
    bool huge = false;

    void add(double r, std::size_t times = 1) {
        const double at = r - lo;
        if (at >= 0 && at < static_cast<double>(count.size())) {
            count[static_cast<std::size_t>(at)] += times;
            total += times;
        } else if (cover(r, r)) {
            count[static_cast<std::size_t>(r - lo)] += times;
            total += times;
        }
    }
    /// Widens the window to hold [a, b]; false (and `huge`) when it would pass a million. The
    /// window is always the range of the values seen, so whether it gives up does not depend
    /// on the order in which they come.
    bool cover(double a, double b) {
        if (huge) return false;
        if (count.empty()) lo = a;
        const double hi = lo + static_cast<double>(count.size()) - 1;
        if (count.empty() || a < lo || b > hi) {
            const double newLo = count.empty() ? a : std::min(lo, a);
            const double newHi = count.empty() ? b : std::max(hi, b);
            if (!(newHi - newLo < 1e6)) {
                huge = true;
                return false;
            }
            std::vector<std::size_t> wider(static_cast<std::size_t>(newHi - newLo) + 1, 0);
            std::copy(count.begin(), count.end(),
                      wider.begin() + static_cast<std::ptrdiff_t>(lo - newLo));
            count.swap(wider);
            lo = newLo;
        }
        return true;
    }
    /// Adds the counts of a histogram made of other values.
    void merge(const WholeHistogram& other) {
        if (other.huge) huge = true;
        if (other.count.empty() ||
            !cover(other.lo, other.lo + static_cast<double>(other.count.size()) - 1))
            return;
        const auto at = static_cast<std::size_t>(other.lo - lo);
        for (std::size_t b = 0; b < other.count.size(); ++b) count[at + b] += other.count[b];
        total += other.total;
    }
    /// Takes away the counts of a histogram made of values this one holds; unless it is huge,
    /// when this one gives up too.
    void remove(const WholeHistogram& other) {
        if (other.huge || huge) {
            huge = true;
            return;
        }
        if (other.count.empty()) return;
        const auto at = static_cast<std::size_t>(other.lo - lo);
        for (std::size_t b = 0; b < other.count.size(); ++b) count[at + b] -= other.count[b];
        total -= other.total;
    }
    /// The lower middle value (there is at least one).
    double median() const {
        const std::size_t target = (total - 1) / 2;
        std::size_t seen = 0;
        for (std::size_t b = 0; b < count.size(); ++b) {
            seen += count[b];
            if (seen > target) return lo + static_cast<double>(b);
        }
        return lo + static_cast<double>(count.size()) - 1;
    }
};

// The passes below visit only the mask's runs, without a test per voxel of the grid (two thirds
// of which lie outside a head).
using Run = MaskRun;

std::vector<Run> maskRuns(std::span<const unsigned char> inside) {
    std::vector<Run> runs;
    const std::size_t n = inside.size();
    std::size_t v = 0;
    while (v < n) {
        while (v < n && inside[v] == 0) ++v;
        if (v == n) break;
        const std::size_t first = v;
        while (v < n && inside[v] != 0) ++v;
        runs.push_back({first, v});
    }
    return runs;
}

/// The voxels of `runs` the alignment samples: the first, then every kAlignmentStride-th.
std::vector<std::size_t> alignmentSamples(const std::vector<Run>& runs, std::size_t voxels) {
    std::vector<std::size_t> samples;
    samples.reserve((voxels + kAlignmentStride - 1) / kAlignmentStride);
    std::size_t skip = 0;  // mask voxels before the next sample
    for (const Run r : runs) {
        std::size_t v = r.first + skip;
        for (; v < r.last; v += kAlignmentStride) samples.push_back(v);
        skip = v - r.last;
    }
    return samples;
}

/// Threads that pay for the `voxels` held by `runs`.
unsigned runWorkers(const std::vector<Run>& runs, std::size_t voxels) {
    if (runs.empty()) return 1;
    return rangeWorkers(static_cast<long long>(runs.size()), voxels / runs.size() + 1);
}

// The cycles of the growth differ from plain rounding by a few at most; a part whose
// differences leave this window is levelled through a full sort.
constexpr std::int32_t kLevelWindow = 8;
constexpr std::size_t kLevelBins = 2 * kLevelWindow + 1;

/// What one thread finds over its runs: per grown part the counts of the differences between
/// rounding and growth in the window, or that some left it; the whole numbers nearest to the
/// grown phase; the voxels whose cycle differs from rounding.
struct Tally {
    std::vector<std::uint32_t> count;
    std::vector<char> wide;
    WholeHistogram histogram;
    std::size_t changed = 0;
};

/// Per grown part, the whole cycles that agree best with the rounded estimate (the lower
/// median of their differences over the part); entry 0 is unused. In the same pass, for the
/// usual case that every shift is 0: the whole numbers nearest to the grown phase inside the
/// mask (`histogram`) and the voxels whose cycle differs from rounding (`changed`). Counts add
/// up the same whichever thread made them, so the threads change nothing.
std::vector<std::int32_t> partShifts(std::span<const double> wrapped, const std::vector<Run>& runs,
                                     std::size_t voxels, std::span<const std::int32_t> part,
                                     int parts, std::span<const double> estimate, double c,
                                     std::span<const std::int32_t> grown, WholeHistogram& histogram,
                                     std::size_t& changed) {
    const std::size_t slots = static_cast<std::size_t>(parts) + 1;
    // Each thread keeps counts for every part: with very many parts (a mask of scattered
    // noise voxels) one thread does it all rather than multiply that memory.
    const unsigned workers = slots * kLevelBins > voxels ? 1 : runWorkers(runs, voxels);
    std::vector<Tally> tally(workers);
    forEachRange(static_cast<long long>(runs.size()), workers,
                 [&](unsigned w, long long first, long long end) {
                     // Counted here and handed over at the end: the threads' tallies lie
                     // side by side.
                     Tally t;
                     t.count.assign(slots * kLevelBins, 0);
                     t.wide.assign(slots, 0);
                     // Neighbouring voxels mostly share their whole number and their part's bin, so
                     // both are counted in registers while they repeat: an increment in memory per
                     // voxel would wait on the one before.
                     std::size_t changed = 0;
                     double level = 0;
                     std::size_t levelRepeats = 0;
                     std::size_t bin = 0;
                     std::uint32_t binRepeats = 0;
                     for (long long q = first; q < end; ++q) {
                         const Run r = runs[static_cast<std::size_t>(q)];
                         for (std::size_t v = r.first; v < r.last; ++v) {
                             const std::int64_t offset =
                                 static_cast<std::int64_t>(roundedCycles(estimate, wrapped, c, v)) -
                                 grown[v];
                             changed += offset != 0 ? 1 : 0;
                             const double u = wrapped[v] + grown[v];
                             if (std::isfinite(u)) {
                                 const double whole = floorOf(u + 0.5);
                                 if (levelRepeats != 0 && whole == level) {
                                     ++levelRepeats;
                                 } else {
                                     if (levelRepeats != 0) t.histogram.add(level, levelRepeats);
                                     level = whole;
                                     levelRepeats = 1;
                                 }
                             }
                             const auto p = static_cast<std::size_t>(part[v]);
                             if (offset < -kLevelWindow || offset > kLevelWindow) {
                                 t.wide[p] = 1;
                                 continue;
                             }
                             const std::size_t b =
                                 p * kLevelBins + static_cast<std::size_t>(offset + kLevelWindow);
                             if (binRepeats != 0 && b == bin) {
                                 ++binRepeats;
                             } else {
                                 if (binRepeats != 0) t.count[bin] += binRepeats;
                                 bin = b;
                                 binRepeats = 1;
                             }
                         }
                     }
                     if (levelRepeats != 0) t.histogram.add(level, levelRepeats);
                     if (binRepeats != 0) t.count[bin] += binRepeats;
                     t.changed = changed;
                     tally[w] = std::move(t);
                 });
    Tally& all = tally[0];
    for (unsigned w = 1; w < workers; ++w) {
        for (std::size_t i = 0; i < all.count.size(); ++i) all.count[i] += tally[w].count[i];
        for (std::size_t p = 0; p < slots; ++p) all.wide[p] |= tally[w].wide[p];
        all.histogram.merge(tally[w].histogram);
        all.changed += tally[w].changed;
    }
    histogram = std::move(all.histogram);
    changed = all.changed;
    std::vector<std::int32_t> shift(slots, 0);
    for (std::size_t p = 1; p < slots; ++p) {
        if (all.wide[p] != 0) continue;
        const std::uint32_t* count = &all.count[p * kLevelBins];
        std::size_t total = 0;
        for (std::size_t b = 0; b < kLevelBins; ++b) total += count[b];
        if (total == 0) continue;
        std::size_t seen = 0;
        for (std::size_t b = 0; b < kLevelBins; ++b) {
            seen += count[b];
            if (seen > (total - 1) / 2) {
                shift[p] = static_cast<std::int32_t>(b) - kLevelWindow;
                break;
            }
        }
    }
    for (std::size_t p = 1; p < slots; ++p) {
        if (all.wide[p] == 0) continue;
        std::vector<std::int32_t> offsets;
        for (const Run r : runs)
            for (std::size_t v = r.first; v < r.last; ++v)
                if (static_cast<std::size_t>(part[v]) == p)
                    offsets.push_back(roundedCycles(estimate, wrapped, c, v) - grown[v]);
        const auto mid = offsets.begin() + static_cast<std::ptrdiff_t>((offsets.size() - 1) / 2);
        std::nth_element(offsets.begin(), mid, offsets.end());
        shift[p] = *mid;
    }
    return shift;
}

/// Shifts each speck's prepared growth by the whole cycles that agree best with the rounded
/// estimate in `cycles` (the lower median of their differences, as partShifts takes it for a
/// grown part) and writes it there; counts its voxels into `histogram` and `changed` as
/// partShifts does. Returns the number of specks.
int placeSpecks(const CongruencePreparation& p, std::span<std::int32_t> cycles,
                WholeHistogram& histogram, std::size_t& changed) {
    const std::size_t m = p.speckVoxels.size();
    const auto count = static_cast<long long>(p.speckStart.size() - 1);
    // A voxel scattered over the background costs a cache line of eight.
    const unsigned workers = rangeWorkers(static_cast<long long>(m), 8);
    // Each speck's differences in its slots, then its shift: the lower median of them.
    const auto offsets = std::make_unique_for_overwrite<std::int32_t[]>(m);
    std::vector<std::int32_t> shift(static_cast<std::size_t>(count));
    forEachRange(static_cast<long long>(m), workers, [&](unsigned, long long first, long long end) {
        for (auto e = static_cast<std::size_t>(first); e < static_cast<std::size_t>(end); ++e)
            offsets[p.speckSlot[e]] = cycles[p.speckVoxels[e]] - p.speckCycles[e];
    });
    forEachRange(count, workers, [&](unsigned, long long first, long long end) {
        for (auto s = static_cast<std::size_t>(first); s < static_cast<std::size_t>(end); ++s) {
            std::int32_t* const from = offsets.get() + p.speckStart[s];
            std::int32_t* const to = offsets.get() + p.speckStart[s + 1];
            std::int32_t* const mid = from + (to - from - 1) / 2;
            std::nth_element(from, mid, to);
            shift[s] = *mid;
        }
    });
    std::vector<WholeHistogram> found(workers);
    std::vector<std::size_t> changedBy(workers, 0);
    forEachRange(
        static_cast<long long>(m), workers, [&](unsigned w, long long first, long long end) {
            // Counted here and handed over at the end: the threads' entries share a cache line.
            WholeHistogram here;
            std::size_t changedHere = 0;
            for (auto e = static_cast<std::size_t>(first); e < static_cast<std::size_t>(end); ++e) {
                const std::uint32_t v = p.speckVoxels[e];
                const std::int32_t placed = p.speckCycles[e] + shift[p.speckOf[e]];
                changedHere += placed != cycles[v] ? 1 : 0;
                cycles[v] = placed;
                const double u = p.speckPhase[e] + placed;
                if (std::isfinite(u)) here.add(floorOf(u + 0.5));
            }
            found[w] = std::move(here);
            changedBy[w] = changedHere;
        });
    for (unsigned w = 0; w < workers; ++w) {
        histogram.merge(found[w]);
        changed += changedBy[w];
    }
    return static_cast<int>(count);
}

// The specks' cycles are shifted as whole numbers apart from the growth: below this size no
// cycle count is clamped on either way, so both give the same numbers.
constexpr std::int32_t kSpeckCycleLimit = 1 << 28;

/// Finds the mask's specks and grows each alone from a guess of 0 (see CongruencePreparation).
void prepareSpecks(Dims d, std::span<const double> wrapped, std::span<const unsigned char> inside,
                   const Specks* known, CongruencePreparation& p) {
    const std::size_t n = d.voxels();
    Specks found = known != nullptr ? *known : findSpecks(d, inside, kSmallestCore);
    for (const std::uint32_t c : found.voxels)
        if (!std::isfinite(wrapped[c])) return;
    std::vector<std::uint32_t>& voxels = found.voxels;
    std::vector<std::uint32_t>& start = found.start;
    if (voxels.empty()) return;
    const std::vector<std::int32_t> grown = growSpecks(d, wrapped, p.reliability.get(), found);
    if (grown.size() != voxels.size()) return;
    // The slots (speck after speck) in storage order of their voxels.
    const std::size_t m = voxels.size();
    std::vector<std::uint32_t> slots(m), speckOfSlot(m);
    for (std::size_t e = 0; e < m; ++e) slots[e] = static_cast<std::uint32_t>(e);
    std::sort(slots.begin(), slots.end(),
              [&](std::uint32_t a, std::uint32_t b) { return voxels[a] < voxels[b]; });
    for (std::size_t s = 0; s + 1 < start.size(); ++s)
        std::fill(speckOfSlot.begin() + start[s], speckOfSlot.begin() + start[s + 1],
                  static_cast<std::uint32_t>(s));
    p.speckVoxels.resize(m);
    p.speckPhase.resize(m);
    p.speckCycles.resize(m);
    p.speckOf.resize(m);
    p.speckSlot = std::move(slots);
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t e = p.speckSlot[k];
        p.speckVoxels[k] = voxels[e];
        p.speckPhase[k] = wrapped[voxels[e]];
        p.speckCycles[k] = grown[e];
        p.speckOf[k] = speckOfSlot[e];
    }
    auto large = std::make_unique_for_overwrite<unsigned char[]>(n);
    std::copy(inside.begin(), inside.end(), large.get());
    for (const std::uint32_t c : voxels) large[c] = 0;
    p.largeRuns = maskRuns({large.get(), n});
    for (const Run r : p.largeRuns) p.largeVoxels += r.last - r.first;
    p.large = std::move(large);
    p.speckStart = std::move(start);
}

}  // namespace

CongruencePreparation prepareCongruence(Dims d, std::span<const double> wrapped,
                                        std::span<const unsigned char> inside,
                                        const Specks* specks) {
    CongruencePreparation prepared;
    if (d.x < 1 || d.y < 1 || d.z < 1) return prepared;
    const std::size_t n = d.voxels();
    if (wrapped.size() != n || inside.size() != n) return prepared;
    prepared.runs = maskRuns(inside);
    for (const Run r : prepared.runs) prepared.insideVoxels += r.last - r.first;
    prepared.alignmentVoxels = alignmentSamples(prepared.runs, prepared.insideVoxels);
    prepared.alignmentPhase.reserve(prepared.alignmentVoxels.size());
    for (const std::size_t v : prepared.alignmentVoxels)
        prepared.alignmentPhase.push_back(wrapped[v]);
    prepared.rough = roughMarks(d, wrapped, inside, 1);
    {
        const RangesOnThisThread here;
        prepared.reliability = voxelReliability(d, wrapped, inside);
        if (n <= 0x7FFFFFFFu) prepareSpecks(d, wrapped, inside, specks, prepared);
    }
    prepared.d = d;
    return prepared;
}

bool makeCongruent(Dims d, std::span<const double> wrapped, std::span<double> estimate,
                   std::span<const unsigned char> inside, bool grow, CongruenceCounts& counts,
                   const CongruencePreparation* prepared, unsigned joinedAxes) {
    if (d.x < 1 || d.y < 1 || d.z < 1) return false;
    const std::size_t n = d.voxels();
    if (wrapped.size() != n || estimate.size() != n || inside.size() != n) return false;
    counts = {};
    if (prepared != nullptr &&
        (prepared->d != d || prepared->rough == nullptr || prepared->reliability == nullptr))
        prepared = nullptr;
    std::vector<Run> ownRuns;
    std::vector<std::size_t> ownSamples;
    if (prepared == nullptr) {
        ownRuns = maskRuns(inside);
        for (const Run r : ownRuns) counts.inside += r.last - r.first;
        ownSamples = alignmentSamples(ownRuns, counts.inside);
    } else {
        counts.inside = prepared->insideVoxels;
    }
    const std::vector<Run>& runs = prepared != nullptr ? prepared->runs : ownRuns;
    if (counts.inside == 0) return false;
    // The first voxel of the mask, then every kAlignmentStride-th. Their sines and cosines are
    // taken on every core and added up in the order of the mask, as one loop would.
    const std::vector<std::size_t>& sampled =
        prepared != nullptr ? prepared->alignmentVoxels : ownSamples;
    const double* const sampledPhase =
        prepared != nullptr ? prepared->alignmentPhase.data() : nullptr;
    const unsigned workers = runWorkers(runs, counts.inside);
    const std::size_t samples = sampled.size();
    const auto sines = std::make_unique_for_overwrite<double[]>(2 * samples);
    forEachRange(static_cast<long long>(samples),
                 rangeWorkers(static_cast<long long>(samples), kAlignmentStride),
                 [&](unsigned, long long first, long long end) {
                     for (auto s = static_cast<std::size_t>(first);
                          s < static_cast<std::size_t>(end); ++s) {
                         const std::size_t v = sampled[s];
                         const double w = sampledPhase != nullptr ? sampledPhase[s] : wrapped[v];
                         const double a = kTwoPi * (w - estimate[v]);
                         const bool usable = std::isfinite(a);
                         sines[2 * s] = usable ? std::sin(a) : std::nan("");
                         sines[2 * s + 1] = usable ? std::cos(a) : 0.0;
                     }
                 });
    double sumSin = 0, sumCos = 0;
    for (std::size_t s = 0; s < samples; ++s) {
        if (std::isnan(sines[2 * s])) continue;
        sumSin += sines[2 * s];
        sumCos += sines[2 * s + 1];
    }
    const double c = (sumSin != 0 || sumCos != 0) ? std::atan2(sumSin, sumCos) / kTwoPi : 0.0;
    counts.alignment = c;

    // Only the entries inside the mask are ever written or read, so the arrays start
    // uninitialised: the full-grid clears would cost as much as the work inside the head.
    // The rounded estimate is not kept: it is cheaper to round again where it is compared than
    // to write and read it back.
    const auto cycles = std::make_unique_for_overwrite<std::int32_t[]>(n);
    std::unique_ptr<std::int32_t[]> part;
    if (grow) part = std::make_unique_for_overwrite<std::int32_t[]>(n);
    const auto eachRun = [&](const std::vector<Run>& over, auto&& visit) {
        forEachRange(static_cast<long long>(over.size()), workers,
                     [&](unsigned w, long long first, long long end) {
                         for (long long q = first; q < end; ++q)
                             visit(w, over[static_cast<std::size_t>(q)]);
                     });
    };
    eachRun(runs, [&](unsigned, Run r) {
        for (std::size_t v = r.first; v < r.last; ++v)
            cycles[v] = roundedCycles(estimate, wrapped, c, v);
    });
    std::vector<std::int32_t> shift{0};
    WholeHistogram histogram;
    // The specks made ready beforehand stay out of the growth, unless a rounded cycle there is
    // so large that the two ways could differ.
    bool specks = grow && prepared != nullptr && prepared->large != nullptr;
    if (specks)
        for (const std::uint32_t v : prepared->speckVoxels)
            if (cycles[v] < -kSpeckCycleLimit || cycles[v] > kSpeckCycleLimit) specks = false;
    const std::vector<Run>& grownRuns = specks ? prepared->largeRuns : runs;
    if (grow) {
        const std::span<const unsigned char> grownMask =
            specks ? std::span<const unsigned char>(prepared->large.get(), n) : inside;
        counts.parts =
            growUnwrapped(d, wrapped, grownMask, {cycles.get(), n}, {part.get(), n},
                          prepared != nullptr ? prepared->rough.get() : nullptr,
                          prepared != nullptr ? prepared->reliability.get() : nullptr, joinedAxes);
        shift = partShifts(wrapped, grownRuns, specks ? prepared->largeVoxels : counts.inside,
                           {part.get(), n}, counts.parts, estimate, c, {cycles.get(), n}, histogram,
                           counts.changedCycle);
    }

    if (!grow) {
        // The whole numbers nearest to the phase inside the mask.
        std::vector<WholeHistogram> found(workers);
        eachRun(runs, [&](unsigned w, Run r) {
            for (std::size_t v = r.first; v < r.last; ++v) {
                const double u = wrapped[v] + cycles[v];
                if (std::isfinite(u)) found[w].add(floorOf(u + 0.5));
            }
        });
        histogram = std::move(found[0]);
        for (unsigned w = 1; w < workers; ++w) histogram.merge(found[w]);
    } else if (std::any_of(shift.begin(), shift.end(), [](std::int32_t k) { return k != 0; })) {
        // The parts that move (specks of noise in the mask, mostly) take their voxels' whole
        // numbers and changed cycles with them; every other voxel stays as counted.
        std::vector<WholeHistogram> left(workers), entered(workers);
        std::vector<std::ptrdiff_t> changedBy(workers, 0);
        eachRun(grownRuns, [&](unsigned w, Run r) {
            for (std::size_t v = r.first; v < r.last; ++v) {
                const std::int32_t moved = shift[static_cast<std::size_t>(part[v])];
                if (moved == 0) continue;
                const std::int32_t rounded = roundedCycles(estimate, wrapped, c, v);
                const double before = wrapped[v] + cycles[v];
                if (std::isfinite(before)) left[w].add(floorOf(before + 0.5));
                changedBy[w] -= cycles[v] != rounded ? 1 : 0;
                cycles[v] += moved;
                changedBy[w] += cycles[v] != rounded ? 1 : 0;
                const double u = wrapped[v] + cycles[v];
                if (std::isfinite(u)) entered[w].add(floorOf(u + 0.5));
            }
        });
        for (unsigned w = 0; w < workers; ++w) {
            histogram.merge(entered[w]);
            histogram.remove(left[w]);
            counts.changedCycle = static_cast<std::size_t>(
                static_cast<std::ptrdiff_t>(counts.changedCycle) + changedBy[w]);
        }
    }
    if (specks)
        counts.parts += placeSpecks(*prepared, {cycles.get(), n}, histogram, counts.changedCycle);
    double level = 0.0;
    if (histogram.huge) {
        std::vector<double> phase;
        for (const Run r : runs) {
            for (std::size_t v = r.first; v < r.last; ++v) {
                const double u = wrapped[v] + cycles[v];
                if (std::isfinite(u)) phase.push_back(u);
            }
        }
        level = medianCycle(phase);
    } else if (histogram.total > 0) {
        level = histogram.median();
    }
    counts.level = level;
    // Every voxel takes the aligned estimate first, without a test per voxel (specks of noise
    // in the mask would make it a coin toss), and the mask's runs are written over after.
    const std::size_t plane = static_cast<std::size_t>(d.x) * static_cast<std::size_t>(d.y);
    const double outside = c - level;
    shareOut(d.z, plane, [&](unsigned, long long first, long long end) {
        for (auto v = static_cast<std::size_t>(first) * plane;
             v < static_cast<std::size_t>(end) * plane; ++v)
            estimate[v] = estimate[v] + outside;
    });
    eachRun(runs, [&](unsigned, Run r) {
        for (std::size_t v = r.first; v < r.last; ++v)
            estimate[v] = wrapped[v] + (cycles[v] - level);
    });
    return true;
}

}  // namespace ondrift
