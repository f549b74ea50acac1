// Work shared out among threads where some items must wait for others: a raster recurrence run
// as a pipeline over the slices, and stages of which each reads only what the stages before it
// wrote. Every item is computed by one thread from the same inputs as in the plain loop, so the
// result is the plain loop's whatever the number of threads. Nothing ever waits on a worker that
// has not started: forEachRange runs a range whose thread could not start after the ranges
// before it, so a worker only waits on workers with a lower number, or on items already claimed.
#ifndef ONDRIFT_PIPELINE_KERNELS_ORDERED_RANGES_H
#define ONDRIFT_PIPELINE_KERNELS_ORDERED_RANGES_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

#include "pipeline/kernels/parallel_ranges.h"

namespace ondrift {

/// A count that only grows, one per worker or stage, that other threads can wait on.
class ProgressCounts {
public:
    explicit ProgressCounts(std::size_t counts)
        : counts_(std::make_unique<Count[]>(std::max<std::size_t>(counts, 1))) {}

    /// Blocks until count `c` is at least `target`.
    void waitFor(std::size_t c, long long target) const {
        const std::atomic<long long>& count = counts_[c].value;
        for (long long now = count.load(std::memory_order_acquire); now < target;
             now = count.load(std::memory_order_acquire)) {
            count.wait(now, std::memory_order_acquire);
        }
    }
    /// Adds one to count `c` and returns the new count; wakes the waiters when it reaches `wake`.
    long long add(std::size_t c, long long wake) {
        std::atomic<long long>& count = counts_[c].value;
        const long long now = count.fetch_add(1, std::memory_order_acq_rel) + 1;
        if (now >= wake) count.notify_all();
        return now;
    }
    /// Sets count `c` beyond every target (after a failure) and wakes its waiters.
    void release(std::size_t c) {
        counts_[c].value.store(kAll, std::memory_order_release);
        counts_[c].value.notify_all();
    }
    static constexpr long long kAll = 1LL << 62;

private:
    // Each on a cache line of its own: workers count at once.
    struct alignas(64) Count {
        std::atomic<long long> value{0};
    };
    std::unique_ptr<Count[]> counts_;
};

/// Calls work(worker, step) for step = 0, 1, ..., steps - 1 on each of `workers` threads, where
/// worker w starts a step once worker w - 1 has finished the same step: a raster recurrence
/// split into blocks of rows, each step a slice, where a block's slice reads the block before
/// it in the same slice. What a worker throws reaches the caller after every worker ended.
template <typename Work>
void forEachPipelined(unsigned workers, long long steps, Work&& work) {
    if (workers <= 1) {
        for (long long step = 0; step < steps; ++step) work(0u, step);
        return;
    }
    ProgressCounts done(workers);
    forEachRange(workers, workers, [&](unsigned w, long long, long long) {
        try {
            for (long long step = 0; step < steps; ++step) {
                if (w > 0) done.waitFor(w - 1, step + 1);
                work(w, step);
                done.add(w, 0);
            }
        } catch (...) {
            done.release(w);  // the workers after this one must not wait for ever
            throw;
        }
    });
}

/// Items [first, end) of one stage.
struct Stage {
    std::size_t first = 0, end = 0;
};

/// Calls work(stage, first, end) over every stage's items in chunks of `chunk` items, on
/// `workers` threads; a stage begins once every chunk of the stage before has ended. Whichever
/// worker comes first claims the next chunk, so a worker that starts late finds less to do and
/// no worker waits on one that has not started.
template <typename Work>
void forEachStage(unsigned workers, std::span<const Stage> stages, std::size_t chunk, Work&& work) {
    chunk = std::max<std::size_t>(chunk, 1);
    const auto chunks = [&](std::size_t s) {
        return static_cast<long long>((stages[s].end - stages[s].first + chunk - 1) / chunk);
    };
    const auto run = [&](std::size_t s, long long c) {
        const std::size_t first = stages[s].first + static_cast<std::size_t>(c) * chunk;
        work(s, first, std::min(first + chunk, stages[s].end));
    };
    if (workers <= 1) {
        for (std::size_t s = 0; s < stages.size(); ++s)
            for (long long c = 0; c < chunks(s); ++c) run(s, c);
        return;
    }
    ProgressCounts claimed(stages.size()), done(stages.size());
    forEachRange(workers, workers, [&](unsigned, long long, long long) {
        std::size_t s = 0;
        try {
            for (; s < stages.size(); ++s) {
                if (s > 0) done.waitFor(s - 1, chunks(s - 1));
                for (long long c = claimed.add(s, ProgressCounts::kAll) - 1; c < chunks(s);
                     c = claimed.add(s, ProgressCounts::kAll) - 1) {
                    run(s, c);
                    done.add(s, chunks(s));
                }
            }
        } catch (...) {
            for (; s < stages.size(); ++s) done.release(s);
            throw;
        }
    });
}

}  // namespace ondrift

#endif
