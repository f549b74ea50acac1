// The kernels' work shared out among threads in consecutive ranges of independent items (slices,
// blocks of columns). Every item is written by one thread only and nothing is summed across
// items, so the result is the plain loop's whatever the number of threads. The layers keep the
// kernels apart from image/, whose volume work has a sharing of its own (parallel_volumes.h).
#ifndef ONDRIFT_PIPELINE_KERNELS_PARALLEL_RANGES_H
#define ONDRIFT_PIPELINE_KERNELS_PARALLEL_RANGES_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <semaphore>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ondrift {

/// Threads used for the kernels' work; 0 (the default) means one per core. Tests set 1 to get
/// the plain loop as the reference.
void setWorkerThreads(unsigned threads);
unsigned workerThreads();

/// Threads kept for the kernels that one thread calls during one step, so that each kernel's
/// ranges go to threads already running instead of threads started for it: a step of a dozen
/// short kernels would otherwise start a thread for each. While an object lives, forEachRange
/// called on the thread that made it hands its ranges to these threads; elsewhere (their own
/// work, another thread, a range that calls forEachRange again) it starts threads as before.
/// The threads end when the object does, on the thread that made it.
class KernelThreads {
public:
    /// Keeps up to `threads` - 1 threads (the calling thread is the other), started as the
    /// kernels first ask for them.
    explicit KernelThreads(unsigned threads = workerThreads());
    ~KernelThreads();
    KernelThreads(const KernelThreads&) = delete;
    KernelThreads& operator=(const KernelThreads&) = delete;

    /// The object made on this thread that is still alive, or null.
    static KernelThreads* current();

    /// Runs call(context, w) for w = 1 ... ranges - 1 on kept threads and for w = 0 on the
    /// calling thread, and returns once all have returned; `call` must not throw. Only the
    /// threads it needs are woken. Returns false, running nothing, when it may not keep that
    /// many threads, cannot start them, or they are already at work.
    bool run(unsigned ranges, void (*call)(void*, unsigned), void* context);

private:
    struct Worker {
        std::binary_semaphore go{0};
        std::thread thread;
    };
    void serve(Worker& worker, unsigned index);

    unsigned most_;  ///< threads it may keep
    std::vector<std::unique_ptr<Worker>> workers_;
    // Set by the owning thread before it wakes the workers, read by them after.
    void (*call_)(void*, unsigned) = nullptr;
    void* context_ = nullptr;
    bool stop_ = false;
    std::atomic<unsigned> pending_{0};  ///< workers still at the current call
    std::binary_semaphore finished_{0};
    bool busy_ = false;  ///< read and written by the owning thread only
    KernelThreads* previous_;
};

/// While an object lives, forEachRange called on the thread that made it runs every range on
/// that thread, one after another in order: for work made beside other work (on a core the
/// other work leaves idle), which more threads would only slow down. The ranges stay as they
/// would be on their own threads, so what depends on them (blocks of rows, the order of
/// results) does not change.
class RangesOnThisThread {
public:
    RangesOnThisThread();
    ~RangesOnThisThread();
    RangesOnThisThread(const RangesOnThisThread&) = delete;
    RangesOnThisThread& operator=(const RangesOnThisThread&) = delete;

    /// Whether an object made on this thread is alive.
    static bool active();

private:
    bool previous_;
};

/// How many threads to use for `items` items of `voxelsPerItem` voxels each: one for small
/// work, where starting threads costs more than it saves, and on many cores no more than
/// leave each thread some 2^16 voxels.
inline unsigned rangeWorkers(long long items, std::size_t voxelsPerItem) {
    constexpr std::size_t kWorthAThread = std::size_t{1} << 18, kShare = std::size_t{1} << 16;
    const std::size_t voxels = static_cast<std::size_t>(items) * voxelsPerItem;
    if (items <= 1 || voxels < kWorthAThread) return 1;
    const auto most = static_cast<long long>(std::min<std::size_t>(voxels / kShare, 1u << 16));
    return static_cast<unsigned>(std::clamp<long long>(workerThreads(), 1, std::min(items, most)));
}

