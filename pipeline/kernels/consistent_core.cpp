#include "pipeline/kernels/consistent_core.h"

#include <algorithm>
#include <cmath>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pipeline/kernels/face_neighbours.h"
#include "pipeline/kernels/mask_scan.h"
#include "pipeline/kernels/parallel_ranges.h"
#include "pipeline/kernels/region_growing.h"
#include "pipeline/kernels/union_find.h"
#include "pipeline/kernels/whole_numbers.h"

namespace ondrift {

namespace {

struct Grid {
    Dims d;
    std::span<const double> w;
    std::span<const unsigned char> inside;
};

/// Joins the sets of a and b; the lower root wins, so every voxel's parent precedes it in
/// storage order.
void unite(std::uint32_t* parent, std::uint32_t a, std::uint32_t b) {
    a = findRoot(parent, a);
    b = findRoot(parent, b);
    if (a < b) {
        parent[b] = a;
    } else if (b < a) {
        parent[a] = b;
    }
}

// A voxel belongs to a core only where the wrapped phase steps to every face neighbour in the
// mask are below this many cycles. Noise voxels in the mask (a background above the magnitude
// threshold) are consistent with some neighbours by chance and would otherwise bridge a wrongly
// rounded patch into the core; with every step required to be this small they almost never
// pass, while a head's own steps between neighbours are far smaller. The steps are taken from
// the wrapped phase, not from the guess, so that the voxels on both sides of a seam where the
// guess jumps by a whole cycle stay calm: the seam then separates two large parts whose
// relative level the loose pairs across it decide.
constexpr double kCalmStep = 0.25;

/// |wrappedStep(a, b)|, without a floor where a - b lies within a cycle of 0 (wrapped phases
/// always do).
inline double stepSize(double a, double b) {
    const double d = std::fabs(a - b);
    if (d < 0.5) return d;
    if (d < 1.0) return 1.0 - d;
    return std::fabs(wrappedStep(a, b));
}

/// Face neighbours of the mask that are not joined, and the whole cycles to add to b's guess
/// for the pair to be consistent (computed where the pair is found, while its values are in the
/// cache).
struct LoosePair {
    std::uint32_t a, b;
    std::int32_t shift;
};

/// The whole cycles to add to voxel b's guess that put it within half a cycle of a's.
[[gnu::noinline]] std::int32_t pairShift(const double* wrapped, const std::int32_t* cycles,
                                         std::size_t a, std::size_t b) {
    const double target = wrapped[a] + cycles[a] + wrappedStep(wrapped[b], wrapped[a]);
    return cycleCount(target - wrapped[b]) - cycles[b];
}

/// The consistent parts of the first guess: calm voxels of the mask joined with those calm face
/// neighbours whose phase in the guess lies within half a cycle; every other voxel of the mask
/// is a part of its own. `label` receives each mask
/// voxel's part, numbered in storage order of the parts' first voxels; `size` their sizes.
/// `loose` collects the neighbour pairs of the mask that are not joined. `rough`: the marks of
/// roughMarks, or null to make them here.
void consistentParts(const Grid& g, std::span<const std::int32_t> cycles,
                     const unsigned char* rough, unsigned joinedAxes, std::uint32_t* label,
                     std::vector<std::uint32_t>& size, std::vector<LoosePair>& loose) {
    const Dims d = g.d;
    const std::size_t sz = static_cast<std::size_t>(d.x) * d.y;
    const std::size_t back[3] = {1, static_cast<std::size_t>(d.x), sz};
    std::unique_ptr<unsigned char[]> own;
    if (rough == nullptr) {
        own = roughMarks(d, g.w, g.inside, rangeWorkers(d.z, sz));
        rough = own.get();
    }
    // Slabs of slices are joined on every core, each on its own; the joinable pairs across the
    // lowest slice of a slab wait (`across`) and are joined after. The parts are the same
    // whatever the slabs, and so is their numbering below; the loose pairs are listed per slab
    // in storage order and joined in slab order, the one loop's list.
    // Plain pointers: the lists' growth is a call, after which spans would be loaded again.
    const unsigned char* const inside = g.inside.data();
    const double* const wrapped = g.w.data();
    const std::int32_t* const cycle = cycles.data();
    const bool joinX = (joinedAxes & 1u) != 0, joinY = (joinedAxes & 2u) != 0,
               joinZ = (joinedAxes & 4u) != 0;
    const auto join = [=, &d](int k, int slabStart, std::vector<LoosePair>& looseHere,
                              std::vector<std::uint32_t>& across) {
        // Locals rather than the closure's copies: those would be loaded again after every
        // call that lists a pair.
        const unsigned char* const in = inside;
        const unsigned char* const rg = rough;
        const double* const wp = wrapped;
        const std::int32_t* const cy = cycle;
        std::uint32_t* const parent = label;
        const bool acrossSlab = k == slabStart;
        for (int j = 0; j < d.y; ++j) {
            const std::size_t row =
                static_cast<std::size_t>(k) * sz + static_cast<std::size_t>(j) * d.x;
            // The voxel before along the row, when it lay in the mask: its phase in the guess,
            // whether it was calm, and the root it was given, which no voxel has moved since.
            double lastU = 0;
            bool lastCalm = false;
            std::uint32_t lastRoot = 0;
            for (int i = 0; i < d.x; ++i) {
                i = static_cast<int>(skipOutside(in + row, static_cast<std::size_t>(i),
                                                 static_cast<std::size_t>(d.x)));
                const std::size_t v = row + static_cast<std::size_t>(i);
                if (i == d.x || in[v] == 0) continue;
                const double u = wp[v] + cy[v];
                const bool calm = rg[v] == 0;
                // The root of v's part so far; v is its own until it joins a neighbour. Only
                // roots are linked, the lower one winning, so that every parent precedes its
                // voxel.
                auto root = static_cast<std::uint32_t>(v);
                bool joined = false;
                const auto joinRoot = [&](std::uint32_t r) __attribute__((always_inline)) {
                    if (!joined) {
                        root = r;
                        joined = true;
                    } else if (r < root) {
                        parent[root] = r;
                        root = r;
                    } else if (r > root) {
                        parent[r] = root;
                    }
                };
                const auto loosePair = [&](std::size_t w) {
                    looseHere.push_back({static_cast<std::uint32_t>(v),
                                         static_cast<std::uint32_t>(w), pairShift(wp, cy, v, w)});
                };
                if (i > 0 && in[v - 1] != 0) {
                    if (joinX && calm && lastCalm && std::fabs(u - lastU) < 0.5)
                        joinRoot(lastRoot);
                    else
                        loosePair(v - 1);
                }
                // The face neighbours before v along y and z, in that order.
                const auto link = [&](std::size_t w, bool joins, bool deferred)
                    __attribute__((always_inline)) {
                    if (in[w] == 0) return;
                    if (joins && calm && rg[w] == 0 && std::fabs(u - (wp[w] + cy[w])) < 0.5) {
                        if (deferred) {
                            across.push_back(static_cast<std::uint32_t>(v));
                            across.push_back(static_cast<std::uint32_t>(w));
                            return;
                        }
                        joinRoot(findRoot(parent, static_cast<std::uint32_t>(w)));
                    } else {
                        loosePair(w);
                    }
                };
                if (j > 0) link(v - back[1], joinY, false);
                if (k > 0) link(v - back[2], joinZ, acrossSlab);
                parent[v] = root;
                lastU = u;
                lastCalm = calm;
                lastRoot = root;
            }
        }
    };
    const unsigned workers = rangeWorkers(d.z, sz);
    std::vector<std::vector<LoosePair>> looseOf(workers);
    std::vector<std::vector<std::uint32_t>> acrossOf(workers);
    forEachRange(d.z, workers, [&](unsigned w, long long first, long long end) {
        for (auto k = static_cast<int>(first); k < end; ++k)
            join(k, static_cast<int>(first), looseOf[w], acrossOf[w]);
    });
    loose = std::move(looseOf[0]);
    for (unsigned w = 1; w < workers; ++w) {
        loose.insert(loose.end(), looseOf[w].begin(), looseOf[w].end());
        for (std::size_t e = 0; e < acrossOf[w].size(); e += 2)
            unite(label, acrossOf[w][e], acrossOf[w][e + 1]);
    }
    // Parents precede their voxels, so one pass in storage order turns them into part numbers.
    // Runs of one part are counted in a register: an increment in memory per voxel would wait
    // on the one before.
    // Most of the grid lies outside a head: it is passed over eight voxels at a time.
    const std::size_t n = d.voxels();
    std::uint32_t last = 0, repeats = 0;
    for (std::size_t v = 0; v < n; ++v) {
        v = skipOutside(inside, v, n);
        if (v == n || inside[v] == 0) continue;
        const std::uint32_t p = label[v];
        if (p == v) {
            label[v] = static_cast<std::uint32_t>(size.size());
            size.push_back(1);
            continue;
        }
        const std::uint32_t part = label[p];
        label[v] = part;
        if (repeats != 0 && part == last) {
            ++repeats;
        } else {
            if (repeats != 0) size[last] += repeats;
            last = part;
            repeats = 1;
        }
    }
    if (repeats != 0) size[last] += repeats;
}

/// A kept core: per consistent part, the connected part of the mask it belongs to as a core
/// (from 1, or 0: grown instead) and the whole cycles added to its first guess.
struct Cores {
    std::vector<int> part;
    std::vector<std::int32_t> shift;
};

/// What the loose pairs between two large consistent parts say about their relative level:
/// `shift` is the whole cycles to add to part `hi` (relative to `lo`) that make the pair
/// consistent.
struct Vote {
    std::uint32_t lo, hi;
    std::int32_t shift;
    auto operator<=>(const Vote&) const = default;
};

/// Finds the root of c in a forest whose links carry whole-cycle shifts; `shift` receives the
/// shift of c relative to the root.
std::uint32_t findShifted(std::vector<std::uint32_t>& parent, std::vector<std::int32_t>& link,
                          std::uint32_t c, std::int32_t& shift) {
    shift = 0;
    while (parent[c] != c) {
        shift += link[c];
        c = parent[c];
    }
    return c;
}

/// Large consistent parts that a patch of wrong cycles separates from each other (where the
/// estimate was off by more than half a cycle) are joined at the shift most of the loose pairs
/// between them agree on, strongest boundaries first. Per connected part of the mask the
/// largest joined set is kept as the core (the first in storage order among equals), its
/// largest consistent part at its guessed level, when it has at least kSmallestCore voxels.
Cores chooseCores(const std::uint32_t* label, const std::vector<std::uint32_t>& size,
                  const std::vector<LoosePair>& loose, int& parts) {
    const std::size_t count = size.size();
    std::vector<Vote> votes;
    for (const LoosePair& e : loose) {
        const std::uint32_t la = label[e.a], lb = label[e.b];
        if (la == lb || size[la] < kSmallestCore || size[lb] < kSmallestCore) continue;
        const std::int32_t shift = e.shift;
        votes.push_back(la < lb ? Vote{la, lb, shift} : Vote{lb, la, -shift});
    }
    std::sort(votes.begin(), votes.end());
    struct Join {
        std::uint32_t agree, lo, hi;
        std::int32_t shift;
    };
    std::vector<Join> joins;
    for (std::size_t r = 0; r < votes.size();) {
        std::size_t total = 0, most = 0;
        std::int32_t shift = 0;
        std::size_t q = r;
        while (q < votes.size() && votes[q].lo == votes[r].lo && votes[q].hi == votes[r].hi) {
            std::size_t same = q;
            while (same < votes.size() && votes[same] == votes[q]) ++same;
            if (same - q > most) most = same - q, shift = votes[q].shift;
            total += same - q;
            q = same;
        }
        // A boundary of a few pairs, or one the pairs disagree about, joins nothing.
        if (most >= 4 && 3 * most > 2 * total)
            joins.push_back({static_cast<std::uint32_t>(most), votes[r].lo, votes[r].hi, shift});
        r = q;
    }
    std::sort(joins.begin(), joins.end(), [](const Join& x, const Join& y) {
        return x.agree != y.agree ? x.agree > y.agree : (x.lo != y.lo ? x.lo < y.lo : x.hi < y.hi);
    });
    std::vector<std::uint32_t> parent(count);
    std::vector<std::int32_t> link(count, 0);
    for (std::size_t c = 0; c < count; ++c) parent[c] = static_cast<std::uint32_t>(c);
    for (const Join& j : joins) {
        std::int32_t sLo = 0, sHi = 0;
        const std::uint32_t rLo = findShifted(parent, link, j.lo, sLo);
        const std::uint32_t rHi = findShifted(parent, link, j.hi, sHi);
        if (rLo == rHi) continue;
        // shift(hi) - shift(lo) = j.shift, with shift(x) = s(x) + shift(root of x).
        if (rLo < rHi) {
            parent[rHi] = rLo, link[rHi] = j.shift + sLo - sHi;
        } else {
            parent[rLo] = rHi, link[rLo] = sHi - sLo - j.shift;
        }
    }
    // Per joined set: its size and its largest part; per connected part of the mask (the
    // consistent parts joined across every loose pair): its largest joined set.
    std::vector<std::uint32_t> group(count);
    for (std::size_t c = 0; c < count; ++c) group[c] = static_cast<std::uint32_t>(c);
    for (const LoosePair& e : loose) unite(group.data(), label[e.a], label[e.b]);
    std::vector<std::size_t> joined(count, 0);
    std::vector<std::uint32_t> largest(count), root(count), best(count);
    std::vector<std::int32_t> toRoot(count);
    for (std::size_t c = 0; c < count; ++c) {
        const std::uint32_t r = findShifted(parent, link, static_cast<std::uint32_t>(c), toRoot[c]);
        root[c] = r;
        if (r == c || size[c] > size[largest[r]]) largest[r] = static_cast<std::uint32_t>(c);
        joined[r] += size[c];
    }
    for (std::size_t c = 0; c < count; ++c) {
        if (root[c] != c) continue;
        const std::uint32_t m = findRoot(group.data(), static_cast<std::uint32_t>(c));
        if (m == c || joined[c] > joined[best[m]]) best[m] = static_cast<std::uint32_t>(c);
    }
    std::vector<char> kept(count, 0);
    for (std::size_t c = 0; c < count; ++c) {
        if (root[c] != c) continue;
        const std::uint32_t m = findRoot(group.data(), static_cast<std::uint32_t>(c));
        if (best[m] == c && joined[c] >= kSmallestCore) kept[c] = 1;
    }
    Cores cores{std::vector<int>(count, 0), std::vector<std::int32_t>(count, 0)};
    std::vector<int> number(count, 0);
    for (std::size_t c = 0; c < count; ++c) {
        const std::uint32_t r = root[c];
        if (kept[r] == 0) continue;
        if (number[r] == 0) number[r] = ++parts;
        cores.part[c] = number[r];
        cores.shift[c] = toRoot[c] - toRoot[largest[r]];
    }
    return cores;
}

}  // namespace

std::unique_ptr<unsigned char[]> roughMarks(Dims d, std::span<const double> wrapped,
                                            std::span<const unsigned char> inside,
                                            unsigned workers) {
    const std::size_t sz = static_cast<std::size_t>(d.x) * d.y;
    // Each voxel looks at all six faces, so that slabs of slices can be marked on every core at
    // once; a step is always measured from its upper end, whichever voxel looks at it.
    auto rough = std::make_unique_for_overwrite<unsigned char[]>(d.voxels());
    forEachRange(d.z, workers, [&](unsigned, long long first, long long end) {
        std::size_t v = static_cast<std::size_t>(first) * sz;
        for (auto k = static_cast<int>(first); k < end; ++k)
            for (int j = 0; j < d.y; ++j)
                for (int i = 0; i < d.x; ++i, ++v) {
                    if (inside[v] == 0) continue;
                    // A face beyond the grid is the voxel itself, a step of 0. Between wrapped
                    // phases (less than a cycle apart) a step reaches kCalmStep exactly when
                    // |a − b| lies in [0.25, 0.75]; any other difference takes the general
                    // measure.
                    bool r = false, general = false;
                    visitFaces(d, v, i, j, k, [&](int, std::size_t w, bool) {
                        const double step = std::fabs(wrapped[v] - wrapped[w]);
                        const bool in = inside[w] != 0;
                        r |= in & (step >= kCalmStep) & (step <= 1.0 - kCalmStep);
                        general |= in & !(step < 1.0);
                    });
                    if (general) {
                        r = false;
                        visitFaces(d, v, i, j, k, [&](int f, std::size_t w, bool exists) {
                            // Measured from the upper end, whichever voxel looks at it.
                            const bool upper = (f & 1) != 0;
                            r = r || (exists && inside[w] != 0 &&
                                      stepSize(wrapped[upper ? w : v], wrapped[upper ? v : w]) >=
                                          kCalmStep);
                        });
                    }
                    rough[v] = r ? 1 : 0;
                }
    });
    return rough;
}

ConsistentCore findConsistentCore(Dims d, std::span<const double> wrapped,
                                  std::span<const unsigned char> inside,
                                  std::span<const std::int32_t> cycles, const unsigned char* rough,
                                  unsigned joinedAxes) {
    const Grid g{d, wrapped, inside};
    ConsistentCore core;
    core.label = std::make_unique_for_overwrite<std::uint32_t[]>(d.voxels());
    std::vector<std::uint32_t> size;
    std::vector<LoosePair> loose;
    consistentParts(g, cycles, rough, joinedAxes, core.label.get(), size, loose);
    Cores cores = chooseCores(core.label.get(), size, loose, core.parts);
    core.part = std::move(cores.part);
    core.shift = std::move(cores.shift);
    return core;
}

}  // namespace ondrift
