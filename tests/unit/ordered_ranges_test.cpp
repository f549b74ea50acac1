// Work where items wait for others: a recurrence run as a pipeline and stages that read the
// whole stage before must give the plain loop's values; a worker that throws must neither hang
// the others nor lose the exception.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

#include "pipeline/kernels/ordered_ranges.h"

using namespace ondrift;

namespace {

// A raster recurrence over rows j and slices k: each value reads the row before in its slice
// and the same row in the slice before.
constexpr int kRows = 37, kSlices = 23;

std::uint64_t step(std::uint64_t below, std::uint64_t before, int j, int k) {
    return (below * 31 + before * 17 + static_cast<std::uint64_t>(j * 7 + k)) % 1000003;
}

std::vector<std::uint64_t> pipelined(unsigned workers, int throwingWorker = -1) {
    std::vector<std::uint64_t> a(kRows * kSlices, 0);
    forEachPipelined(workers, kSlices, [&](unsigned w, long long s) {
        const int k = static_cast<int>(s);
        if (static_cast<int>(w) == throwingWorker && k == 5) throw std::bad_alloc();
        for (int j = kRows * static_cast<int>(w) / static_cast<int>(workers);
             j < kRows * static_cast<int>(w + 1) / static_cast<int>(workers); ++j) {
            const std::uint64_t below = k > 0 ? a[(k - 1) * kRows + j] : 1;
            const std::uint64_t before = j > 0 ? a[k * kRows + j - 1] : 2;
            a[k * kRows + j] = step(below, before, j, k);
        }
    });
    return a;
}

}  // namespace

TEST(OrderedRanges, APipelinedRecurrenceGivesThePlainLoopsValues) {
    const std::vector<std::uint64_t> plain = pipelined(1);
    for (const unsigned workers : {2u, 3u, 8u}) EXPECT_EQ(pipelined(workers), plain) << workers;
    // The first worker throwing must release the ones that wait on it; the last one throwing
    // must still reach the caller.
    EXPECT_THROW(pipelined(4, 0), std::bad_alloc);
    EXPECT_THROW(pipelined(4, 3), std::bad_alloc);
}

TEST(OrderedRanges, EachStageSeesEveryItemOfTheStageBefore) {
    // Stage s sets each of its items to the sum of every item of stage s - 1 plus its number:
    // an item computed before the stage before had ended would miss part of the sum.
    const std::vector<Stage> stages = {{0, 50}, {50, 51}, {51, 300}, {300, 301}, {301, 1000}};
    auto run = [&](unsigned workers, std::size_t chunk, bool fail) {
        std::vector<std::uint64_t> item(1000, 1);
        forEachStage(workers, stages, chunk,
                     [&](std::size_t s, std::size_t first, std::size_t end) {
                         if (fail && s == 2) throw std::bad_alloc();
                         std::uint64_t sum = 0;
                         if (s > 0)
                             for (std::size_t i = stages[s - 1].first; i < stages[s - 1].end; ++i)
                                 sum += item[i];
                         for (std::size_t i = first; i < end; ++i) item[i] = (sum + i) % 1000003;
                     });
        return item;
    };
    const std::vector<std::uint64_t> plain = run(1, 1000, false);
    for (const unsigned workers : {2u, 4u})
        for (const std::size_t chunk : {1u, 7u, 64u})
            EXPECT_EQ(run(workers, chunk, false), plain) << workers << " " << chunk;
    EXPECT_THROW(run(3, 5, true), std::bad_alloc);
}