/// As rangeWorkers, for work made while threads are kept on this thread (a KernelThreads
/// lives): waking them costs microseconds rather than a thread's start, so smaller work pays.
inline unsigned keptRangeWorkers(long long items, std::size_t voxelsPerItem) {
    constexpr std::size_t kWorthWaking = std::size_t{1} << 15;
    const std::size_t voxels = static_cast<std::size_t>(items) * voxelsPerItem;
    if (KernelThreads::current() == nullptr || items <= 1 || voxels < kWorthWaking)
        return rangeWorkers(items, voxelsPerItem);
    return static_cast<unsigned>(std::clamp<long long>(workerThreads(), 1, items));
}

/// Calls work(worker, first, end) for consecutive ranges [first, end) of `items`, one range per
/// worker, on `workers` threads (the calling thread takes the first range). What a range throws
/// (an allocation that fails) reaches the caller once every thread has ended, as from a plain
/// loop; a thread that cannot be started leaves its range to the calling thread.
template <typename Work>
void forEachRange(long long items, unsigned workers, Work&& work) {
    if (items <= 0) return;
    const auto n = static_cast<unsigned>(std::clamp<long long>(workers, 1, items));
    std::vector<std::exception_ptr> failed(n);
    auto range = [&](unsigned w) {
        try {
            work(w, items * w / n, items * (w + 1) / n);
        } catch (...) {
            failed[w] = std::current_exception();
        }
    };
    if (n > 1 && RangesOnThisThread::active()) {
        // Later ranges may wait on earlier ones (pipelines, stages), never the other way round.
        for (unsigned w = 0; w < n; ++w) range(w);
        for (const std::exception_ptr& e : failed)
            if (e) std::rethrow_exception(e);
        return;
    }
    if (n > 1) {
        KernelThreads* const kept = KernelThreads::current();
        const auto call = [](void* context, unsigned w) {
            (*static_cast<decltype(range)*>(context))(w);
        };
        if (kept != nullptr && kept->run(n, call, &range)) {
            for (const std::exception_ptr& e : failed)
                if (e) std::rethrow_exception(e);
            return;
        }
    }
    std::vector<std::thread> threads;
    threads.reserve(n - 1);
    unsigned started = 1;
    try {
        for (; started < n; ++started) threads.emplace_back(range, started);
    } catch (const std::system_error&) {
    }
    range(0);
    for (unsigned w = started; w < n; ++w) range(w);
    for (auto& t : threads) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
}

/// The same over `items` items of `voxelsPerItem` voxels, with as many workers as pay.
template <typename Work>
void shareOut(long long items, std::size_t voxelsPerItem, Work&& work) {
    forEachRange(items, rangeWorkers(items, voxelsPerItem), std::forward<Work>(work));
}

/// The sum of count(first, end) over the ranges `shareOut` makes: for counts of what the work
/// changed, which add up the same in any grouping.
template <typename Count>
long long countOverRanges(long long items, std::size_t voxelsPerItem, Count&& count) {
    const unsigned workers = rangeWorkers(items, voxelsPerItem);
    std::vector<long long> counts(workers, 0);
    forEachRange(items, workers, [&](unsigned w, long long first, long long end) {
        counts[w] = count(first, end);
    });
    long long total = 0;
    for (const long long c : counts) total += c;
    return total;
}

/// What collect(first, end, out) appends to `out` over the ranges `shareOut` makes, joined in
/// the order of the ranges: the plain loop's list whatever the number of threads.
template <typename T, typename Collect>
std::vector<T> collectOverRanges(long long items, std::size_t voxelsPerItem, Collect&& collect) {
    const unsigned workers = rangeWorkers(items, voxelsPerItem);
    std::vector<std::vector<T>> found(std::max(workers, 1u));
    forEachRange(items, workers, [&](unsigned w, long long first, long long end) {
        collect(first, end, found[w]);
    });
    std::vector<T> all = std::move(found[0]);
    for (std::size_t w = 1; w < found.size(); ++w)
        all.insert(all.end(), found[w].begin(), found[w].end());
    return all;
}

}  // namespace ondrift

#endif
